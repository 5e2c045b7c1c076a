// Section tamarel: the background event-loop thread and the test-data engine.
#include "sections.hpp"

#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <string>

namespace sections {
namespace {

using py::Call;
using py::Ref;

// ---- AsyncioThread -------------------------------------------------------------

// The class cell (`__class__`) of the methods, filled in once the class exists.
PyObject* class_of(Call& c) {
    PyObject* cls = PyCell_GET(c.closure());
    if (!cls) py::raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    return cls;
}

Ref asyncio_thread_init(Call& c) {
    PyObject* self = c[0];
    Ref parent = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), class_of(c), self);
    py::call_method(parent, PY_NAME(__init__));
    py::setattr(self, PY_NAME(_loop), c[1]);
    py::setattr(self, PY_NAME(daemon), Py_True);
    return py::none();
}

Ref asyncio_thread_run(Call& c) {
    Ref loop = py::getattr(c[0], PY_NAME(_loop));
    py::call_method(loop, PY_NAME(run_forever));
    return py::none();
}

const py::FunctionDef asyncio_thread_init_def{
    "__init__", "AsyncioThread.__init__", "self, loop", nullptr, asyncio_thread_init};
const py::FunctionDef asyncio_thread_run_def{
    "run", "AsyncioThread.run", "self -> None", nullptr, asyncio_thread_run};

// ---- Tamarel.s: the error mail ------------------------------------------------------

// Build settings: placeholders unless a build set its own. A deployment sets the
// environment variables of the same names instead, read each time a report is sent,
// so that no secret has to live inside the built module.
constexpr const char* kMailSender = TAMARELS_MAIL_SENDER;
constexpr const char* kMailHost = TAMARELS_MAIL_HOST;
constexpr const char* kMailCode = TAMARELS_MAIL_CODE;

// os.environ.get(name) when set and not empty, otherwise the build setting.
Ref mail_setting(Call& c, PyObject* name, const char* built_in) {
    Ref value = py::call_method(py::getattr(c.global(PY_NAME(os)), PY_NAME(environ)), PY_NAME(get), name);
    if (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value.get()) > 0) return value;
    return py::text(built_in);
}

Ref formatted(PyObject* value) { return Ref::steal(PyObject_Format(value, nullptr)); }

// A line break and `indent` spaces.
std::string newline(size_t indent) { return std::string(1, '\n').append(indent, ' '); }

// The report: fixed lines with the eight values in their places.
Ref report(Call& c, PyObject* func, PyObject* error, PyObject* trace, PyObject* username, PyObject* args,
           PyObject* kwargs) {
    const std::string field = newline(26);
    Ref now = py::call_method(py::call_method(c.global(PY_NAME(datetime)), PY_NAME(now)), PY_NAME(strftime),
                              PY_STR("%Y-%m-%d %H:%M:%S"));
    Ref parts = py::new_list();
    auto add = [&](const std::string& text) { py::append(parts, py::text(text)); };
    add(newline(22).append("Tamarel测试平台管理员请注意查收:").append(field).append("触发用户："));
    py::append(parts, formatted(username));
    add(field + "触发时间：");
    py::append(parts, formatted(now));
    add(field + "错误函数：");
    py::append(parts, formatted(py::getattr(func, PY_NAME(__name__))));
    add(field + "异常类型: ");
    py::append(parts, formatted(reinterpret_cast<PyObject*>(Py_TYPE(error))));
    add(field + "错误提示: ");
    py::append(parts, formatted(py::str(error)));
    add(field + "错误详情：");
    py::append(parts, formatted(trace));
    add(field + "参数list：");
    py::append(parts, formatted(args));
    add(field + "参数dict：");
    py::append(parts, formatted(kwargs));
    add(newline(12)
            .append(newline(22))
            .append(34, '*')
            .append(newline(22))
            .append("详细情况可前往Tamarel测试平台查看，非相关负责人员可忽略此消息。谢谢！")
            .append(newline(12))
            .append(newline(68))
            .append(11, '-')
            .append("Tamarel测试平台")
            .append(newline(22)));
    return Ref::steal(PyUnicode_Join(PY_STR(""), parts));
}

