// REST handlers: the view handlers of the platform. A view calls them with itself (or its
// class) as the one positional argument and everything else as keywords, each read
// as kwargs.get(key); every platform class and collaborator comes in that way.
#include "sections.hpp"

#include "runtime/handler.hpp"
#include "runtime/text.hpp"

namespace sections {
namespace {

using py::Call;
using py::Ref;

// The keywords of one handler call.
class Keywords {
public:
    explicit Keywords(PyObject* kwargs) : kwargs_(kwargs) {}
    Ref operator[](PyObject* key) const { return py::dict_get(kwargs_, key); }

private:
    PyObject* kwargs_;
};

// kwargs.get("log").system.error(text), the callee read before the text is built.
template <class Text>
void log_error(const Keywords& kw, Text&& make_text) {
    Ref error = py::getattr(py::getattr(kw[PY_NAME(log)], PY_NAME(system)), PY_NAME(error));
    py::call(error, make_text());
}

Ref json_dumps(Call& c, PyObject* value) {
    return py::call_method(c.global(PY_NAME(json)), PY_NAME(dumps), value);
}

// kwargs.get("response_data").<verb>(*args)
template <class... A>
Ref respond(const Keywords& kw, PyObject* verb, const A&... args) {
    return py::call_method(kw[PY_NAME(response_data)], verb, args...);
}

// model.objects.<method>(**{key: value})
Ref objects(PyObject* model, PyObject* method, PyObject* key, PyObject* value) {
    Ref manager = py::getattr(model, PY_NAME(objects));
    return py::call_kw(py::getattr(manager, method), {}, {{key, value}});
}

// ---- test and get --------------------------------------------------------------

constexpr py::Params view_params{"self, **kwargs"};
constexpr py::Params inside_params{"cls, **kwargs"};
constexpr py::Params inside_delete_params{"cls, **kwargs -> None"};

Ref test(Call& c) {
    auto [self, kwargs] = c.args<view_params>();
    py::call(c.global(PY_NAME(print)), kwargs);
    return py::none();
}

// The query parameters as Django lookups.
Ref filter_mapping(PyObject* self, PyObject* query_params) {
    Ref lists = py::call(reinterpret_cast<PyObject*>(&PyDict_Type),
                         py::call_method(query_params, PY_NAME(lists)));
    Ref query_dict = py::new_dict();
    Py_ssize_t pos = 0;
    PyObject *name, *values;
    while (PyDict_Next(lists, &pos, &name, &values)) {
        Ref k = Ref::borrow(name), v = Ref::borrow(values);
        Ref first = Ref::steal(PySequence_GetItem(v, 0));
        const bool contains = py::truthy(k) && PyUnicode_Check(first) &&
                              !py::check(PySequence_Contains(py::getattr(self, PY_NAME(not_matching_str)), k)) &&
                              !py::check(PySequence_Contains(k, PY_STR("id")));
        if (contains) {
            Ref key = Ref::steal(PyUnicode_Concat(Ref::steal(PyObject_Format(k, nullptr)), PY_STR("__contains")));
            py::setitem(query_dict, key, first);
        } else {
            py::setitem(query_dict, k, first);
        }
    }
    return query_dict;
}

// The rows of the request's project only, through unevaluated id querysets.
void scope_to_project(PyObject* self, const Keywords& kw, PyObject* query_dict, PyObject* project_id) {
    PyObject* given = nullptr;
    py::check(PyDict_GetItemRef(query_dict, PY_STR("project_product"), &given));
    Ref keep = Ref::steal_nullable(given);
    if (given && given != Py_None) return;
    if (!py::truthy(project_id)) return;
    Ref model = py::getattr(self, PY_NAME(model));
    if (!py::getattr_optional(model, PY_NAME(project_product))) return;

    auto ids = [](PyObject* queryset) {
        return py::call_kw(py::getattr(queryset, PY_NAME(values_list)), {PY_STR("id")},
                           {{PY_NAME(flat), Py_True}});
    };
    Ref project_product = objects(kw[PY_NAME(project_product)], PY_NAME(filter), PY_NAME(project_id), project_id);
    Ref model_name = py::getattr(model, PY_NAME(__name__));
    if (py::check(PySequence_Contains(py::getattr(self, PY_NAME(pytest_model)), model_name))) {
        Ref product = objects(kw[PY_NAME(pytest_product)], PY_NAME(filter), PY_STR("project_product_id__in"),
                              ids(project_product));
        py::setitem(query_dict, PY_STR("project_product_id__in"), ids(product));
    } else {
        py::setitem(query_dict, PY_STR("project_product_id__in"), ids(project_product));
    }
}

// The model's rows, ordered by "case_sort" when the model has that field.
Ref ordered_queryset(PyObject* self, const Keywords& kw, PyObject* query_dict) {
    Ref model = py::getattr(self, PY_NAME(model));
    auto filtered = [&] {
        Ref filter = py::getattr(py::getattr(model, PY_NAME(objects)), PY_NAME(filter));
        return py::call_args(filter, Ref::steal(PyTuple_New(0)), query_dict);
    };
    return py::try_except(
        [&] { return kw[PY_NAME(field_does_note_xist)]; },
        [&] {
            py::call_method(py::getattr(model, PY_NAME(_meta)), PY_NAME(get_field), PY_STR("case_sort"));
            return py::call_method(filtered(), PY_NAME(order_by), PY_STR("case_sort"));
        },
        [&](PyObject*) { return filtered(); });
}

// One page through the view, or all rows through the serializer.
Ref listing(PyObject* self, const Keywords& kw, PyObject* query_params, PyObject* query_dict) {
    auto param = [&](PyObject* name) { return py::call_method(query_params, PY_NAME(get), name); };
    if (py::truthy(param(PY_NAME(pageSize))) && py::truthy(param(PY_NAME(page)))) {
        py::check(PyDict_DelItem(query_dict, PY_STR("pageSize")));
        py::check(PyDict_DelItem(query_dict, PY_STR("page")));
        Ref queryset = ordered_queryset(self, kw, query_dict);
        Ref page_size = param(PY_NAME(pageSize));
        Ref page = param(PY_NAME(page));
        Ref serializer_class = py::call_method(self, PY_NAME(get_serializer_class));
        auto [data_list, count] =
            py::unpack2(py::call_method(self, PY_NAME(paging_list), page_size, page, queryset, serializer_class));
        return respond(kw, PY_NAME(success), kw[PY_NAME(m_0001)], data_list, count);
    }
    Ref books = ordered_queryset(self, kw, query_dict);
    Ref serializer = py::call_method(self, PY_NAME(get_serializer_class));
    books = py::try_except(
        [&] { return kw[PY_NAME(field_error)]; },
        [&] { return py::call_method(serializer, PY_NAME(setup_eager_loading), books); },
        [&](PyObject*) { return books.copy(); });
    Ref success = py::getattr(kw[PY_NAME(response_data)], PY_NAME(success));
    Ref message = kw[PY_NAME(m_0001)];
    Ref data = py::getattr(py::call_kw(serializer, {}, {{PY_NAME(instance), books}, {PY_NAME(many), Py_True}}),
                           PY_NAME(data));
    return py::call(success, message, data, py::call_method(books, PY_NAME(count)));
}

Ref get(Call& c) {
    auto [self, kwargs] = c.args<view_params>();
    const Keywords kw(kwargs);
    Ref query_params = py::getattr(kw[PY_NAME(request)], PY_NAME(query_params));
    Ref query_dict = filter_mapping(self, query_params);
    Ref headers = py::getattr(kw[PY_NAME(request)], PY_NAME(headers));
    Ref project_id = py::call_method(headers, PY_NAME(get), PY_STR("Project"));
    scope_to_project(self, kw, query_dict, project_id);

    try {
        return listing(self, kw, query_params, query_dict);
    } catch (const py::PythonError&) {
        py::Caught caught;
        PyObject* message;
        if (caught.matches(kw[PY_NAME(s3_error)])) {
            message = PY_NAME(m_0026);
        } else if (caught.matches(PyExc_Exception)) {
            message = PY_NAME(m_0027);
        } else {
            caught.reraise();
        }
        py::Handling handling(caught);
        log_error(kw, [&] {
            Ref text = py::str(caught);
            // print_exc() prints the traceback now and gives None for the text.
            Ref printed = py::call_method(c.global(PY_NAME(traceback)), PY_NAME(print_exc));
            return py::concat("GET请求发送异常，请排查问题：", text, ", error:", printed);
        });
        return respond(kw, PY_NAME(fail), kw[message]);
    }
}

// ---- post, put, delete -----------------------------------------------------------

Ref post(Call& c) {
    auto [self, kwargs] = c.args<view_params>();
    const Keywords kw(kwargs);
    Ref serializer = py::call_kw(py::getattr(self, PY_NAME(serializer)), {},
                                 {{PY_NAME(data), py::getattr(kw[PY_NAME(request)], PY_NAME(data))}});
    if (py::truthy(py::call_method(serializer, PY_NAME(is_valid)))) {
        py::call_method(serializer, PY_NAME(save));
        Ref parent_id = py::call_method(py::getattr(kw[PY_NAME(request)], PY_NAME(data)), PY_NAME(get), PY_STR("parent_id"));
        py::call_method(self, PY_NAME(asynchronous_callback), parent_id);
        return respond(kw, PY_NAME(success), kw[PY_NAME(m_0002)], py::getattr(serializer, PY_NAME(data)));
    }
    log_error(kw, [&] {
        Ref data = py::getattr(kw[PY_NAME(request)], PY_NAME(data));
        return py::concat("执行保存时报错，请检查！数据：", data, ", 报错信息：",
                    json_dumps(c, py::getattr(serializer, PY_NAME(errors))));
    });
    return respond(kw, PY_NAME(fail), kw[PY_NAME(m_0003)], py::getattr(serializer, PY_NAME(errors)));
}

Ref put(Call& c) {
    auto [self, kwargs] = c.args<view_params>();
    const Keywords kw(kwargs);
    Ref request = kw[PY_NAME(request)];
    Ref data, record;
    Ref model = py::getattr(self, PY_NAME(model));
    if (PyDict_Check(request)) {
        data = request.copy();
        record = objects(model, PY_NAME(get), PY_NAME(pk), py::call_method(request, PY_NAME(get), PY_STR("id")));
    } else {
        data = py::getattr(request, PY_NAME(data));
        Ref id = py::call_method(py::getattr(request, PY_NAME(data)), PY_NAME(get), PY_STR("id"));
        record = objects(model, PY_NAME(get), PY_NAME(pk), id);
    }
    Ref serializer = py::call_kw(py::getattr(self, PY_NAME(serializer)), {},
                                 {{PY_NAME(instance), record}, {PY_NAME(data), data}, {PY_NAME(partial), Py_True}});
    if (py::truthy(py::call_method(serializer, PY_NAME(is_valid)))) {
        py::call_method(serializer, PY_NAME(save));
        py::call_method(self, PY_NAME(asynchronous_callback),
                        py::call_method(data, PY_NAME(get), PY_STR("parent_id")));
        return respond(kw, PY_NAME(success), kw[PY_NAME(m_0082)], py::getattr(serializer, PY_NAME(data)));
    }
    log_error(kw, [&] {
        return py::concat("执行修改时报错，请检查！数据：", data, ", 报错信息：", py::getattr(serializer, PY_NAME(errors)));
    });
    return respond(kw, PY_NAME(fail), kw[PY_NAME(m_0004)], py::getattr(serializer, PY_NAME(errors)));
}

Ref delete_(Call& c) {
    auto [self, kwargs] = c.args<view_params>();
    const Keywords kw(kwargs);
    Ref id = py::call_method(py::getattr(kw[PY_NAME(request)], PY_NAME(query_params)), PY_NAME(get), PY_STR("id"));
    Ref id_list = py::new_list();
    Ref given = py::call_method(py::getattr(kw[PY_NAME(request)], PY_NAME(query_params)), PY_NAME(getlist), PY_STR("id[]"));
    py::for_each(given, [&](PyObject* i) { py::append(id_list, Ref::steal(PyNumber_Long(i))); });

    try {
        Ref model = py::getattr(self, PY_NAME(model));
        if (!py::truthy(id) && PyList_GET_SIZE(id_list.get()) > 0) {
            py::for_each(id_list, [&](PyObject* i) {
                py::call_method(objects(model, PY_NAME(get), PY_NAME(pk), i), PY_NAME(delete));
            });
        } else {
            py::call_method(objects(model, PY_NAME(get), PY_NAME(id), id), PY_NAME(delete));
            Ref parent_id = py::call_method(py::getattr(kw[PY_NAME(request)], PY_NAME(query_params)), PY_NAME(get),
                                            PY_STR("parent_id"));
            py::call_method(self, PY_NAME(asynchronous_callback), parent_id);
        }
    } catch (const py::PythonError&) {
        py::Caught caught;
        if (caught.matches(kw[PY_NAME(tools_error)])) {
            py::Handling handling(caught);
            Ref pair = py::tuple(py::getattr(caught, PY_NAME(code)), py::getattr(caught, PY_NAME(msg)));
            return respond(kw, PY_NAME(fail), pair);
        }
        if (caught.matches(py::getattr(py::getattr(self, PY_NAME(model)), PY_NAME(DoesNotExist)))) {
            py::Handling handling(caught);
            return respond(kw, PY_NAME(fail), kw[PY_NAME(m_0029)]);
        }
        caught.reraise();
    }
    return respond(kw, PY_NAME(success), kw[PY_NAME(m_0005)]);
}

// ---- internal writes ---------------------------------------------------------------

// raise tools_error(*m_0116, value=(errors,))
[[noreturn]] void raise_rejected(const Keywords& kw, PyObject* errors) {
    Ref error_class = kw[PY_NAME(tools_error)];
    Ref args = py::star_args(error_class, kw[PY_NAME(m_0116)]);
    Ref kwargs = py::new_dict();
    py::setitem(kwargs, PY_NAME(value), py::tuple(errors));
    py::raise_object(py::call_args(error_class, args, kwargs));
}

Ref inside_post(Call& c) {
    auto [cls, kwargs] = c.args<inside_params>();
    const Keywords kw(kwargs);
    Ref serializer = py::call_kw(py::getattr(cls, PY_NAME(serializer)), {}, {{PY_NAME(data), kw[PY_NAME(data)]}});
    if (py::truthy(py::call_method(serializer, PY_NAME(is_valid)))) {
        py::call_method(serializer, PY_NAME(save));
        return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), py::getattr(serializer, PY_NAME(data)));
    }
    Ref errors = py::getattr(serializer, PY_NAME(errors));
    log_error(kw, [&] { return py::concat("执行内部保存时报错，请检查！数据：", kw[PY_NAME(data)], ", 报错信息：", json_dumps(c, errors)); });
    raise_rejected(kw, py::getattr(serializer, PY_NAME(errors)));
}

