#include "bindings.hpp"
#include "basis.hpp"

namespace zelk {

void bind_basis(py::module_& /*m*/) {}

}  // namespace zelk