// The thread's body: compose and send; every Exception is dropped.
Ref send_report(Call& c) {
    PyObject* captured = c.closure();  // (func, error, trace, username, args, kwargs)
    auto item = [&](int i) { return PyTuple_GET_ITEM(captured, i); };
    py::try_except(
        PyExc_Exception,
        [&] {
            PyObject* kwargs = item(5);
            Ref content = py::dict_get(kwargs, PY_NAME(content));
            if (!py::truthy(content)) content = report(c, item(0), item(1), item(2), item(3), item(4), kwargs);
            Ref sender = mail_setting(c, PY_STR("TAMARELS_MAIL_SENDER"), kMailSender);
            Ref msg = py::call(c.global(PY_NAME(MIMEMultipart)));
            py::setitem(msg, PY_STR("From"), sender);
            py::setitem(msg, PY_STR("To"), sender);
            py::setitem(msg, PY_STR("Subject"), py::text("【Tamarel测试平台】"));
            py::call_method(msg, PY_NAME(attach), py::call(c.global(PY_NAME(MIMEText)), content, PY_STR("plain")));
            Ref smtp = py::call_method(c.global(PY_NAME(smtplib)), PY_NAME(SMTP),
                                      mail_setting(c, PY_STR("TAMARELS_MAIL_HOST"), kMailHost));
            py::with_context(smtp, [&](PyObject* server) {
                py::call_method(server, PY_NAME(starttls));
                py::call_args(py::getattr(server, PY_NAME(login)), 
                              py::tuple(sender, mail_setting(c, PY_STR("TAMARELS_MAIL_CODE"), kMailCode)));
                py::call_method(server, PY_NAME(sendmail), sender, sender, py::call_method(msg, PY_NAME(as_string)));
            });
        },
        [](PyObject*) {});
    return py::none();
}

const py::FunctionDef send_report_def{"ss", "Tamarel.s.<locals>.ss", "", nullptr, send_report};

Ref s(Call& c) {
    Ref captured = py::tuple(c[0], c[1], c[2], c[3], c[4], c[5]);
    Ref target = py::make_function(send_report_def, c.globals(), captured);
    Ref thread_class = py::getattr(c.global(PY_NAME(threading)), PY_NAME(Thread));
    Ref thread = py::call_kw(thread_class, {}, {{PY_NAME(target), target}});
    py::call_method(thread, PY_NAME(start));
    return py::none();
}

const py::FunctionDef s_def{"s", "Tamarel.s", "func, error, trace, username=None, *args, **kwargs", nullptr, s};

// ---- Tamarel: async helpers -------------------------------------------------------

// print(text) through the builtins the module sees.
void print_line(Call& c, const char* text) {
    Ref print = c.global(PY_NAME(print));
    py::call(print, py::text(text));
}

Ref v(Call& c) {
    PyObject* value = c[0];
    // An exact int or str always equals itself; anything else is asked.
    const bool reflexive = PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
    if (reflexive || py::truthy(Ref::steal(PyObject_RichCompare(value, value, Py_EQ)))) {
        if (py::truthy(c[1])) print_line(c, "测试通过");
        return py::none();
    }
    py::raise_object(py::call(PyExc_Exception, PY_STR("")));
}

// The dispatch shared by s_e and a_e: method(v), method(**v), method(), or no call.
Ref dispatch(PyObject* method, PyObject* value, bool* called) {
    *called = true;
    if (py::isinstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type))) return py::call(method, value);
    if (py::isinstance(value, reinterpret_cast<PyObject*>(&PyDict_Type))) {
        return py::call_args(method, Ref::steal(PyTuple_New(0)), py::star_kwargs(method, value));
    }
    if (value == Py_None) return py::call(method);
    *called = false;
    return py::none();
}

Ref s_e(Call& c) {
    Ref method = py::getattr(c[0], c[1]);
    bool called;
    return dispatch(method, c[2], &called);
}

Ref a_e(Call& c) {
    Ref method = py::getattr(c[0], c[1]);
    bool called;
    Ref result = dispatch(method, c[2], &called);
    if (called) c.await_result();
    return result;
}

