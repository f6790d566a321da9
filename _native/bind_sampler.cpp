#include "bindings.hpp"
#include "sampler.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace zelk {

namespace {

MCMCResult fit(const TournamentMCMC& self, const Matrix& X, const Vector& y, const py::object& R1,
               const py::object& R2, double gamma1, double gamma2) {
    const OptionalPenalties pen(R1, R2, gamma1, gamma2);
    return self.fit(X, y, pen.spec);
}

// --- Construction, pickles, copies and reprs -------------------------------------------------
// pybind11 lets `cls.__new__(cls)` (and pickle's NEWOBJ, which calls the type slot directly) make
// an instance whose record no constructor ever built: its first read would allocate the record's
// storage and show whatever that memory held. So every way of making an instance of these classes
// builds it whole or raises: a result is made from its values, as a pickle passes them, and
// without them raises the TypeError that calling the class always raised; a sampler is made from
// the constructor's arguments, by its __init__, at once. The classes are final, so that no
// subclass can make an instance in two steps either.
//
// A pickle or copy of a result names its class and its values, copyreg.__newobj__(cls, *values),
// which every pickle protocol can express (NEWOBJ from protocol 2 on); floats and the
// coefficient array travel exactly. A sampler travels as a call of its class with its settings.

// The type slot of the classes: calls the class's own __new__ (installed by make_whole) with the
// class and the arguments, as the interpreter's generic slot would. A function of its own, so
// that the interpreter refuses pybind11_object.__new__(cls) and object.__new__(cls), which would
// allocate without building.
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* make = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__new__");
    if (make == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject* full = PyTuple_New(n + 1);
    if (full == nullptr) {
        Py_DECREF(make);
        return nullptr;
    }
    Py_INCREF(type);
    PyTuple_SET_ITEM(full, 0, reinterpret_cast<PyObject*>(type));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        Py_INCREF(a);
        PyTuple_SET_ITEM(full, i + 1, a);
    }
    PyObject* made = PyObject_Call(make, full, kwargs);
    Py_DECREF(full);
    Py_DECREF(make);
    return made;
}

// Installs `make(cls, *args, **kwargs)`, which returns a whole instance or throws, as the class's
// __new__ and behind its type slot.
template <typename Class, typename Make>
void make_whole(Class& cls, Make&& make) {
    cls.def_static("__new__", std::forward<Make>(make));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = &new_slot;
    PyType_Modified(type);
}

template <typename Record>
void require_class(const py::handle& cls) {
    const py::handle expected = py::type::of<Record>();
    if (!cls.is(expected)) {
        throw py::type_error(py::str("{0}.__new__({1!r}): the class must be {0}")
                                 .format(expected.attr("__name__"), cls));
    }
}

// What calling a result class has always said (pybind11's text for a class without __init__).
template <typename Record>
[[noreturn]] void no_constructor() {
    throw py::type_error(py::str("{}.{}: No constructor defined!")
                             .format(py::type::of<Record>().attr("__module__"),
                                     py::type::of<Record>().attr("__qualname__")));
}

// A result from its values, or the TypeError of a call without them.
template <typename Record, Record (*from_values)(const py::tuple&)>
py::object make_result(const py::handle& cls, const py::args& values, const py::kwargs& kwargs) {
    require_class<Record>(cls);
    if (values.empty() || !kwargs.empty()) no_constructor<Record>();
    return py::cast(from_values(values));
}

// A sampler from the constructor's arguments: allocated, then built by its __init__ (which
// raises for arguments that do not convert). When the class is called, the interpreter runs
// __init__ once more, which pybind11 skips for a built instance.
py::object make_sampler(const py::handle& cls, const py::args& args, const py::kwargs& kwargs) {
    require_class<TournamentMCMC>(cls);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    auto self = py::reinterpret_steal<py::object>(py::detail::pybind11_object_new(type, nullptr, nullptr));
    cls.attr("__init__")(self, *args, **kwargs);
    return self;
}

// A value of a result, converted to T (a float, a 32-bit int, a vector of coefficients);
// TypeError naming the class and the value when it does not convert.
template <typename T>
T state_value(const py::handle& v, const char* cls) {
    try {
        return v.cast<T>();
    } catch (const py::cast_error&) {
        throw py::type_error(py::str("{} cannot hold the value {!r}").format(cls, v));
    }
}

void require_count(const py::tuple& values, std::size_t size, const char* cls) {
    if (values.size() != size) {
        throw py::type_error(std::string(cls) + " is made from its " + std::to_string(size) +
                             " values, got " + std::to_string(values.size()));
    }
}

py::tuple gibbs_state(const GibbsResult& g) {
    return py::make_tuple(g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T);
}

