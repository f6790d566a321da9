// The module: its docstring and the registration of every function and class, in order.
#include "bindings.hpp"

PYBIND11_MODULE(zelk_core, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "ZELK-P performans-kritik cekirdegi (C++/Eigen).";
    zelk::install_runtime_hooks();
    zelk::bind_stats(m);
    zelk::bind_basis(m);
    zelk::bind_linear(m);
    zelk::bind_sampler(m);
}
