// The module zelk._kernels: its docstring and the registration of its functions, nothing else.
// Native kernels that only the zelk estimators need live here, apart from zelk_core.
#include <pybind11/pybind11.h>

namespace zelk {
void install_runtime_hooks();         // bind_runtime.cpp: Ctrl-C stops long calls
void bind_kernels(pybind11::module_& m);  // bind_kernels.cpp
}  // namespace zelk

PYBIND11_MODULE(_kernels, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Native kernels of zelk's robust fit: weighted Gram matrices and IRLS steps in one pass "
              "over the rows, bisquare weights, rho and M-scales.";
    zelk::install_runtime_hooks();
    zelk::bind_kernels(m);
}
