// Section vue_flow: queries and walks over the flow editor's documents.
#include "sections.hpp"

namespace sections {

void vue_flow(py::ModuleBody&) {}

}  // namespace sections