Ref t(Call& c) {
    Ref loop = py::call_method(c.global(PY_NAME(asyncio)), PY_NAME(new_event_loop));
    Ref thread = py::call(c.global(PY_NAME(AsyncioThread)), loop);
    py::call_method(thread, PY_NAME(start));
    return loop;
}

const py::FunctionDef v_def{"v", "Tamarel.v", "v, s=None", nullptr, v};
const py::FunctionDef s_e_def{"s_e", "Tamarel.s_e", "self, e, v=None", nullptr, s_e};
const py::FunctionDef a_e_def{"a_e", "Tamarel.a_e", "self, e, v=None", nullptr, a_e,
                              py::ArgErrors::Python, true};
const py::FunctionDef t_def{"t", "Tamarel.t", "", nullptr, t};

// ---- Tamarel: form data helpers ----------------------------------------------------

bool has(PyObject* o, PyObject* name) { return bool(py::getattr_optional(o, name)); }

// Callable options are replaced by their result, or by the host's form_data_callback.
void evaluate_options(PyObject* self, PyObject* field) {
    Ref select = py::getattr(field, PY_NAME(select));
    if (!PyCallable_Check(select)) return;
    if (has(self, PY_NAME(form_data_callback))) {
        py::setattr(field, PY_NAME(select), py::call_method(self, PY_NAME(form_data_callback), field));
    } else {
        py::setattr(field, PY_NAME(select), py::call(select));
    }
}

Ref deep_copy(Call& c, PyObject* value) {
    return py::call_method(c.global(PY_NAME(copy)), PY_NAME(deepcopy), value);
}

Ref json_text(Call& c, PyObject* value) {
    Ref dumps = py::getattr(c.global(PY_NAME(json)), PY_NAME(dumps));
    return py::call_kw(dumps, {value}, {{PY_NAME(ensure_ascii), Py_False}});
}

Ref add_from_data(Call& c) {
    PyObject* self = c[0];
    Ref form_data = deep_copy(c, py::getattr(self, PY_NAME(form_data)));
    py::for_each(form_data, [&](PyObject* field) { evaluate_options(self, field); });
    return form_data;
}

// The first field of the form whose key equals `key`, or None.
Ref field_with_key(PyObject* form_data, PyObject* key) {
    Ref found = py::none();
    bool searching = true;
    py::for_each(form_data, [&](PyObject* item) {
        if (searching && py::equal(py::getattr(item, PY_NAME(key)), key)) {
            found = Ref::borrow(item);
            searching = false;
        }
    });
    return found;
}

Ref edit_form_data(Call& c) {
    PyObject* self = c[0];
    PyObject* row = c[1];
    PyObject* methods = c[3];
    Ref form_data = deep_copy(c, c[2]);
    py::for_each(form_data, [&](PyObject* field) {
        auto cell = [&] { return py::getitem(row, py::getattr(field, PY_NAME(key))); };
        if (py::isinstance(cell(), reinterpret_cast<PyObject*>(&PyDict_Type))) {
            py::setattr(field, PY_NAME(value), py::call_method(cell(), PY_NAME(get), PY_NAME(id), Py_None));
            if (py::getattr(field, PY_NAME(value)).get() == Py_None && py::truthy(cell())) {
                py::setattr(field, PY_NAME(value), json_text(c, cell()));
            }
        } else if (py::isinstance(cell(), reinterpret_cast<PyObject*>(&PyList_Type))) {
            py::setattr(field, PY_NAME(value), json_text(c, cell()));
        } else {
            py::setattr(field, PY_NAME(value), cell());
        }
        evaluate_options(self, field);

        Ref subordinate = py::getattr(field, PY_NAME(subordinate));
        if (!py::truthy(subordinate)) return;
        Ref options;
        if (py::equal(subordinate, PY_STR("module"))) {
            // A record without a product yet has no modules to offer.
            Ref product = py::getattr(field, PY_NAME(value));
            if (product.get() == Py_None || py::equal(product, PY_STR(""))) return;
            options = py::call_method(methods, PY_NAME(get_product_module_label),
                                      Ref::steal(PyNumber_Long(product)));
        } else {
            options = py::call_method(self, PY_NAME(subordinate_callback), field);
        }
        py::setattr(field_with_key(form_data, py::getattr(field, PY_NAME(subordinate))), PY_NAME(select), options);
    });
    return form_data;
}

