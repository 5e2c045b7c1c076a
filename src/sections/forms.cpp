// The form helpers: deep copies of a form's field list filled with options, values from
// a record and dependent options, and saves routed through the host's callbacks.
#include "tamarel.hpp"

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

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

constexpr py::Params add_from_data_params{"self"};

Ref add_from_data(Call& c) {
    auto [self] = c.args<add_from_data_params>();
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

constexpr py::Params edit_form_data_params{"self, row, form_data, methods"};

Ref edit_form_data(Call& c) {
    auto [self, row, given_form_data, methods] = c.args<edit_form_data_params>();
    Ref form_data = deep_copy(c, given_form_data);  // from here on only the copy is used
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

constexpr py::Params put_save_data_params{"self, row, data"};

Ref put_save_data(Call& c) {
    auto [self, row, data] = c.args<put_save_data_params>();
    py::setitem(data, PY_NAME(id), py::call_method(row, PY_NAME(get), PY_NAME(id)));
    if (has(self, PY_NAME(save_callback))) {
        py::call_method(self, PY_NAME(save_callback), data, Py_False);
        return py::none();
    }
    return py::call_method(self, PY_NAME(put), data);
}

constexpr py::Params post_save_data_params{"self, data"};

Ref post_save_data(Call& c) {
    auto [self, data] = c.args<post_save_data_params>();
    if (has(self, PY_NAME(save_callback))) {
        py::call_method(self, PY_NAME(save_callback), data, Py_True);
        return py::none();
    }
    return py::call_method(self, PY_NAME(post), data);
}

}  // namespace

const py::FunctionDef add_from_data_def{"add_from_data", "Tamarel.add_from_data", nullptr,
                                        py::impl<add_from_data, add_from_data_params>};
const py::FunctionDef edit_form_data_def{"edit_form_data", "Tamarel.edit_form_data", nullptr,
                                         py::impl<edit_form_data, edit_form_data_params>};
const py::FunctionDef put_save_data_def{"put_save_data", "Tamarel.put_save_data", nullptr,
                                        py::impl<put_save_data, put_save_data_params>};
const py::FunctionDef post_save_data_def{"post_save_data", "Tamarel.post_save_data", nullptr,
                                         py::impl<post_save_data, post_save_data_params>};

}  // namespace sections::tamarel_members
