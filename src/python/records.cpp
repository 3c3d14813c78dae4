// Python face of the trigger records and of the early-trigger policy.
#include "bindings.h"

#include "ZozuvUza.h"

namespace velmora::python {

void register_early_handling(py::module_& m) {
    using EH = ZozuvUza::EarlyHandling;
    py::enum_<EH>(m, "EarlyHandling")
        .value("IGNORE", EH::IGNORE, R"doc(Ignore early triggers)doc")
        .value("ZERO", EH::ZERO, R"doc(Clamp early triggers to zero)doc")
        .value("WARN", EH::WARN, R"doc(Warn and ignore early triggers)doc")
        .value("THROW", EH::THROW, R"doc(Throw on early triggers)doc")
        .export_values();
}

void register_zozuvuza_trigger(py::module_& m) {
    using R = ostrelin::ZozuvUzaTrigger;
    py::class_<R>(m, "ZozuvUzaTrigger", py::module_local())
        .def_readwrite("channel", &R::channel, R"doc(Channel number)doc")
        .def_readwrite("trigger_time_s", &R::trigger_time_s, R"doc(Seconds since run start)doc")
        .def_readwrite("trigger_time_ticks", &R::trigger_time_ticks,
                       R"doc(Ticks since last full second (tick = 4ns))doc")
        .def_readwrite("baseline", &R::baseline, R"doc(Baseline in LSB)doc")
        .def_readwrite("intsum", &R::intsum, R"doc(Waveform sum in LSB)doc")
        .def_readwrite("waveform", &R::waveform, R"doc(ADC samples in LSB)doc")
        .def_readonly_static("SECONDS_PER_TICK", &R::SECONDS_PER_TICK, R"doc(Number of seconds per tick (4ns))doc");
}

void register_multipmt_trigger(py::module_& m) {
    using R = ostrelin::MultiPMTTrigger;
    py::class_<R>(m, "MultiPMTTrigger", py::module_local())
        .def_readwrite("time", &R::time, R"doc(Trigger time in seconds)doc")
        .def_readwrite("channel", &R::channel, R"doc(Channel number)doc")
        .def_readwrite("time_over_threshold", &R::time_over_threshold, R"doc(Time over threshold in seconds)doc")
        .def_readwrite("adc_sample", &R::adc_sample, R"doc(ADC sample in LSB)doc");
}

} // namespace velmora::python