GibbsResult gibbs_from_state(const py::tuple& s) {
    constexpr const char* cls = "GibbsResult";
    require_count(s, 6, cls);
    return GibbsResult{state_value<double>(s[0], cls), state_value<double>(s[1], cls),
                       state_value<double>(s[2], cls), state_value<double>(s[3], cls),
                       state_value<double>(s[4], cls), state_value<double>(s[5], cls)};
}

py::tuple mcmc_state(const MCMCResult& r) {
    return py::make_tuple(Vector(r.beta_mcmc), r.energy, gibbs_state(r.gibbs), r.n_chains,
                          r.n_elite);
}

MCMCResult mcmc_from_state(const py::tuple& s) {
    constexpr const char* cls = "MCMCResult";
    require_count(s, 5, cls);
    if (!py::isinstance<py::tuple>(s[2])) {
        throw py::type_error(py::str("MCMCResult's gibbs value must be a tuple of 6 values, got {!r}")
                                 .format(s[2]));
    }
    return MCMCResult{state_value<Vector>(s[0], cls), state_value<double>(s[1], cls),
                      gibbs_from_state(s[2].cast<py::tuple>()), state_value<int>(s[3], cls),
                      state_value<int>(s[4], cls)};
}

template <typename Record>
py::tuple reduce_to_values(const py::object& self, py::tuple (*state)(const Record&)) {
    py::list args;
    args.append(py::type::of(self));
    for (const auto& v : state(self.cast<const Record&>())) args.append(v);
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::tuple(args));
}

py::tuple settings_args(const TournamentMCMC& s) {
    const TournamentMCMC::Settings c = s.settings();
    return py::make_tuple(c.n_chains, c.n_warmup, c.n_deep, c.n_elite, c.step_size, c.H_piH,
                          c.seed);
}

py::str gibbs_repr(const GibbsResult& g) {
    return py::str("GibbsResult(H={!r}, Hmax={!r}, He={!r}, r_heat={!r}, var_E={!r}, T={!r})")
        .format(g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T);
}

py::str mcmc_repr(const py::object& self) {
    const auto& r = self.cast<const MCMCResult&>();
    return py::str("MCMCResult(beta_mcmc={}, energy={!r}, gibbs={}, n_chains={}, n_elite={})")
        .format(py::repr(self.attr("beta_mcmc")), r.energy, gibbs_repr(r.gibbs), r.n_chains,
                r.n_elite);
}

py::str sampler_repr(const TournamentMCMC& s) {
    return py::str("TournamentMCMC(n_chains={!r}, n_warmup={!r}, n_deep={!r}, n_elite={!r}, "
                   "step_size={!r}, H_piH={!r}, seed={!r})")
        .format(*settings_args(s));
}

}  // namespace

void bind_sampler(py::module_& m) {
    py::class_<GibbsResult> gibbs(m, "GibbsResult", py::is_final());
    gibbs.def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T)
        .def("__repr__", &gibbs_repr)
        .def("__reduce__", [](const py::object& self) { return reduce_to_values(self, &gibbs_state); });
    make_whole(gibbs, &make_result<GibbsResult, &gibbs_from_state>);
    name_properties(gibbs);
    m.def("gibbs_entropy", &gibbs_entropy, py::arg("energies"), py::arg_v("T", 1.0));
    py::class_<MCMCResult> mcmc(m, "MCMCResult", py::is_final());
    mcmc.def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite)
        .def("__repr__", &mcmc_repr)
        .def("__reduce__", [](const py::object& self) { return reduce_to_values(self, &mcmc_state); });
    make_whole(mcmc, &make_result<MCMCResult, &mcmc_from_state>);
    name_properties(mcmc);
    py::class_<TournamentMCMC> sampler(m, "TournamentMCMC", py::is_final());
    sampler.def(py::init<int, int, int, int, double, int, std::uint64_t>(), py::arg_v("n_chains", 25),
             py::arg_v("n_warmup", 200), py::arg_v("n_deep", 2000), py::arg_v("n_elite", 5),
             py::arg_v("step_size", 0.05), py::arg_v("H_piH", 20),
             py::arg_v("seed", std::uint64_t{42}))
        .def("fit", &fit, py::arg("X"), py::arg("y"), py::arg_v("R1", py::none()),
             py::arg_v("R2", py::none()), py::arg_v("gamma1", 0.0), py::arg_v("gamma2", 0.0))
        .def("__repr__", &sampler_repr)
        .def("__reduce__", [](const py::object& self) {
            return py::make_tuple(py::type::of(self), settings_args(self.cast<const TournamentMCMC&>()));
        });
    make_whole(sampler, &make_sampler);
}

}  // namespace zelk
