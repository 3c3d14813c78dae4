# The compiled half of velmora_batch, as the package uses it.
import os
from typing import Any

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
    ) -> dict[str, npt.NDArray[Any]]: ...

class ZozuvUzaEngine(_Engine): ...
class MultiPMTEngine(_Engine): ...
