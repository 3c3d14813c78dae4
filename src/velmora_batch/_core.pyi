# The compiled half of velmora_batch, as the package uses it.
import os
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

def read_spectrum(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

class Cancelled(RuntimeError): ...

class CancelFlag:
    def __init__(self) -> None: ...
    def set(self) -> None: ...
    def is_set(self) -> bool: ...

# The methods both engines have. Not a class of the module: the engines share no base there, so this name is for
# annotations only, never for isinstance().
class _Engine:
    def __init__(
        self,
        parameter_sets: list[dict[str, Any]],
        spectra: dict[str, tuple[npt.NDArray[Any], npt.NDArray[Any]]],
        names: dict[str, str] | None = None,
    ) -> None: ...
    @property
    def columns_seconds(self) -> float: ...
    @property
    def max_pe_time(self) -> float: ...
    def seed_sequential(self, seed: int) -> None: ...
    def simulate(
        self,
        channels: npt.ArrayLike,
        bounds: npt.ArrayLike,
        times: npt.ArrayLike,
        models: npt.ArrayLike,
        seeds: npt.ArrayLike | None,
        origin_ticks: npt.ArrayLike,
        origins: npt.ArrayLike,
        cancel: CancelFlag,
        early: list[tuple[int, int, float, float]] | None = None,
        truth: bool = False,
        kinds: npt.ArrayLike | None = None,
        noise_seeds: npt.ArrayLike | None = None,
        saturation: bool = True,
        origin_steps: npt.ArrayLike | None = None,
    ) -> dict[str, Any]: ...  # the record columns (arrays); with truth also "links", a dict of arrays

class ZozuvUzaEngine(_Engine): ...
class MultiPMTEngine(_Engine): ...

# The values of one parameter set of each engine, by name: the model's constructor arguments but its
# files (the engine's spectra) and its seed, with their units. For annotations only, as _Engine.

class _ZozuvUzaParameters(TypedDict):
    pmt_time_step: float  # s: time step of the PMT waveform
    adc_step: float  # s: time step of the ADC
    jitter: int  # PMT time steps: offset of ADC samples relative to simulation times, 0 for none, -1 for random
    gain: float  # LSB: ADC gain (scale factor of the normalised amplitude)
    offset: float  # LSB: ADC offset
    preamp_clip: float  # LSB: upper bound of ADC samples before noise
    noise: float  # LSB: standard deviation of the Gaussian noise
    clip: float  # LSB: upper bound of ADC samples after noise
    waveform_samples: int  # ADC samples: waveform samples per trigger
    retrigger_offset: int  # ADC samples: least number of samples between two triggers
    trigger_kernel: list[int]  # kernel the waveform is convolved with before the threshold
    adc_threshold: int  # LSB: trigger threshold
    trigger_norm: int  # divisor of the trigger signal before the threshold
    trigger_offset: int  # ADC steps: offset of the waveform start relative to the trigger time
    early_handling: str  # what a trigger whose window starts before time 0 does

class _MultiPMTParameters(TypedDict):
    pmt_time_step: float  # s: time step of the PMT waveform
    tot_step: float  # s: time step of the ToT TDC
    tot_threshold: float  # normalised amplitude: threshold of the ToT measurement
    tot_dead_time: float  # s: dead time of the ToT measurement
    tot_noise: float  # normalised amplitude: standard deviation of the ToT noise
    tot_jitter: float  # s: standard deviation of the ToT time measurement
    adc_step: float  # s: time step of the ADC
    adc_jitter: int  # PMT time steps: offset of ADC samples relative to simulation times, 0 for none, -1 for random
    adc_gain: float  # LSB: ADC gain (scale factor of the normalised amplitude)
    adc_offset: float  # LSB: ADC offset
    adc_noise: float  # LSB: standard deviation of the ADC's Gaussian noise
    adc_clip: float  # LSB: upper bound of ADC samples after noise
    sample_delay: float  # s: delay of the ADC readout after the ToT start
