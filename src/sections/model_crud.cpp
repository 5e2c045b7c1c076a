// Section model_crud: the REST view handlers.
#include "sections.hpp"

namespace sections {

void model_crud(py::ModuleBody& m) {
    m.import("json");
    m.import("traceback");
}

}  // namespace sections
