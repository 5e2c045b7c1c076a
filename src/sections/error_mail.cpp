// Tamarel.s: the error mail to the platform administrator, composed and sent over SMTP
// with STARTTLS on a thread of its own; every failure there is dropped.
#include "tamarel.hpp"

#include "runtime/handler.hpp"

#include <string>

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

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

const py::FunctionDef send_report_def{"ss", "Tamarel.s.<locals>.ss", nullptr, py::impl<send_report, py::no_params>};

constexpr py::Params s_params{"func, error, trace, username=None, *args, **kwargs"};

// Returns at once: the report is composed and sent on a thread of its own.
Ref s(Call& c) {
    auto [func, error, trace, username, args, kwargs] = c.args<s_params>();
    Ref captured = py::tuple(func, error, trace, username, args, kwargs);
    Ref target = py::make_function(send_report_def, c.globals(), captured);
    Ref thread_class = py::getattr(c.global(PY_NAME(threading)), PY_NAME(Thread));
    Ref thread = py::call_kw(thread_class, {}, {{PY_NAME(target), target}});
    py::call_method(thread, PY_NAME(start));
    return py::none();
}

}  // namespace

const py::FunctionDef s_def{"s", "Tamarel.s", nullptr, py::impl<s, s_params>};

}  // namespace sections::tamarel_members