Ref put_save_data(Call& c) {
    PyObject* self = c[0];
    PyObject* data = c[2];
    py::setitem(data, PY_NAME(id), py::call_method(c[1], PY_NAME(get), PY_NAME(id)));
    if (has(self, PY_NAME(save_callback))) {
        py::call_method(self, PY_NAME(save_callback), data, Py_False);
        return py::none();
    }
    return py::call_method(self, PY_NAME(put), data);
}

Ref post_save_data(Call& c) {
    PyObject* self = c[0];
    PyObject* data = c[1];
    if (has(self, PY_NAME(save_callback))) {
        py::call_method(self, PY_NAME(save_callback), data, Py_True);
        return py::none();
    }
    return py::call_method(self, PY_NAME(post), data);
}

const py::FunctionDef add_from_data_def{"add_from_data", "Tamarel.add_from_data", "self", nullptr,
                                        add_from_data};
const py::FunctionDef edit_form_data_def{"edit_form_data", "Tamarel.edit_form_data",
                                         "self, row, form_data, methods", nullptr, edit_form_data};
const py::FunctionDef put_save_data_def{"put_save_data", "Tamarel.put_save_data", "self, row, data", nullptr,
                                        put_save_data};
const py::FunctionDef post_save_data_def{"post_save_data", "Tamarel.post_save_data", "self, data", nullptr,
                                         post_save_data};

// ---- Tamarel.replace_str ---------------------------------------------------------

// The first "${{...}}" from the left whose inner text holds no brace: what
// re.search(r"\$\{\{([^{}]*)\}\}", text) matches, as its group 0. Empty if none.
struct Placeholder {
    Ref text;                 // group 0; empty when nothing matched
    Py_ssize_t start = -1;    // where it starts in the searched text, when known
};

template <class Char>
Placeholder find_placeholder(PyObject* text, const Char* s, Py_ssize_t n, Py_ssize_t from) {
    for (Py_ssize_t i = from; i + 5 <= n; ++i) {
        if (s[i] != '$' || s[i + 1] != '{' || s[i + 2] != '{') continue;
        Py_ssize_t j = i + 3;
        while (j < n && s[j] != '{' && s[j] != '}') ++j;
        if (j + 1 < n && s[j] == '}' && s[j + 1] == '}') {
            return {Ref::steal(PyUnicode_Substring(text, i, j + 2)), i};
        }
    }
    return {};
}

Placeholder find_placeholder(PyObject* text, Py_ssize_t from) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return find_placeholder(text, (const Py_UCS1*)data, n, from);
        case PyUnicode_2BYTE_KIND: return find_placeholder(text, (const Py_UCS2*)data, n, from);
        default: return find_placeholder(text, (const Py_UCS4*)data, n, from);
    }
}

// After the leftmost match at `start` was replaced, where the next search may begin.
// Nothing before `start` matched and the text before it is unchanged, so a new match
// that begins earlier must reach into the replaced part: it begins within two
// characters of `start`, or at a "${{" whose brace-free inner text runs up to
// `start`, or up to a "}" just before `start` that the replacement's first "}"
// completes into the closing "}}".
Py_ssize_t resume_point(PyObject* text, Py_ssize_t start) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto last_brace_before = [&](Py_ssize_t end) {
        Py_ssize_t j = end - 1;
        while (j >= 0 && at(j) != '{' && at(j) != '}') --j;
        return j;
    };
    Py_ssize_t resume = start > 2 ? start - 2 : 0;
    Py_ssize_t j = last_brace_before(start);
    if (j == start - 1 && j >= 0 && at(j) == '}') j = last_brace_before(j);
    if (j >= 2 && at(j) == '{' && at(j - 1) == '{' && at(j - 2) == '$' && j - 2 < resume) resume = j - 2;
    return resume;
}

