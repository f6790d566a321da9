#include "bindings.hpp"
#include "linear.hpp"

namespace zelk {

namespace {

Vector fit_regularized_linear_py(const MatrixView& Phi, const VectorRef& y, const py::object& R1,
                                 const py::object& R2, double gamma1, double gamma2,
                                 double ridge) {
    const OptionalPenalties pen(R1, R2, gamma1, gamma2);
    return fit_regularized_linear(Phi, y, pen.spec, ridge);
}

}  // namespace

void bind_linear(py::module_& m) {
    def_function<&ols>(m, "ols", py::arg("X"), py::arg("y"));
    def_function<&fit_regularized_linear_py>(m, "fit_regularized_linear", py::arg("Phi"), py::arg("y"),
                                             py::arg_v("R1", py::none()), py::arg_v("R2", py::none()),
                                             py::arg_v("gamma1", 0.0), py::arg_v("gamma2", 0.0),
                                             py::arg_v("ridge", 1e-10));
}

}  // namespace zelk
