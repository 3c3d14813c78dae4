// Python class MultiPMT and its adapter functions.
#include "arrays.h"
#include "bindings.h"
#include "interrupt.h"
#include "methods.h"

#include "MultiPMT.h"

namespace velmora::python {

using MultiPMTRecords = std::vector<ostrelin::MultiPMTTrigger>;

MultiPMTRecords simulate_overload_helper_multipmt(MultiPMT& pmt, py::array_t<double, py::array::forcecast> pe_times,
                                                  int channel) {
    return pmt.simulate(flatten(pe_times), channel);
}

MultiPMTRecords simulate_pe_list_helper_multipmt(MultiPMT& pmt, const PEList& pe_list) {
    return simulate_pe_list(pmt, pe_list);
}

void register_multipmt(py::module_& m) {
    using path = std::filesystem::path;
    py::class_<MultiPMT>(m, "MultiPMT")
        .def(py::init<const path&, const path&, double, double, const path&, double, double, double, double, double,
                      const path&, int, double, double, double, double, double, int>(),
             py::arg("time_spectrum"), py::arg("amplitude_spectrum"), py::arg("pmt_time_step"), py::arg("tot_step"),
             py::arg("tot_pulse_shape"), py::arg("tot_threshold"), py::arg("tot_dead_time"), py::arg("tot_noise"),
             py::arg("tot_jitter"), py::arg("adc_step"), py::arg("adc_pulse_shape"), py::arg("adc_jitter"),
             py::arg("adc_gain"), py::arg("adc_offset"), py::arg("adc_noise"), py::arg("adc_clip"),
             py::arg("sample_delay"), py::arg("seed"),
             "Constructor for MultiPMT.\n\nParameters\n----------\ntime_spectrum : Path\n    Path to the time "
             "spectrum of the PMT\namplitude_spectrum : Path\n    Path to the amplitude spectrum of the "
             "PMT\npmt_time_step : float\n    Time step of the PMT waveform in seconds\ntot_step : float\n    Time "
             "step of the ToT simulation TDC in seconds\ntot_pulse_shape : Path\n    Path to the pulse shape of the "
             "ToT electronics\ntot_threshold : float\n    Threshold for ToT measurement\ntot_dead_time : float\n   "
             " Dead time for ToT measurement in seconds\ntot_noise : float\n    Standard deviation of gaussian noise "
             "for ToT\ntot_jitter : float\n    Standard deviation of time measurement in the ToT simulation in "
             "seconds\nadc_step : float\n    The time step for the ADC in seconds\nadc_pulse_shape : Path\n    Path "
             "to the pulse shape of the ADC electronics\nadc_jitter : int\n    Offset of ADC samples relative to "
             "simulation times, 0 for no jitter, -1 for random jitter\nadc_gain : float\n    ADC gain (scale factor "
             "of normalized amplitude) in LSB\nadc_offset : float\n    ADC offset in LSB\nadc_noise : float\n    "
             "Standard deviation of gaussian noise in LSB for ADC\nadc_clip : float\n    Upper bound of ADC samples "
             "after noise is applied in LSB\nsample_delay : float\n    Delay of the ADC readout relative to the ToT "
             "start time in seconds\nseed : int\n    Random generator seed\n")
        .def("simulate", model_method(py::overload_cast<const std::vector<double>&, int>(&MultiPMT::simulate)),
             py::arg("pe_times"), py::arg("channel") = 0, py::call_guard<SignalCheck>(),
             "Simulates the MultiPMT triggers for the given PE times.\n\nParameters\n----------\npe_times : "
             "List[float]\n    A vector of photo electron times in seconds\nchannel : int, optional\n    The "
             "channel number of the PMT\n\nReturns\n-------\nList[MultiPMTTrigger]\n    A vector of MultiPMTTrigger "
             "objects containing the simulated triggers")
        .def("simulate", model_method(&simulate_overload_helper_multipmt), py::arg("pe_times"), py::arg("channel") = 0,
             py::call_guard<SignalCheck>(),
             "Simulates the MultiPMT triggers for the given PE times.\n\nParameters\n----------\npe_times : "
             "numpy.ndarray\n    A vector of photo electron times in seconds\nchannel : int, optional\n    The "
             "channel number of the PMT\n\nReturns\n-------\nList[MultiPMTTrigger]\n    A vector of MultiPMTTrigger "
             "objects containing the simulated triggers")
        .def("calibrate_delay", model_method(&MultiPMT::calibrate_delay), py::arg("num_pes"), py::arg("num_sim"),
             py::call_guard<SignalCheck>(),
             "Calibrates the delay between PE times and trigger times.\n\nParameters\n----------\nnum_pes : int\n  "
             "  Number of PEs to simulate\nnum_sim : int\n    Number of simulations to run\n\nReturns\n-------\nfloat"
             "\n    The average delay in seconds\n\nRaises\n------\nRuntimeError\n    If too many simulations do "
             "not produce a valid trigger")
        .def("simulate_pe_list", model_method(&simulate_pe_list_helper_multipmt), py::arg("pe_list"),
             py::call_guard<SignalCheck>(),
             "Simulates the MultiPMT triggers for a full PE list.\nThis function is meant to directly take the "
             "output of the background simulation as input.\n\nParameters\n----------\npe_list : List[Tuple[int, "
             "List[float]]]\n    A list of tuples containing the channel number and a vector of photo electron "
             "times in seconds\n\nReturns\n-------\nList[MultiPMTTrigger]\n    A vector of MultiPMTTrigger objects "
             "containing the simulated triggers");
}

} // namespace velmora::python
