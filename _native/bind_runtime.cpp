#include "bindings.hpp"
#include "runtime.hpp"

namespace zelk {

namespace {

// Runs on the thread that called into the module, which holds the interpreter lock for the whole
// call: a signal that arrived meanwhile runs its Python handler here, and what the handler raises
// (KeyboardInterrupt for Ctrl-C) stops the computation and reaches the caller unchanged.
void raise_pending_signal() {
    if (PyGILState_Check() && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

void install_runtime_hooks() { set_interrupt_hook(&raise_pending_signal); }

}  // namespace zelk
