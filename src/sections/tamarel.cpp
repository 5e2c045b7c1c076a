// Class Tamarel, a namespace of static methods, and the loop thread AsyncioThread that
// Tamarel.t starts: the imports they use, then both classes in definition order.
#include "sections.hpp"

#include "tamarel.hpp"

#include <vector>

namespace sections {

using namespace tamarel_members;
using py::Ref;

void tamarel(py::ModuleBody& m) {
    for (const char* name : {"asyncio", "copy", "json", "re", "smtplib", "threading"}) {
        m.import(name);
    }
    m.import_from("datetime", "datetime");
    m.import_from("email.mime.multipart", "MIMEMultipart");
    m.import_from("email.mime.text", "MIMEText");
    m.import_from("threading", "Thread");

    {
        // super() in __init__ reads the class from the methods' __class__ cell.
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
        auto& re = m.state().get<ReAtImport>();
        re.re = py::getitem(m.globals(), PY_NAME(re));
        re.search = py::getattr(re.re, PY_NAME(search));
        re.match = py::getattr(re.re, PY_NAME(match));
        std::vector<py::Member> body;
        auto add = [&](const py::FunctionDef& def) {
            body.push_back({def.name, py::static_method(m.function(def))});
        };
        add(s_def);
        add(v_def);
        add(a_e_def);
        add(s_e_def);
        add(t_def);
        add(add_from_data_def);
        add(edit_form_data_def);
        add(put_save_data_def);
        add(post_save_data_def);
        add(regular_def);
        add(replace_str_def);
        m.bind("Tamarel", py::build_class("Tamarel", m.globals(), {}, body), py::Listed::Yes);
    }
}

}  // namespace sections
