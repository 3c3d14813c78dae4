# The compiled half of velmora_batch, as the package uses it.
import os
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

def read_spectrum(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

class Cancelled(RuntimeError): ...

# The tables of the engines' output beside the model's own columns, one dict per column, in order: name, dtype
# (numpy's name), unit, meaning, shape (the parameter giving its number of values per record, or None), saturation
# (only with saturation), added (came after the first record files). truth_columns: what a run with truth adds to
# every record; link_columns: the arrays of its "links".
truth_columns: list[dict[str, Any]]
link_columns: list[dict[str, Any]]

class CancelFlag:
    def __init__(self) -> None: ...
    def set(self) -> None: ...
    def is_set(self) -> bool: ...

# The methods both engines have. Not a class of the module: the engines share no base there, so this name is for
# annotations only, never for isinstance().
class _Engine:
    # The model's settings, one dict per field of its configuration in the constructors' order: name, kind
    # ("spectrum", "real", "integer", "integers", "choice" or "seed"), unit, meaning, minimum and maximum (of a
    # whole number, or None), choices (names), default (a choice's name, or None: required), override_column (its
    # place among a per-channel override table's columns from 1; 0: not overridable), plausible ("step", "time" or
    # None), grid (a pulse shape's step parameter, or None) and late (bool).
    fields: ClassVar[list[dict[str, Any]]]
    # The model's record columns, as truth_columns describes them.
    columns: ClassVar[list[dict[str, Any]]]
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
