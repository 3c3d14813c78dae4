import os

import numpy as np
import numpy.typing as npt

def read_spectrum(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
