#include "bindings.hpp"
#include "stats.hpp"

namespace zelk {

void bind_stats(py::module_& m) {
    m.def("mad", &mad, py::arg("y"));
    m.def("compute_sr", &compute_SR, py::arg("yp"), py::arg("yt"), py::arg("eps"));
}

}  // namespace zelk
