// Python class ZozuvUza and its adapter functions.
#include "arrays.h"
#include "bindings.h"
#include "interrupt.h"
#include "methods.h"

#include "ZozuvUza.h"

namespace velmora::python {

using Records = std::vector<ostrelin::ZozuvUzaTrigger>;

Records simulate_overload_helper(ZozuvUza& cam, py::array_t<double, py::array::forcecast> pe_times, int channel) {
    return cam.simulate(flatten(pe_times), channel);
}

Records simulate_pe_list_helper(ZozuvUza& cam, const PEList& pe_list) {
    return simulate_pe_list(cam, pe_list);
}

void register_zozuvuza(py::module_& m) {
    py::class_<ZozuvUza>(m, "ZozuvUza")
        .def(py::init<const std::filesystem::path&, const std::filesystem::path&, double, double,
                      const std::filesystem::path&, int, double, double, double, double, double, int, int,
                      std::vector<int>, int, int, int, int, ZozuvUza::EarlyHandling>(),
             py::arg("time_spectrum"), py::arg("amplitude_spectrum"), py::arg("pmt_time_step"), py::arg("adc_step"),
             py::arg("pulse_shape"), py::arg("jitter"), py::arg("gain"), py::arg("offset"), py::arg("preamp_clip"),
             py::arg("noise"), py::arg("clip"), py::arg("waveform_samples"), py::arg("retrigger_offset"),
             py::arg("trigger_kernel"), py::arg("adc_threshold"), py::arg("trigger_norm"), py::arg("trigger_offset"),
             py::arg("seed"), py::arg("early_handling") = ZozuvUza::EarlyHandling::WARN,
             "Constructor for ZozuvUza.\n\nParameters\n----------\ntime_spectrum : Path\n    Path to the time "
             "spectrum of the PMT\namplitude_spectrum : Path\n    Path to the amplitude spectrum of the "
             "PMT\npmt_time_step : float\n    Time step of the PMT waveform in seconds\nadc_step : float\n    The "
             "time step for the ADC in seconds\npulse_shape : Path\n    Path to the pulse shape of the "
             "electronics\njitter : int\n    Offset of ADC samples relative to simulation times, 0 for no jitter, "
             "-1 for random jitter\ngain : float\n    ADC gain (scale factor of normalized amplitude) in "
             "LSB\noffset : float\n    ADC offset in LSB\npreamp_clip : float\n    Upper bound of ADC samples "
             "before noise is applied in LSB\nnoise : float\n    Standard deviation of gaussian noise in "
             "LSB\nclip : float\n    Upper bound of ADC samples after noise is applied in LSB\nwaveform_samples : "
             "int\n    number of waveform samples per trigger\nretrigger_offset : int\n    minimum number of "
             "samples between two triggers\ntrigger_kernel : List[int]\n    kernel to convolve the waveform with "
             "before applying the threshold\nadc_threshold : int\n    trigger threshold in LSB\ntrigger_norm : "
             "int\n    divide the trigger signal by this value before applying the threshold\ntrigger_offset : "
             "int\n    offset of the waveform start relative to the trigger time in number of ADC steps\nseed : "
             "int\n    Random generator seed\nearly_handling : EarlyHandling, optional\n    How to handle "
             "triggers that occur before time 0 (default is WARN)")
        .def("simulate", model_method(py::overload_cast<const std::vector<double>&, int>(&ZozuvUza::simulate)),
             py::arg("pe_times"), py::arg("channel") = 0, py::call_guard<SignalCheck>(),
             "Simulates the ZozuvUza triggers for the given PE times.\n\nParameters\n----------\npe_times : "
             "List[float]\n    A vector of photo electron times in seconds\nchannel : int, optional\n    The "
             "channel number of the PMT (default is 0)\n\nReturns\n-------\nList[ZozuvUzaTrigger]\n    A vector of "
             "ZozuvUzaTrigger objects containing the simulated triggers")
        .def("simulate", model_method(&simulate_overload_helper), py::arg("pe_times"), py::arg("channel") = 0,
             py::call_guard<SignalCheck>(),
             "Simulates the ZozuvUza triggers for the given PE times.\n\nParameters\n----------\npe_times : "
             "numpy.ndarray\n    A vector of photo electron times in seconds\nchannel : int, optional\n    The "
             "channel number of the PMT (default is 0)\n\nReturns\n-------\nList[ZozuvUzaTrigger]\n    A vector of "
             "ZozuvUzaTrigger objects containing the simulated triggers")
        .def("calibrate_delay", model_method(&ZozuvUza::calibrate_delay), py::arg("num_pes"), py::arg("num_sim"),
             py::call_guard<SignalCheck>(),
             "Calibrates the delay between PE times and trigger times.\n\nParameters\n----------\nnum_pes : int\n  "
             "  Number of PEs to simulate\nnum_sim : int\n    Number of simulations to run\n\nReturns\n-------\nfloat"
             "\n    The average delay in seconds\n\nRaises\n------\nRuntimeError\n    If too many simulations do "
             "not produce a valid trigger")
        .def("simulate_pe_list", model_method(&simulate_pe_list_helper), py::arg("pe_list"),
             py::call_guard<SignalCheck>(),
             "Simulates the ZozuvUza triggers for a full PE list.\nThis function is meant to directly take the "
             "output of the background simulation as input.\n\nParameters\n----------\npe_list : List[Tuple[int, "
             "List[float]]]\n    A list of tuples containing the channel number and a vector of photo electron "
             "times in seconds\n\nReturns\n-------\nList[ZozuvUzaTrigger]\n    A vector of ZozuvUzaTrigger objects "
             "containing the simulated triggers");
}

} // namespace velmora::python
