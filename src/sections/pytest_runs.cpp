// Pytest runs: one test file run under pytest in this process, with allure
// results written to a directory of its own, read back as data and removed.
#include "sections.hpp"

#include "common.hpp"
#include "runtime/handler.hpp"
#include "runtime/text.hpp"

namespace sections {
namespace {

using py::Call;
using py::Ref;

constexpr const char* kMissingAttachment = "用例执行失败，这一项没有生成内容，所以没有结果";

// Is `path` (already joined to the results directory) inside that directory? An
// absolute "source" or one that climbs out with ".." is not.
bool inside(Call& c, PyObject* results_dir, PyObject* path) {
    Ref base = os_path(c, PY_NAME(realpath), results_dir);
    Ref target = os_path(c, PY_NAME(realpath), path);
    Ref both = py::tuple(base, target);
    Ref common = py::try_except(
        PyExc_ValueError,  // different drives
        [&] { return os_path(c, PY_NAME(commonpath), both); },
        [&](PyObject*) { return py::none(); });
    return common.get() != Py_None && py::equal(common, base);
}

// The attachment file's text; a file that is not UTF-8 text (a PNG screenshot) as
// base64 of its bytes, so that the record stays complete and serialisable.
Ref attachment_source(Call& c, PyObject* path) {
    return py::try_except(
        PyExc_UnicodeDecodeError,
        [&] {
            Ref file = open_text(c, path);
            Ref text;
            py::with_context(file, [&](PyObject*) { text = py::call_method(file, PY_NAME(read)); });
            return text;
        },
        [&](PyObject*) {
            Ref file = py::call(c.global(PY_NAME(open)), path, PY_STR("rb"));
            Ref data;
            py::with_context(file, [&](PyObject*) { data = py::call_method(file, PY_NAME(read)); });
            Ref base64 = Ref::steal(PyImport_ImportModule("base64"));
            Ref encoded = py::call_method(base64, PY_NAME(b64encode), data);
            return py::call_method(encoded, PY_NAME(decode), PY_STR("ascii"));
        });
}

constexpr py::Params results_dir_params{"results_dir"};

Ref read_allure_json_results(Call& c) {
    auto [results_dir] = c.args<results_dir_params>();
    Ref report_data = py::new_list();
    Ref results = py::call_method(py::call(c.global(PY_NAME(Path)), results_dir), PY_NAME(glob),
                                  PY_STR("*-result.json"));
    py::for_each(results, [&](PyObject* result_file) {
        Ref file = open_text(c, result_file);
        py::with_context(file, [&](PyObject*) {
            Ref res_dict = py::call_method(c.global(PY_NAME(json)), PY_NAME(load), file);
            Ref attachments = py::call_method(res_dict, PY_NAME(get), PY_STR("attachments"),
                                              py::new_list());
            py::for_each(attachments, [&](PyObject* attachment) {
                Ref source = py::call_method(attachment, PY_NAME(get), PY_STR("source"));
                Ref path = os_path(c, PY_NAME(join), results_dir, source);
                Ref text = py::try_except(
                    PyExc_FileNotFoundError,
                    [&] {
                        if (!inside(c, results_dir, path)) return py::text(kMissingAttachment);
                        return attachment_source(c, path);
                    },
                    [&](PyObject*) { return py::text(kMissingAttachment); });
                py::setitem(attachment, PY_STR("source"), text);
            });
            py::append(report_data, res_dict);
        });
    });
    return report_data;
}

Ref delete_allure_results(Call& c) {
    auto [results_dir] = c.args<results_dir_params>();
    if (py::truthy(os_path(c, PY_NAME(exists), results_dir))) {
        py::call_method(c.global(PY_NAME(shutil)), PY_NAME(rmtree), results_dir);
    }
    return py::none();
}

const py::FunctionDef read_allure_json_results_def{
    "read_allure_json_results", "read_allure_json_results", nullptr,
    py::impl<read_allure_json_results, results_dir_params>};
const py::FunctionDef delete_allure_results_def{"delete_allure_results", "delete_allure_results", nullptr,
                                                py::impl<delete_allure_results, results_dir_params>};

constexpr py::Params pytest_test_case_params{"**kwargs"};

Ref pytest_test_case(Call& c) {
    auto [kwargs] = c.args<pytest_test_case_params>();
    Ref sys = c.global(PY_NAME(sys));
    for (PyObject* stream : {PY_NAME(stdout), PY_NAME(stderr)}) {
        if (py::getattr(sys, stream).get() == Py_None) {
            Ref devnull = py::getattr(c.global(PY_NAME(os)), PY_NAME(devnull));
            py::setattr(sys, stream, py::call(c.global(PY_NAME(open)), devnull, PY_STR("w")));
        }
    }
    Ref pytest = Ref::steal(PyImport_Import(PY_NAME(pytest)));

    Ref uuid = py::call_method(c.global(PY_NAME(uuid)), PY_NAME(uuid4));
    Ref results_dir = os_path(c, PY_NAME(join), py::dict_get(kwargs, PY_NAME(allure)),
                              py::concat("allure-results-", uuid));
    Ref log = py::dict_get(kwargs, PY_NAME(log));
    py::call_method(log, PY_NAME(debug), py::concat("生成的用例存储目录：", results_dir));

    make_dirs(c, results_dir);
    py::setitem(py::getattr(c.global(PY_NAME(os)), PY_NAME(environ)),
                py::dict_get(kwargs, PY_NAME(test_env_name)), py::str(py::dict_get(kwargs, PY_NAME(test_env))));

    Ref file_path = py::dict_get(kwargs, PY_NAME(file_path));
    Ref pytest_args = py::new_list();
    py::append(pytest_args, os_path(c, PY_NAME(abspath), file_path));
    py::append(pytest_args, PY_STR("--alluredir"));
    py::append(pytest_args, results_dir);
    const std::pair<PyObject*, PyObject*> flags[] = {
        {PY_NAME(quiet), PY_STR("-q")}, {PY_NAME(verbose), PY_STR("-v")}, {PY_NAME(show_output), PY_STR("-s")}};
    for (auto [key, flag] : flags) {
        if (py::truthy(py::dict_get(kwargs, key))) py::append(pytest_args, flag);
    }
    py::call_method(py::dict_get(kwargs, PY_NAME(log)), PY_NAME(debug), py::concat("启动 pytest 参数：", pytest_args));

    Ref exit_code = py::call_method(pytest, PY_NAME(main), pytest_args);
    Ref formatted = Ref::steal(PyObject_Format(exit_code, nullptr));
    Ref line = py::concat("文件<", file_path, ">执行输出:", formatted);
    py::call_method(py::dict_get(kwargs, PY_NAME(log)), PY_NAME(debug), line);

    Ref report_data = py::call(c.global(PY_NAME(read_allure_json_results)), results_dir);
    py::call(c.global(PY_NAME(delete_allure_results)), results_dir);
    return report_data;
}

const py::FunctionDef pytest_test_case_def{"pytest_test_case", "pytest_test_case",
                                           nullptr, py::impl<pytest_test_case, pytest_test_case_params>};

}  // namespace

void pytest_runs(py::ModuleBody& m) {
    for (const char* name : {"json", "os", "shutil", "uuid"}) m.import(name);
    m.import_from("pathlib", "Path");
    m.import("sys");
    m.def(pytest_test_case_def);
    m.def(read_allure_json_results_def);
    m.def(delete_allure_results_def);
}

}  // namespace sections
