import pickle
import shutil
import subprocess
import sys

import pytest
import velmora


def test_module_has_no_docstring_and_reimports_as_the_same_object():
    assert velmora.__doc__ is None
    saved = sys.modules.pop("velmora")
    try:
        import velmora as again

        assert again is saved
    finally:
        sys.modules["velmora"] = saved


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((2, 3, 1e-9), [(0, [0.0, 1e-9, 2e-9]), (1, [0.0, 1e-9, 2e-9])]),
        ((0, 5, 1e-9), []),
        ((-1, 5, 1e-9), []),
        ((2, 0, 1e-9), [(0, []), (1, [])]),
        ((1, 3, 0.0), [(0, [0.0, 0.0, 0.0])]),
        ((1, 3, -1.0), [(0, [0.0, -1.0, -2.0])]),
    ],
    ids=["regular", "no-channels", "negative-channels", "no-pes", "zero-interval", "negative-interval"],
)
def test_generate_pe_list(args, expected):
    pe_list = velmora.generate_pe_list(*args)
    assert isinstance(pe_list, velmora.PEListVector)
    got = [(ch, list(times)) for ch, times in pe_list]
    assert got == expected
    for ch, times in pe_list:
        assert type(ch) is int
        assert isinstance(times, velmora.DoubleVector)


def test_generate_pe_list_times_are_index_times_interval():
    (_, times), = velmora.generate_pe_list(1, 1000, 0.1)
    assert list(times) == [j * 0.1 for j in range(1000)]


@pytest.mark.parametrize(
    "args",
    [(1.0, 2, 1e-9), (1, 2.5, 1e-9), (2**31, 1, 1e-9), (1, -(2**31) - 1, 1e-9), ("1", 1, 1e-9)],
    ids=["float-channels", "float-pes", "channels-overflow", "pes-underflow", "str"],
)
def test_generate_pe_list_rejects_bad_arguments(args):
    with pytest.raises(TypeError):
        velmora.generate_pe_list(*args)


@pytest.mark.parametrize("args", [(2**31 - 1, 2**31 - 1, 1.0), (16, 2**31 - 1, 1.0), (2**31 - 1, 0, 1.0)])
def test_generate_pe_list_too_large_fails_cleanly(args):
    with pytest.raises((MemoryError, ValueError)):
        velmora.generate_pe_list(*args)


def test_generate_pe_list_docstring():
    assert (
        "Returns\n-------\nList[Tuple[int, List[float]]]\n    A list of tuples containing the channel number and a "
        "vector of photo electron times in seconds\n"
    ) in velmora.generate_pe_list.__doc__
    assert "Generates a PE list for testing purposes.\n\nParameters\n----------\nnum_channels : int\n" in (
        velmora.generate_pe_list.__doc__
    )


EARLY = [("IGNORE", 0, "Ignore early triggers"), ("ZERO", 1, "Clamp early triggers to zero"),
         ("WARN", 2, "Warn and ignore early triggers"), ("THROW", 3, "Throw on early triggers")]


@pytest.mark.parametrize(("name", "value", "doc"), EARLY, ids=[e[0] for e in EARLY])
def test_early_handling_members(name, value, doc):
    member = getattr(velmora.EarlyHandling, name)
    assert getattr(velmora, name) is member
    assert member.name == name and member.value == value and int(member) == value
    assert velmora.EarlyHandling(value) == member
    assert pickle.loads(pickle.dumps(member)) == member
    assert f"{name} : {doc}" in velmora.EarlyHandling.__doc__
    assert member != value  # no arithmetic comparison with integers
    assert hash(member) == hash(velmora.EarlyHandling(value))


def test_early_handling_is_not_arithmetic():
    assert list(velmora.EarlyHandling.__members__) == ["IGNORE", "ZERO", "WARN", "THROW"]
    with pytest.raises(TypeError):
        velmora.ZERO < velmora.WARN  # noqa: B015
    with pytest.raises(TypeError):
        velmora.ZERO + 1  # noqa: B015


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_native_interface_is_exported():
    out = subprocess.run(["nm", "-D", "-C", "--defined-only", velmora.__file__], capture_output=True, text=True,
                         check=True).stdout
    for symbol in [
        "PyInit_velmora",
        "velmora::SparseWaveform<double>::add_sample(double, double)",
        "velmora::SparseWaveform<unsigned short>::get_samples(double, double) const",
        "velmora::SparseWaveform<int>::add_sample(double, int)",
        "velmora::SparseConvolution<double>::convolve<double>(velmora::SparseWaveform<double> const&) const",
        "velmora::SparseConvolution<int>::convolve<unsigned short>(velmora::SparseWaveform<unsigned short> const&)",
        "velmora::ZozuvUza::simulate(std::vector<double, std::allocator<double> > const&, int)",
        "velmora::ZozuvUza::calibrate_delay(unsigned long, unsigned long)",
        "velmora::ZozuvUza::read_spectrum(std::filesystem::__cxx11::path const&)",
        "velmora::ADCSim::sample_down(",
        "velmora::ADCSim::simulate(",
        "velmora::TriggerSim::simulate(",
        "velmora::ToTSim::simulate(",
    ]:
        assert symbol in out, symbol


def _other_interpreters():
    for name in ("python3.11", "python3.13", "python3.10"):
        path = shutil.which(name)
        if path:
            yield name


@pytest.mark.parametrize("interpreter", list(_other_interpreters()) or [None])
def test_other_interpreters_refuse_the_module(interpreter):
    if interpreter is None:
        pytest.skip("no other Python interpreter on this machine")
    code = (
        "import importlib.util, sys\n"
        f"spec = importlib.util.spec_from_file_location('velmora', {velmora.__file__!r})\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    sys.exit(0)\n"
        "sys.exit(3)\n"
    )
    import os

    env = dict(os.environ, PYENV_VERSION="3.10.13:3.11.7:3.13.0")
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([interpreter, "-c", code], capture_output=True, text=True, env=env)
    if proc.returncode not in (0, 3):
        pytest.skip(f"{interpreter} does not run here: {proc.stderr.strip()[:200]}")
    assert proc.returncode == 0  # the import failed with ImportError
    if interpreter == "python3.11":
        # Its C API has every symbol the module uses, so the module's own version check is what refuses it
        # (other versions already fail to link the shared object).
        assert proc.stdout.startswith(
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter version is "
            "incompatible: 3.11"
        )
