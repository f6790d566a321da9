#include "bindings.hpp"
#include "stats.hpp"

namespace zelk {

namespace {

double score(const VectorRef& yp, const VectorRef& yt, int k, int H) {
    return mdl_score(yp, yt, k, H, nullptr, nullptr);
}

double score_reg(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorRef& beta,
                 const MatrixView& R1, const MatrixView& R2, double gamma1, double gamma2) {
    const PenaltySpec pen{&R1, &R2, gamma1, gamma2};
    return mdl_score(yp, yt, k, H, &beta, &pen);
}

}  // namespace

void bind_stats(py::module_& m) {
    def_function<&mad>(m, "mad", py::arg("y"));
    def_function<&compute_SR>(m, "compute_sr", py::arg("yp"), py::arg("yt"), py::arg("eps"));
    def_function<&score>(m, "mdl_score", py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg_v("H", 20));
    def_function<&score_reg>(m, "mdl_score_reg", py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"),
                             py::arg("beta"), py::arg("R1"), py::arg("R2"), py::arg_v("gamma1", 0.0),
                             py::arg_v("gamma2", 0.0));
}

}  // namespace zelk
