// Section pycase: pytest runs with allure results.
#include "sections.hpp"

namespace sections {

void pycase(py::ModuleBody& m) {
    for (const char* name : {"json", "os", "shutil", "uuid"}) m.import(name);
    m.import_from("pathlib", "Path");
    m.import("sys");
}

}  // namespace sections
