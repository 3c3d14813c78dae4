// Python face of the trigger records and of the early-trigger policy.
#include "bindings.h"

#include "ZozuvUza.h"

namespace velmora::python {

void register_early_handling(py::module_& m) {
    using EH = ZozuvUza::EarlyHandling;
    py::enum_<EH>(m, "EarlyHandling")
        .value("IGNORE", EH::IGNORE, "Ignore early triggers")
        .value("ZERO", EH::ZERO, "Clamp early triggers to zero")
        .value("WARN", EH::WARN, "Warn and ignore early triggers")
        .value("THROW", EH::THROW, "Throw on early triggers")
        .export_values();
}

void register_zozuvuza_trigger(py::module_& m) {
    using R = ostrelin::ZozuvUzaTrigger;
    py::class_<R>(m, "ZozuvUzaTrigger", py::module_local())
        .def_readwrite("channel", &R::channel, "Channel number")
        .def_readwrite("trigger_time_s", &R::trigger_time_s, "Seconds since run start")
        .def_readwrite("trigger_time_ticks", &R::trigger_time_ticks, "Ticks since last full second (tick = 4ns)")
        .def_readwrite("baseline", &R::baseline, "Baseline in LSB")
        .def_readwrite("intsum", &R::intsum, "Waveform sum in LSB")
        .def_readwrite("waveform", &R::waveform, "ADC samples in LSB")
        .def_readonly_static("SECONDS_PER_TICK", &R::SECONDS_PER_TICK, "Number of seconds per tick (4ns)");
}

void register_multipmt_trigger(py::module_& m) {
    using R = ostrelin::MultiPMTTrigger;
    py::class_<R>(m, "MultiPMTTrigger", py::module_local())
        .def_readwrite("time", &R::time, "Trigger time in seconds")
        .def_readwrite("channel", &R::channel, "Channel number")
        .def_readwrite("time_over_threshold", &R::time_over_threshold, "Time over threshold in seconds")
        .def_readwrite("adc_sample", &R::adc_sample, "ADC sample in LSB");
}

} // namespace velmora::python
