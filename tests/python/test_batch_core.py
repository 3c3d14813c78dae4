from pathlib import Path

import numpy as np
import pytest
import velmora
from velmora_batch import _core


def test_read_spectrum_gives_float64_pairs_in_file_order(tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("0 1.5\n1e-9 2\n  2e-9\t0.25 \n")
    x, y = _core.read_spectrum(path)
    assert x.dtype == np.float64 and y.dtype == np.float64
    np.testing.assert_array_equal(x, [0.0, 1e-9, 2e-9])
    np.testing.assert_array_equal(y, [1.5, 2.0, 0.25])
    # A path given as a string reads the same file.
    x2, _ = _core.read_spectrum(str(path))
    np.testing.assert_array_equal(x2, x)


def test_read_spectrum_reads_the_example_files_exactly():
    path = Path(__file__).resolve().parents[2] / "examples" / "zozuvuza" / "pulse_shape.txt"
    x, y = _core.read_spectrum(path)
    values = np.array(path.read_text().split(), dtype=np.float64)
    np.testing.assert_array_equal(x, values[0::2])
    np.testing.assert_array_equal(y, values[1::2])


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "Failed to open spectrum file"),
        ("1 2\n", "at least two data points"),
        ("", "at least two data points"),
    ],
    ids=["missing", "one-pair", "empty"],
)
def test_read_spectrum_errors_are_those_of_the_models(tmp_path, content, message, detector_dir):
    path = tmp_path / "bad.txt"
    if content is not None:
        path.write_text(content)
    with pytest.raises(RuntimeError, match=message):
        _core.read_spectrum(path)
    # The model constructor fails the same way on the same file.
    with pytest.raises(RuntimeError, match=message):
        velmora.MultiPMT(
            path, detector_dir / "amplitude.txt", 1e-10, 5e-10, path, 0.3, 5e-9, 0.0, 0.0, 4e-9, path,
            0, 1.0, 0.0, 0.0, 4000.0, 0.0, 1,
        )
