// Python glue: one bind_* function per area, called in registration order by the module entry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common.hpp"
#include "dense_caster.hpp"

#include <string>
#include <type_traits>

namespace pybind11::detail {

// int, double and seed (unsigned 64-bit) arguments: pybind11's rules for numbers (a float is
// never taken for an int; an int-like object through __index__, then a number through int() or
// float(); out of range is refused), except that only a plain refusal (TypeError, ValueError,
// OverflowError) refuses the argument. Anything else that an object's __index__, __int__ or
// __float__ raises (KeyboardInterrupt, MemoryError, ...) propagates as it is.
template <typename T>
struct zelk_number_caster {
    using py_type = conditional_t<std::is_floating_point<T>::value, double,
                                  conditional_t<std::is_signed<T>::value, long, unsigned long>>;
    static_assert(sizeof(T) <= sizeof(py_type), "numbers wider than a C long are not handled");

    bool load(handle src, bool convert) {
        if (!src) return false;
        PyObject* o = src.ptr();
        py_type v;
        if constexpr (std::is_floating_point<T>::value) {
            if (!(convert || PyFloat_Check(o) || PyLong_Check(o))) return false;
            v = PyFloat_AsDouble(o);
        } else {
            if (PyFloat_Check(o) || !(convert || PyLong_Check(o) || PyIndex_Check(o))) return false;
            if constexpr (std::is_unsigned<py_type>::value) {
                v = as_unsigned<py_type>(o);
            } else {
                v = PyLong_AsLong(o);
            }
        }
        if (PyErr_Occurred() != nullptr) {
            zelk::conversion_refused();  // throws unless the object simply does not convert
            if (!convert || PyNumber_Check(o) == 0) return false;
            const auto number = reinterpret_steal<object>(
                std::is_floating_point<T>::value ? PyNumber_Float(o) : PyNumber_Long(o));
            if (!number) {
                zelk::conversion_refused();
                return false;
            }
            return load(number, false);
        }
        if (sizeof(py_type) != sizeof(T) && v != static_cast<py_type>(static_cast<T>(v))) return false;
        value = static_cast<T>(v);
        return true;
    }

    static handle cast(T src, return_value_policy, handle) {
        if constexpr (std::is_floating_point<T>::value) return PyFloat_FromDouble(src);
        else if constexpr (std::is_signed<T>::value) return PyLong_FromLong(src);
        else return PyLong_FromUnsignedLong(src);
    }

    PYBIND11_TYPE_CASTER(T, io_name<std::is_integral<T>::value>(
                                "typing.SupportsInt | typing.SupportsIndex", "int",
                                "typing.SupportsFloat | typing.SupportsIndex", "float"));
};

template <>
struct type_caster<int> : zelk_number_caster<int> {};
template <>
struct type_caster<double> : zelk_number_caster<double> {};
template <>
struct type_caster<unsigned long> : zelk_number_caster<unsigned long> {};

}  // namespace pybind11::detail

namespace zelk {

namespace py = pybind11;

// An optional matrix argument (declared as a plain object) named `name`: None is absent and
// gives a null pointer; anything else is converted like a MatrixView argument by `arg`, which
// the caller keeps for the duration of the call. A value that is refused raises pybind11's cast
// error (RuntimeError) before anything is computed, naming the argument and the type it got.
inline const MatrixView* optional_matrix(const py::object& obj, MatrixArgument& arg, const char* name) {
    if (obj.is_none()) return nullptr;
    if (!arg.load(obj, true)) {
        const py::handle type = py::type::handle_of(obj);
        const std::string module = py::str(py::getattr(type, "__module__", py::str("builtins")));
        const std::string qualname = py::str(type.attr("__qualname__"));
        throw py::cast_error("Unable to cast Python instance of type " +
                             (module == "builtins" ? qualname : module + "." + qualname) +
                             " to a float64 matrix for argument " + name);
    }
    return &arg.view();
}

// pybind11 leaves the getters of def_readonly properties unnamed, so assigning to one would
// raise "property '' of ... has no setter". Names every property of `cls` after its attribute.
inline void name_properties(const py::handle& cls) {
    const py::object property = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyProperty_Type));
    for (auto item : py::dict(cls.attr("__dict__")))
        if (py::isinstance(item.second, property)) item.second.attr("__set_name__")(cls, item.first);
}

// The optional penalties of a call as one PenaltySpec: R1 and R2 converted by optional_matrix
// and held here, so the record stays valid for as long as this object lives.
struct OptionalPenalties {
    MatrixArgument R1_arg, R2_arg;
    PenaltySpec spec;

    OptionalPenalties(const py::object& R1, const py::object& R2, double gamma1, double gamma2)
        : spec{optional_matrix(R1, R1_arg, "R1"), optional_matrix(R2, R2_arg, "R2"), gamma1, gamma2} {}
    OptionalPenalties(const OptionalPenalties&) = delete;
    OptionalPenalties& operator=(const OptionalPenalties&) = delete;
};

// --- Module functions with a signature for help() ---------------------------------------------
//
// pybind11 makes each function a builtin bound to an internal record object, so help() shows it
// as "ols(...) method of pybind11_builtins.pybind11_detail_function_record_v1_... instance", and
// inspect.signature() knows nothing. def_function registers F with m.def as usual and puts in its
// place a builtin bound to the module that forwards every call to pybind11's (one vectorcall),
// whose internal docstring starts with a text signature: help() then shows "ols(X, y)" above
// pybind11's generated signature, which stays the function's __doc__, and inspect.signature()
// gives the parameters with their defaults.

template <auto F>
struct ModuleFunction {
    static inline PyObject* target = nullptr;  // pybind11's function, kept for the process
    static inline PyMethodDef def{};
    static inline std::string doc;

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return PyObject_Vectorcall(target, args, static_cast<std::size_t>(nargs), kwnames);
    }
};

inline void add_parameter(std::string& text, const py::arg& a) { (text += ", ") += a.name; }
inline void add_parameter(std::string& text, const py::arg_v& a) {
    ((text += ", ") += a.name) += "=" + py::repr(a.value).cast<std::string>();
}

// m.def(name, F, extra...) with the signature line described above; `extra` are the py::arg and
// py::arg_v of the parameters, in order.
template <auto F, typename... Extra>
void def_function(py::module_& m, const char* name, const Extra&... extra) {
    using Function = ModuleFunction<F>;
    m.def(name, F, extra...);
    py::object target = m.attr(name);
    std::string text = std::string(name) + "($module";
    (add_parameter(text, extra), ...);
    Function::doc = text + ")\n--\n\n" + py::str(target.attr("__doc__")).cast<std::string>();
    Function::target = target.release().ptr();
    Function::def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Function::call)),
                     METH_FASTCALL | METH_KEYWORDS, Function::doc.c_str()};
    PyObject* f = PyCFunction_NewEx(&Function::def, m.ptr(), m.attr("__name__").ptr());
    if (f == nullptr) throw py::error_already_set();
    m.attr(name) = py::reinterpret_steal<py::object>(f);
}

// Lets long computations stop for a pending signal (see runtime.hpp).
void install_runtime_hooks();

void bind_stats(py::module_& m);
void bind_basis(py::module_& m);
void bind_linear(py::module_& m);
void bind_sampler(py::module_& m);

}  // namespace zelk