constexpr const char* kPlaceholderPattern = "\\$\\{\\{([^{}]*)\\}\\}";

// re.search(pattern, text).group(0) through the module's `re`, or empty when there is
// no match. While `re` and `re.search` are the ones bound at import, the scan is done
// here; a rebinding of either is called as it is.
// re.<name> through the module's `re`; `native` tells whether `re` and the function
// are still the ones bound at import (the closure holds those two).
Ref re_function(Call& c, PyObject* name, bool* native) {
    PyObject* original = c.closure();
    Ref re = c.global(PY_NAME(re));
    Ref fn = py::getattr(re, name);
    *native = re.get() == PyTuple_GET_ITEM(original, 0) && fn.get() == PyTuple_GET_ITEM(original, 1);
    return fn;
}

Placeholder search_placeholder(Call& c, PyObject* text, Py_ssize_t from) {
    bool native;
    Ref search = re_function(c, PY_NAME(search), &native);
    if (native && PyUnicode_Check(text)) {
        return find_placeholder(text, from);
    }
    Ref match = py::call(search, py::text(kPlaceholderPattern), text);
    if (match.get() == Py_None) return {};
    return {py::call_method(match, PY_NAME(group), py::integer(0))};
}

Ref split_bar(PyObject* key_text) {
    if (PyUnicode_CheckExact(key_text)) {
        return Ref::steal(PyUnicode_Split(key_text, PY_STR("|"), -1));
    }
    return py::call_method(key_text, PY_NAME(split), PY_STR("|"));
}

// data.replace(match, str(value)), called on data itself unless it is an exact str;
// `data.replace` is looked up before str(value) runs, as Python evaluates it.
Ref replace_all(PyObject* data, const Placeholder& match, PyObject* value) {
    if (PyUnicode_CheckExact(data)) {
        Ref replacement = py::str(value);
        // The leftmost match is also the first occurrence of its own text.
        if (match.start >= 0) return py::replace_from(data, match.start, match.text, replacement);
        return Ref::steal(PyUnicode_Replace(data, match.text, replacement, -1));
    }
    Ref replace = py::getattr(data, PY_NAME(replace));
    Ref replacement = py::str(value);
    return py::call(replace, match.text, replacement);
}

