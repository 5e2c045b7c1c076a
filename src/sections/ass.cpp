// Section ass: the assertion dispatcher.
#include "sections.hpp"

namespace sections {

void ass(py::ModuleBody& m) {
    m.import("json");
    m.import("re");
    m.import_from("tamareltools.exceptions", "TamarelToolsError");
    m.import_from("tamareltools.exceptions.error_msg", "ERROR_MSG_0019");
    m.import_from("tamareltools.exceptions.error_msg", "ERROR_MSG_0021");
}

}  // namespace sections
