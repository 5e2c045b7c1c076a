// Credentials of the git working copy (credentials.cpp): what the working copy
// (the other files of this folder) uses of them. This file needs nothing of the working copy.
#pragma once

#include "runtime/function.hpp"

#include <initializer_list>

namespace sections {

// urllib.parse.quote(str(value), safe=""): the user information of an HTTPS URL.
py::Ref percent_encoded(PyObject* value);

// `text` (str or bytes) without the user information of any URL it quotes and
// without the credentials of the operator `self` (its `username` and `password`).
py::Ref without_credentials(PyObject* self, PyObject* text);

// The text an error is shown by in a log line: str(exc), or the name of its type
// where that is empty.
py::Ref error_text(PyObject* exc);

// The raised exception `exc`, its cause and context (and theirs) without the user
// information of any URL and the credentials of `self` in their texts: arguments,
// an OSError's file names, notes. Never raises.
void without_credentials_in(PyObject* self, PyObject* exc);

// porcelain.<fn>(*args, **keywords) (dulwich's porcelain as the module sees it when
// called) for a call handed the authenticated URL `auth_url`: dulwich's error-stream
// output and what it raises leave without the credentials.
py::Ref remote_call(py::Call& c, PyObject* self, PyObject* fn, PyObject* auth_url,
                    std::initializer_list<PyObject*> args, std::initializer_list<py::Keyword> keywords);

}  // namespace sections