// The key and the cache name of the pieces of a placeholder's inner text:
//     if len(pieces) == 2: key, cache_name = pieces
//     else: key, cache_name = pieces[0], None
void take_pieces(PyObject* pieces, Ref& key, Ref& cache_name) {
    if (py::check((int)PyObject_Size(pieces)) != 2) {
        key = Ref::steal(PyObject_GetItem(pieces, py::integer(0)));
        return;
    }
    if (PyList_CheckExact(pieces) || PyTuple_CheckExact(pieces)) {
        key = Ref::borrow(PySequence_Fast_GET_ITEM(pieces, 0));
        cache_name = Ref::borrow(PySequence_Fast_GET_ITEM(pieces, 1));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(pieces));
    Ref unpacked[2];
    for (int i = 0; i < 2; ++i) {
        unpacked[i] = Ref::steal_nullable(PyIter_Next(it));
        if (!unpacked[i]) {
            if (PyErr_Occurred()) py::fail();
            py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    if (Ref extra = Ref::steal_nullable(PyIter_Next(it))) {
        py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) py::fail();
    key = std::move(unpacked[0]);
    cache_name = std::move(unpacked[1]);
}

Ref replace_str(Call& c) {
    PyObject* self = c[0];
    Ref data = Ref::borrow(c[1]);
    PyObject* m_0002 = c[2];
    PyObject* tamarel_tools_error = c[3];

    Py_ssize_t resume = 0;  // see resume_point
    while (py::truthy(py::call_method(self, PY_NAME(is_extract), py::str(data)))) {
        Placeholder match = search_placeholder(c, py::str(data), resume);
        if (!match.text) break;
        PyObject* full_match = match.text;
        Ref key_text = py::call_method(self, PY_NAME(remove_parentheses), full_match);

        // "key|cache_name" names a cache entry; any other number of pieces does not.
        Ref pieces = split_bar(key_text);
        Ref key;
        Ref cache_name;
        take_pieces(pieces, key, cache_name);

        Ref value;
        if (py::truthy(py::call_method(self, PY_NAME(is_extract), key))) {
            Ref nested = Ref::steal(PyUnicode_FromFormat("${{%U}}", py::str(key).get()));
            value = py::call_method(self, PY_NAME(replace_str), nested, m_0002, tamarel_tools_error);
        } else if (py::truthy(py::call_method(self, PY_NAME(identify_parentheses), key))) {
            value = py::call_method(self, PY_NAME(regular), key);
        } else {
            value = py::call_method(self, PY_NAME(get_cache), key);
        }

        if (value.get() == Py_None) {
            Ref kwargs = py::new_dict();
            py::setitem(kwargs, PY_NAME(value), py::tuple(key));
            py::raise_object(py::call_args(tamarel_tools_error, py::star_args(tamarel_tools_error, m_0002), kwargs));
        }
        if (cache_name && py::truthy(cache_name)) {
            py::call_method(self, PY_NAME(set_cache), cache_name, value);
        }
        const bool exact = PyUnicode_CheckExact(data);
        data = replace_all(data, match, value);
        resume = exact && match.start >= 0 ? resume_point(data, match.start) : 0;
    }
    if (PyUnicode_Check(data)) return py::call_method(data, PY_NAME(strip));
    return data;
}

// ---- Tamarel.regular ------------------------------------------------------------

constexpr const char* kCallPattern = "^(\\w+)\\((.*)\\)$";

// What re.match(r"^(\w+)\((.*)\)$", text) captures: the name and the text between
// the "(" after it and the ")" that ends the text ("$" also matching before a final
// line break; "." not matching one).
struct CallExpression {
    bool matched = false;
    Ref name;
    Ref params;
};

CallExpression parse_call(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    Py_ssize_t i = 0;
    while (i < n && (Py_UNICODE_ISALNUM(at(i)) || at(i) == '_')) ++i;
    if (i == 0 || i >= n || at(i) != '(') return {};
    // The group ends at a ")" that closes the text, before any line break.
    const Py_ssize_t end = n >= 1 && at(n - 1) == '\n' ? n - 1 : n;
    for (Py_ssize_t j = i + 1; j < end; ++j) {
        if (at(j) == '\n') return {};
    }
    if (end - 1 < i + 1 || at(end - 1) != ')') return {};
    return {true, Ref::steal(PyUnicode_Substring(text, 0, i)),
            Ref::steal(PyUnicode_Substring(text, i + 1, end - 1))};
}

// The match through the module's `re`; natively while `re` and `re.match` are the
// ones bound at import.
CallExpression match_call(Call& c, PyObject* func) {
    bool native;
    Ref match_fn = re_function(c, PY_NAME(match), &native);
    if (native && PyUnicode_CheckExact(func)) {
        return parse_call(func);
    }
    Ref match = py::call(match_fn, py::text(kCallPattern), func);
    if (match.get() == Py_None) return {};
    return {true, py::call_method(match, PY_NAME(group), py::integer(1)),
            py::call_method(match, PY_NAME(group), py::integer(2))};
}

[[noreturn]] void raise_entry(PyObject* error_type, PyObject* entry) {
    py::raise_object(py::call_args(error_type, py::star_args(error_type, entry)));
}

Ref regular(Call& c) {
    PyObject* self = c[0];
    PyObject* func = c[1];
    PyObject* error_type = c[2];
    CallExpression expression = match_call(c, func);
    if (!expression.matched) return py::call(py::getattr(self, func));

    Ref inspect = Ref::steal(PyImport_Import(PY_NAME(inspect)));
    Ref params_str = py::call_method(expression.params, PY_NAME(strip));
    Ref function = py::getattr(self, expression.name);
    Ref parameters = py::getattr(py::call_method(inspect, PY_NAME(signature), function), PY_NAME(parameters));
    const Py_ssize_t param_count = py::check((int)PyObject_Size(parameters));
    if (!py::truthy(params_str)) return py::call(function);

    Ref pieces = py::call_method(params_str, PY_NAME(split), PY_STR(","));
    if (py::check(PySequence_Contains(params_str, PY_STR("=")))) {
        Ref keywords = py::new_dict();
        py::for_each(pieces, [&](PyObject* raw) {
            Ref piece = py::call_method(raw, PY_NAME(strip));
            if (!py::check(PySequence_Contains(piece, PY_STR("=")))) raise_entry(error_type, c[4]);
            Ref pair = py::call_method(piece, PY_NAME(split), PY_STR("="), py::integer(1));
            Ref key = py::call_method(Ref::steal(PySequence_GetItem(pair, 0)), PY_NAME(strip));
            Ref value = py::call_method(Ref::steal(PySequence_GetItem(pair, 1)), PY_NAME(strip));
            py::setitem(keywords, key, value);
        });
        return py::call_args(function, Ref::steal(PyTuple_New(0)), keywords);
    }
    Ref args = py::new_list();
    py::for_each(pieces, [&](PyObject* raw) {
        Ref piece = py::call_method(raw, PY_NAME(strip));
        if (py::truthy(piece)) py::append(args, piece);
    });
    // A host function taking *args accepts any number of them.
    bool variadic = false;
    Ref var_positional = py::getattr(py::getattr(inspect, PY_NAME(Parameter)), PY_NAME(VAR_POSITIONAL));
    py::for_each(py::call_method(parameters, PY_NAME(values)), [&](PyObject* parameter) {
        variadic = variadic || py::equal(py::getattr(parameter, PY_NAME(kind)), var_positional);
    });
    if (!variadic && PyList_GET_SIZE(args.get()) > param_count) raise_entry(error_type, c[3]);
    return py::call_args(function, Ref::steal(PyList_AsTuple(args)));
}

const py::FunctionDef regular_def{"regular", "Tamarel.regular", "self, func, error_type, m022, m023", nullptr,
                                  regular};

const py::FunctionDef replace_str_def{"replace_str", "Tamarel.replace_str",
                                      "self, data, m_0002, tamarel_tools_error", nullptr,
                                      replace_str};

}  // namespace

void tamarel(py::ModuleBody& m) {
    for (const char* name : {"asyncio", "copy", "json", "re", "smtplib", "threading"}) {
        m.import(name);
    }
    m.import_from("datetime", "datetime");
    m.import_from("email.mime.multipart", "MIMEMultipart");
    m.import_from("email.mime.text", "MIMEText");
    m.import_from("threading", "Thread");

    {
        Ref cell = Ref::steal(PyCell_New(nullptr));
        std::vector<py::Member> body;
        body.push_back({"__init__", m.function(asyncio_thread_init_def, cell)});
        body.push_back({"run", m.function(asyncio_thread_run_def, cell)});
        Ref thread = py::getitem(m.globals(), PY_NAME(Thread));
        Ref cls = py::build_class("AsyncioThread", m.globals(), {thread.get()}, body);
        py::check(PyCell_Set(cell, cls));
        m.bind("AsyncioThread", cls);
    }
    {
        Ref re = py::getitem(m.globals(), PY_NAME(re));
        Ref original = py::tuple(re, py::getattr(re, PY_NAME(search)));
        std::vector<py::Member> body;
        body.push_back({"s", py::static_method(m.function(s_def))});
        body.push_back({"v", py::static_method(m.function(v_def))});
        body.push_back({"a_e", py::static_method(m.function(a_e_def))});
        body.push_back({"s_e", py::static_method(m.function(s_e_def))});
        body.push_back({"t", py::static_method(m.function(t_def))});
        for (const py::FunctionDef* def : {&add_from_data_def, &edit_form_data_def, &put_save_data_def,
                                           &post_save_data_def}) {
            body.push_back({def->name, py::static_method(m.function(*def))});
        }
        Ref match_original = py::tuple(re, py::getattr(re, PY_NAME(match)));
        body.push_back({"regular", py::static_method(m.function(regular_def, match_original))});
        body.push_back({"replace_str", py::static_method(m.function(replace_str_def, original))});
        m.bind("Tamarel", py::build_class("Tamarel", m.globals(), {}, body));
    }
}

}  // namespace sections
