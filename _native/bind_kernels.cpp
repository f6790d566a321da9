// Python glue of zelk._kernels: arguments read where they are, results handed over without a copy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "robust_kernels.hpp"

namespace zelk {

namespace py = pybind11;

namespace {

std::string type_name(const py::handle& obj) {
    return py::str(py::type::handle_of(obj).attr("__name__"));
}

std::string shape_of(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d ? ", " : "") + std::to_string(a.shape(d));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// An array argument as float64 data the kernels can read in place: a float64 array in native
// byte order, aligned, whose strides are whole non-negative multiples of the element size, is
// taken as it is (the interpreter lock, held for the whole call, keeps it unchanged); anything
// else of real numbers (other dtypes and layouts, lists) is converted once into a new C-ordered
// array. Other values raise TypeError, a wrong number of dimensions ValueError.
py::array readable(const py::handle& obj, const char* name, int ndim) {
    py::array a = py::array::ensure(obj);
    if (!a) throw py::type_error(std::string(name) + " must be an array of real numbers, got " + type_name(obj));
    const char kind = a.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        throw py::type_error(std::string(name) + " must be an array of real numbers, got an array of dtype " +
                             std::string(py::str(a.dtype())));
    }
    if (a.ndim() != ndim) {
        throw py::value_error(std::string(name) + " must be " + std::to_string(ndim) + "-D, got an array of shape " +
                              shape_of(a));
    }
    bool in_place = py::isinstance<py::array_t<double>>(a) &&
                    reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
    for (py::ssize_t d = 0; in_place && d < a.ndim(); ++d)
        in_place = a.strides(d) >= 0 && a.strides(d) % py::ssize_t(sizeof(double)) == 0;
    if (!in_place) a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
    if (!a) throw py::error_already_set();
    return a;
}

Index element_stride(const py::array& a, int d) { return a.strides(d) / py::ssize_t(sizeof(double)); }

// A design argument: its array (which the caller keeps while the view is used) and the view.
struct Design {
    py::array array;
    DesignView view;
    Design(const py::handle& obj, const char* name)
        : array(readable(obj, name, 2)),
          view(static_cast<const double*>(array.data()), array.shape(0), array.shape(1),
               Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(element_stride(array, 1), element_stride(array, 0))) {}
};

struct Vec {
    py::array array;
    VectorView view;
    Vec(const py::handle& obj, const char* name)
        : array(readable(obj, name, 1)),
          view(static_cast<const double*>(array.data()), array.shape(0), Eigen::InnerStride<>(element_stride(array, 0))) {}
};

// An optional vector argument: none for None.
struct OptionalVec {
    std::unique_ptr<Vec> vec;
    OptionalVec(const py::object& obj, const char* name) {
        if (!obj.is_none()) vec = std::make_unique<Vec>(obj, name);
    }
    const VectorView* get() const { return vec ? &vec->view : nullptr; }
};

// A result moved into storage that a capsule owns and the returned array views (1-D for a
// Vector, 2-D column-major for a Matrix).
template <typename Dense>
py::array hand_over(Dense&& value) {
    auto owned = std::make_unique<Dense>(std::move(value));
    const py::capsule base(owned.get(), [](void* p) { delete static_cast<Dense*>(p); });
    const Dense& stored = *owned.release();
    constexpr py::ssize_t item = sizeof(double);
    if constexpr (Dense::ColsAtCompileTime == 1) {
        return py::array_t<double>({py::ssize_t(stored.size())}, {item}, stored.data(), base);
    } else {
        return py::array_t<double>({py::ssize_t(stored.rows()), py::ssize_t(stored.cols())},
                                   {item, item * py::ssize_t(stored.rows())}, stored.data(), base);
    }
}

py::array weighted_gram_py(const py::object& Phi, const py::object& w) {
    const Design X(Phi, "Phi");
    const OptionalVec wv(w, "w");
    return hand_over(weighted_gram(X.view, wv.get()));
}

py::tuple weighted_normal_equations_py(const py::object& Phi, const py::object& z, const py::object& w) {
    const Design X(Phi, "Phi");
    const Vec zv(z, "z");
    const OptionalVec wv(w, "w");
    WeightedSystem s = weighted_normal_equations(X.view, zv.view, wv.get());
    return py::make_tuple(hand_over(std::move(s.A)), hand_over(std::move(s.rhs)));
}

py::array residuals_py(const py::object& Phi, const py::object& z, const py::object& beta) {
    const Design X(Phi, "Phi");
    const Vec zv(z, "z"), bv(beta, "beta");
    return hand_over(residuals(X.view, zv.view, bv.view));
}

py::tuple bisquare_normal_equations_py(const py::object& Phi, const py::object& z, const py::object& beta,
                                       double scale, double c, const py::object& w) {
    const Design X(Phi, "Phi");
    const Vec zv(z, "z"), bv(beta, "beta");
    const OptionalVec wv(w, "w");
    BisquareStep s = bisquare_normal_equations(X.view, zv.view, bv.view, scale, c, wv.get());
    return py::make_tuple(hand_over(std::move(s.A)), hand_over(std::move(s.rhs)), s.mean_rho, s.n_active);
}

py::array bisquare_weights_py(const py::object& r, double scale, double c) {
    const Vec rv(r, "r");
    return hand_over(bisquare_weights(rv.view, scale, c));
}

py::array bisquare_rho_py(const py::object& r, double scale, double c) {
    const Vec rv(r, "r");
    return hand_over(bisquare_rho(rv.view, scale, c));
}

double mean_bisquare_rho_py(const py::object& r, double scale, double c) {
    const Vec rv(r, "r");
    return mean_bisquare_rho(rv.view, scale, c);
}

double m_scale_py(const py::object& r, double c, double b, double tol, int max_iter, std::optional<double> start) {
    const Vec rv(r, "r");
    return m_scale(rv.view, c, b, tol, max_iter, start);
}

py::tuple bisquare_sandwich_py(const py::object& Phi, const py::object& z, const py::object& beta,
                               double scale, double c, const py::object& w) {
    const Design X(Phi, "Phi");
    const Vec zv(z, "z"), bv(beta, "beta");
    const OptionalVec wv(w, "w");
    Sandwich s = bisquare_sandwich(X.view, zv.view, bv.view, scale, c, wv.get());
    return py::make_tuple(hand_over(std::move(s.M)), hand_over(std::move(s.Q)));
}

py::tuple truncated_sum_squares_py(const py::object& r, double bound) {
    const Vec rv(r, "r");
    const TruncatedSquares t = truncated_sum_squares(rv.view, bound);
    return py::make_tuple(t.count, t.sum);
}

py::array legendre_design_py(const py::object& U, const py::object& exponents) {
    const Design X(U, "U");
    py::array e = py::array::ensure(exponents);
    if (!e || (e.size() > 0 && e.dtype().kind() != 'i' && e.dtype().kind() != 'u' && e.dtype().kind() != 'b')) {
        throw py::type_error("exponents must be integers, one tuple per column, got " +
                             (e ? "an array of dtype " + std::string(py::str(e.dtype())) : type_name(exponents)));
    }
    if (e.ndim() == 1 && e.size() == 0) e = py::array_t<std::int64_t>(std::vector<py::ssize_t>{0, X.view.cols()});
    if (e.ndim() != 2) {
        throw py::value_error("exponents must be 2-D (one tuple per column), got an array of shape " + shape_of(e));
    }
    const auto ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(e);
    if (!ints) throw py::error_already_set();
    const Eigen::Map<const Exponents> E(ints.data(), ints.shape(0), ints.shape(1));
    RowMajorMatrix out = legendre_design(X.view, E);
    auto owned = std::make_unique<RowMajorMatrix>(std::move(out));
    const py::capsule base(owned.get(), [](void* q) { delete static_cast<RowMajorMatrix*>(q); });
    const RowMajorMatrix& stored = *owned.release();
    constexpr py::ssize_t item = sizeof(double);
    return py::array_t<double>({py::ssize_t(stored.rows()), py::ssize_t(stored.cols())},
                               {item * py::ssize_t(stored.cols()), item}, stored.data(), base);
}

}  // namespace

