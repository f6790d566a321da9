#include "bindings.hpp"
#include "linear.hpp"

namespace zelk {

void bind_linear(py::module_& /*m*/) {}

}  // namespace zelk
