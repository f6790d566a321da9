#include "bindings.hpp"
#include "sampler.hpp"

namespace zelk {

void bind_sampler(py::module_& /*m*/) {}

}  // namespace zelk