void bind_kernels(py::module_& m) {
    m.def("weighted_gram", &weighted_gram_py, "Phi' diag(w) Phi (Phi' Phi without w).",
          py::arg("Phi"), py::arg_v("w", py::none()));
    m.def("weighted_normal_equations", &weighted_normal_equations_py,
          "(Phi' W Phi, Phi' W z) in one pass over the rows.", py::arg("Phi"), py::arg("z"),
          py::arg_v("w", py::none()));
    m.def("residuals", &residuals_py, "z - Phi @ beta.", py::arg("Phi"), py::arg("z"), py::arg("beta"));
    m.def("bisquare_normal_equations", &bisquare_normal_equations_py,
          "One IRLS step in one pass: (Phi' W Phi, Phi' W z, mean rho, rows with weight > 0), W the "
          "bisquare weights of z - Phi beta at (scale, c) times w.",
          py::arg("Phi"), py::arg("z"), py::arg("beta"), py::arg("scale"), py::arg("c"),
          py::arg_v("w", py::none()));
    m.def("bisquare_weights", &bisquare_weights_py, "Bisquare weights of r / scale at tuning c.",
          py::arg("r"), py::arg("scale"), py::arg("c"));
    m.def("bisquare_rho", &bisquare_rho_py, "Bisquare rho of r / scale at tuning c (0 to 1).",
          py::arg("r"), py::arg("scale"), py::arg("c"));
    m.def("mean_bisquare_rho", &mean_bisquare_rho_py, "Mean bisquare rho of r / scale at tuning c.",
          py::arg("r"), py::arg("scale"), py::arg("c"));
    m.def("m_scale", &m_scale_py, "Bisquare M-scale s with mean(rho(r / s)) = b.", py::arg("r"),
          py::arg_v("c", 1.5476), py::arg_v("b", 0.5), py::arg_v("tol", 1e-12),
          py::arg_v("max_iter", 100), py::arg_v("start", py::none()));
    m.def("legendre_design", &legendre_design_py,
          "Tensor Legendre design: column j is prod_d P_{exponents[j][d]}(U[:, d]), C order.",
          py::arg("U"), py::arg("exponents"));
    m.def("bisquare_sandwich", &bisquare_sandwich_py,
          "(Phi' diag(w psi'(t)) Phi, Phi' diag(w psi(t)^2) Phi), t = (z - Phi beta) / scale, bisquare at c.",
          py::arg("Phi"), py::arg("z"), py::arg("beta"), py::arg("scale"), py::arg("c"),
          py::arg_v("w", py::none()));
    m.def("truncated_sum_squares", &truncated_sum_squares_py,
          "(count, sum) of r^2 over the entries with r^2 < bound^2.", py::arg("r"), py::arg("bound"));
}

}  // namespace zelk
