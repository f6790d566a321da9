#include "bindings.hpp"
#include "basis.hpp"

namespace zelk {

namespace {

// The records' members move into typed tuples (and the matrices from there into NumPy)
// without a copy.
auto penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    PenaltyMatrices1D r = smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
    return py::make_tuple(std::move(r.R1), std::move(r.R2));
}

auto penalty_matrices_nd(const std::vector<int>& degrees, const std::vector<Bound>& bounds,
                         int n_grid_per_dim) {
    PenaltyMatricesND r = build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
    return py::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
}

}  // namespace

void bind_basis(py::module_& m) {
    def_function<&design_matrix_1d>(m, "design_matrix_1d", py::arg("deg"), py::arg("x"));
    def_function<&penalty_matrices_1d>(m, "smoothness_penalty_matrices_1d", py::arg("deg"),
                                       py::arg("x_min"), py::arg("x_max"), py::arg_v("n_grid", 600));
    def_function<&boundary_reduce_1d>(m, "boundary_reduce_1d", py::arg("deg"), py::arg("x_min"),
                                      py::arg("x_max"));
    def_function<&design_matrix_nd>(m, "design_matrix_nd", py::arg("multi_indices"), py::arg("X_cols"));
    def_function<&penalty_matrices_nd>(m, "build_penalty_matrices_nd", py::arg("degrees"),
                                       py::arg("bounds"), py::arg_v("n_grid_per_dim", 30));
}

}  // namespace zelk
