// velmora_batch._core: the compiled half of the velmora_batch package.
#include "bindings.h"

PYBIND11_MODULE(_core, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Compiled engine of velmora_batch (private: use the velmora_batch package).";
    velmora::batch::register_spectrum(m); // read_spectrum
    velmora::batch::register_engine(m);   // CancelFlag, Cancelled, ZozuvUzaEngine, MultiPMTEngine
}
