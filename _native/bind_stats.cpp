#include "bindings.hpp"
#include "stats.hpp"

namespace zelk {

namespace {

double score(const VectorView& yp, const VectorView& yt, int k, int H) {
    return mdl_score(yp, yt, k, H, nullptr, nullptr);
}

double score_reg(const VectorView& yp, const VectorView& yt, int k, int H, const VectorView& beta,
                 const MatrixView& R1, const MatrixView& R2, double gamma1, double gamma2) {
    const PenaltySpec pen{&R1, &R2, gamma1, gamma2};
    return mdl_score(yp, yt, k, H, &beta, &pen);
}

}  // namespace

void bind_stats(py::module_& m) {
    m.def("mad", &mad, py::arg("y"));
    m.def("compute_sr", &compute_SR, py::arg("yp"), py::arg("yt"), py::arg("eps"));
    m.def("mdl_score", &score, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg_v("H", 20));
    m.def("mdl_score_reg", &score_reg, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"),
          py::arg("beta"), py::arg("R1"), py::arg("R2"), py::arg_v("gamma1", 0.0),
          py::arg_v("gamma2", 0.0));
}

}  // namespace zelk
