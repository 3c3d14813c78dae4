#pragma once

#include "bindings.h"

#include "Interrupt.h"

namespace velmora::python {

// Call guard of the long-running methods: while the call runs (with the
// interpreter lock held), the simulation's interrupt polls ask the
// interpreter for pending signals, so that Ctrl-C ends the call with
// KeyboardInterrupt (or whatever a signal handler raises) within a fraction
// of a second.
struct SignalCheck {
    InterruptScope scope{[] {
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }};
};

} // namespace velmora::python