Ref inside_put(Call& c) {
    auto [cls, kwargs] = c.args<inside_params>();
    const Keywords kw(kwargs);
    Ref record = objects(py::getattr(cls, PY_NAME(model)), PY_NAME(get), PY_NAME(pk), kw[PY_NAME(_id)]);
    Ref serializer = py::call_kw(py::getattr(cls, PY_NAME(serializer)), {},
                                 {{PY_NAME(instance), record}, {PY_NAME(data), kw[PY_NAME(data)]}, {PY_NAME(partial), Py_True}});
    if (py::truthy(py::call_method(serializer, PY_NAME(is_valid)))) {
        py::call_method(serializer, PY_NAME(save));
        return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), py::getattr(serializer, PY_NAME(data)));
    }
    log_error(kw, [&] {
        return py::concat("执行内部修改时报错，请检查！id:", kw[PY_NAME(_id)], ", 数据：", kw[PY_NAME(data)], ", 报错信息：",
                    py::getattr(serializer, PY_NAME(errors)));
    });
    raise_rejected(kw, py::getattr(serializer, PY_NAME(errors)));
}

Ref inside_delete(Call& c) {
    auto [cls, kwargs] = c.args<inside_delete_params>();
    const Keywords kw(kwargs);
    py::call_method(objects(py::getattr(cls, PY_NAME(model)), PY_NAME(get), PY_NAME(id), kw[PY_NAME(_id)]),
                    PY_NAME(delete));
    return py::none();
}

const py::FunctionDef test_def{"test", "test", nullptr, py::impl<test, view_params>};
const py::FunctionDef get_def{"get", "get", nullptr, py::impl<get, view_params>};
const py::FunctionDef post_def{"post", "post", nullptr, py::impl<post, view_params>};
const py::FunctionDef put_def{"put", "put", nullptr, py::impl<put, view_params>};
const py::FunctionDef delete_def{"delete", "delete", nullptr, py::impl<delete_, view_params>};
const py::FunctionDef inside_post_def{"inside_post", "inside_post", nullptr, py::impl<inside_post, inside_params>};
const py::FunctionDef inside_put_def{"inside_put", "inside_put", nullptr, py::impl<inside_put, inside_params>};
const py::FunctionDef inside_delete_def{"inside_delete", "inside_delete", nullptr,
                                        py::impl<inside_delete, inside_delete_params>};

}  // namespace

void rest_handlers(py::ModuleBody& m) {
    m.import("json");
    m.import("traceback");
    for (const py::FunctionDef* def : {&test_def, &get_def, &post_def, &put_def, &delete_def, &inside_post_def,
                                       &inside_put_def, &inside_delete_def}) {
        m.def(*def);
    }
}

}  // namespace sections
