"""Detector descriptions: a model name, its constructor values, the contents of
its spectrum and pulse-shape files, and optional per-channel electronics
overrides, loaded from a JSON config and checked before anything runs."""

from __future__ import annotations

import difflib
import json
import math
import os
import re
import tempfile
import warnings
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, TypeGuard

import numpy as np
import numpy.typing as npt
import velmora

from . import _core

# Constructor arguments of each model by keyword, with the kind of value each
# takes: "file" (a spectrum or pulse-shape file), "float", "int" (32-bit
# signed), "int_list" or "early_handling" (an EarlyHandling name). The order is
# the constructor's.
PARAMETERS: dict[str, dict[str, str]] = {
    "ZozuvUza": {
        "time_spectrum": "file",
        "amplitude_spectrum": "file",
        "pmt_time_step": "float",
        "adc_step": "float",
        "pulse_shape": "file",
        "jitter": "int",
        "gain": "float",
        "offset": "float",
        "preamp_clip": "float",
        "noise": "float",
        "clip": "float",
        "waveform_samples": "int",
        "retrigger_offset": "int",
        "trigger_kernel": "int_list",
        "adc_threshold": "int",
        "trigger_norm": "int",
        "trigger_offset": "int",
        "early_handling": "early_handling",
    },
    "MultiPMT": {
        "time_spectrum": "file",
        "amplitude_spectrum": "file",
        "pmt_time_step": "float",
        "tot_step": "float",
        "tot_pulse_shape": "file",
        "tot_threshold": "float",
        "tot_dead_time": "float",
        "tot_noise": "float",
        "tot_jitter": "float",
        "adc_step": "float",
        "adc_pulse_shape": "file",
        "adc_jitter": "int",
        "adc_gain": "float",
        "adc_offset": "float",
        "adc_noise": "float",
        "adc_clip": "float",
        "sample_delay": "float",
    },
}

# Electronics values that may differ from channel to channel.
OVERRIDABLE: dict[str, tuple[str, ...]] = {
    "ZozuvUza": ("gain", "offset", "noise", "adc_threshold", "preamp_clip", "clip"),
    "MultiPMT": ("adc_gain", "adc_offset", "adc_noise", "adc_clip", "tot_threshold", "tot_noise"),
}

# Keys of a config besides the constructor arguments.
EXTRA_KEYS = ("model", "seed", "overrides")
OPTIONAL = {"seed": None, "overrides": None, "early_handling": "WARN"}
EARLY_HANDLING = ("IGNORE", "ZERO", "WARN", "THROW")
INT32 = (-(2**31), 2**31 - 1)

# The largest waveform a record can hold: a record is one numpy structured
# element, whose size must fit a C int.
MAX_WAVEFORM_SAMPLES = (2**31 - 1 - 64) // 2

Spectrum = tuple[np.ndarray, np.ndarray]
Value = int | float | list[int] | str
# A table of per-channel overrides: a CSV or Parquet file, a mapping of columns
# or a structured array.
OverrideTable = str | os.PathLike[str] | Mapping[str, npt.ArrayLike] | np.ndarray


def _kind_name(kind: str) -> str:
    return {
        "file": "a file name (or an object with lists x and y)",
        "float": "a finite number",
        "int": "an integer in the 32-bit range",
        "int_list": "a list of integers in the 32-bit range",
        "early_handling": "one of " + ", ".join(EARLY_HANDLING),
    }[kind]


def _is_int(value: object) -> TypeGuard[int]:
    return isinstance(value, int) and not isinstance(value, bool) and INT32[0] <= value <= INT32[1]


def _convert(key: str, kind: str, value: object, where: str) -> Value:
    """The value of one config key in the type its model argument takes, or a
    ValueError naming the key and what it expected."""
    if kind == "float":
        if isinstance(value, int | float) and not isinstance(value, bool) and abs(value) <= 1.7976931348623157e308:
            return float(value)
    elif kind == "int":
        if _is_int(value):
            return value
    elif kind == "int_list":
        if isinstance(value, list) and all(_is_int(v) for v in value):
            return [int(v) for v in value]
    elif kind == "early_handling":
        if isinstance(value, str) and value in EARLY_HANDLING:
            return value
    else:  # pragma: no cover - every kind is handled above
        raise AssertionError(kind)
    raise ValueError(f"{where}: {key!r} must be {_kind_name(kind)}, got {value!r}")


# A number as the models' file reader takes it: decimal, with an optional
# sign, fraction and exponent, ASCII digits only (no "inf", "nan", hex or
# digit separators, which the reader does not read as numbers).
_NUMBER = re.compile(rb"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


def read_points(path: Path, key: str, where: str) -> Spectrum:
    """The (x, y) points of a spectrum or pulse-shape file: white-space
    separated numbers taken in pairs, exactly the values the models read from
    it. Unlike the models' reader, which stops at the first word that is not
    a number and drops an unpaired last number, every word must be a number
    and the count must be even: anything else is a ValueError naming the key,
    the file, the line and the word, so that no point is left out unnoticed."""
    try:
        data = path.read_bytes()
    except OSError as e:
        raise ValueError(f"{where}: {key!r}: cannot read {path}: {e.strerror or e}") from None
    values: list[float] = []
    last_line, last_word = 0, ""
    for line_no, line in enumerate(data.split(b"\n"), start=1):
        for word in line.split():
            text = word.decode("latin-1")
            if not _NUMBER.fullmatch(word):
                raise ValueError(f"{where}: {key!r}: {path}, line {line_no}: {text!r} is not a number "
                                 "(the file must hold only numbers, in x y pairs)")
            # float() rounds decimal text correctly, as the models' reader does.
            value = float(text)
            if not math.isfinite(value):
                raise ValueError(f"{where}: {key!r}: {path}, line {line_no}: {text!r} is too large for a double")
            values.append(value)
            last_line, last_word = line_no, text
    if len(values) % 2:
        raise ValueError(f"{where}: {key!r}: {path}, line {last_line}: the number {last_word!r} has no partner "
                         "(the file must hold x y pairs)")
    if len(values) < 4:
        raise ValueError(f"{where}: {key!r}: {path} must hold at least two x y points, found {len(values) // 2}")
    points = np.asarray(values, dtype=np.float64).reshape(-1, 2)
    return np.ascontiguousarray(points[:, 0]), np.ascontiguousarray(points[:, 1])


def _spectrum(value: object, base_dir: Path, key: str, where: str) -> tuple[Spectrum, Path | None]:
    """The contents of a file argument: read from a path relative to base_dir,
    or given inline as {"x": [...], "y": [...]} (as Detector.config() writes
    them). Also returns the path read, if any."""
    if isinstance(value, str):
        path = base_dir / value
        return read_points(path, key, where), path
    if isinstance(value, Mapping) and set(value) == {"x", "y"}:
        try:
            x = np.asarray(value["x"], dtype=np.float64)
            y = np.asarray(value["y"], dtype=np.float64)
        except (TypeError, ValueError):
            x = y = np.empty(0)
        if x.ndim == 1 and x.shape == y.shape and len(x) >= 2 and np.isfinite(x).all() and np.isfinite(y).all():
            return (x, y), None
        raise ValueError(f"{where}: {key!r} must hold two equally long lists x and y of at least two finite numbers")
    raise ValueError(f"{where}: {key!r} must be {_kind_name('file')}, got {value!r}")


def _write_spectrum(path: Path, spectrum: Spectrum) -> None:
    # repr() gives the shortest decimal that reads back as the same double,
    # so the model sees exactly the values held here.
    x, y = spectrum
    path.write_text("".join(f"{a!r} {b!r}\n" for a, b in zip(x.tolist(), y.tolist())))


def read_config(path: Path) -> Any:
    """The JSON value of a config file, or a ValueError naming the file: not
    UTF-8 text, not valid JSON, or nested beyond what the decoder follows."""
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as e:
        raise ValueError(f"{path}: not valid JSON: {e}") from None
    except UnicodeDecodeError as e:
        raise ValueError(f"{path}: not UTF-8 text (byte {e.object[e.start]:#04x} at offset {e.start}); a config is "
                         "a JSON file") from None
    except RecursionError:
        raise ValueError(f"{path}: not valid JSON: nested too deeply") from None


def _unknown_model(where: str, model: object) -> ValueError:
    return ValueError(f"{where}: 'model' must be one of {', '.join(PARAMETERS)}, got {model!r}")


def _unknown_keys(keys: Sequence[str], allowed: Sequence[str], where: str, what: str) -> None:
    unknown = [k for k in keys if k not in allowed]
    if not unknown:
        return
    hints = []
    for k in unknown:
        # Only a name can be close to another; a key of another type is just unknown.
        close = difflib.get_close_matches(k, allowed, n=1) if isinstance(k, str) else []
        hints.append(f"{k!r}" + (f" (did you mean {close[0]!r}?)" if close else ""))
    raise ValueError(f"{where}: unknown {what} {', '.join(hints)}; allowed: {', '.join(allowed)}")


class ImplausibleValueWarning(UserWarning):
    """A config value that the model accepts but that is implausible for its
    unit, such as a time in seconds that looks like nanoseconds."""


# Config values in seconds: steps of a sampling grid, and other times, with the
# largest value that is plausible for each.
_STEP_KEYS = ("pmt_time_step", "adc_step", "tot_step")
_TIME_KEYS = ("tot_dead_time", "tot_jitter", "sample_delay")
_MAX_STEP = 1e-6
_MAX_TIME = 1e-3

# The pulse shapes and the step of the grid each must be sampled on.
_PULSE_STEPS = {
    "ZozuvUza": {"pulse_shape": "pmt_time_step"},
    "MultiPMT": {"adc_pulse_shape": "pmt_time_step", "tot_pulse_shape": "tot_step"},
}


def _check_pulse_steps(model: str, params: Mapping[str, Value], spectra: Mapping[str, Spectrum],
                       paths: Mapping[str, Path], where: str) -> None:
    """Refuses a pulse shape whose points are not spaced by its grid's step,
    by the models' own rule (within 0.1 % of the step), naming the key, its
    source and both steps."""
    for key, step_key in _PULSE_STEPS[model].items():
        step = params.get(step_key)
        if not (isinstance(step, float) and math.isfinite(step) and step > 0):
            continue  # the model names a bad step itself
        x = spectra[key][0]
        spacing = np.diff(x)
        bad = np.flatnonzero(np.abs(spacing - step) > 0.001 * step)
        if len(bad):
            i = int(bad[0])
            source = f"{paths[key]}" if key in paths else "inline points"
            raise ValueError(f"{where}: {key!r} ({source}): points {i + 1} and {i + 2} are {float(spacing[i])!r} s apart, "
                             f"but {step_key!r} is {step!r} s; the pulse shape must be sampled every {step_key}")


def _warn_implausible(params: Mapping[str, Value], spectra: Mapping[str, Spectrum], where: str) -> None:
    """Warns of values that the model accepts but that are implausible for
    their unit, seconds: a value given in nanoseconds is 10^9 times too long."""
    for key in _STEP_KEYS:
        value = params.get(key)
        if isinstance(value, float) and value > _MAX_STEP:
            warnings.warn(f"{where}: {key!r} is {value!r} s, an implausibly long step (above {_MAX_STEP!r} s); "
                          f"steps are in seconds (0.1 ns is 1e-10)", ImplausibleValueWarning, stacklevel=4)
    for key in _TIME_KEYS:
        value = params.get(key)
        if isinstance(value, float) and abs(value) > _MAX_TIME:
            warnings.warn(f"{where}: {key!r} is {value!r} s, an implausibly long time (above {_MAX_TIME!r} s); "
                          f"times are in seconds (14 ns is 1.4e-08)", ImplausibleValueWarning, stacklevel=4)
    if "time_spectrum" in spectra:
        x = spectra["time_spectrum"][0]
        if len(x) and float(x.max() - x.min()) > _MAX_TIME:
            warnings.warn(f"{where}: 'time_spectrum' spans {float(x.max() - x.min())!r} s, implausibly long "
                          f"(above {_MAX_TIME!r} s); its x values are times in seconds",
                          ImplausibleValueWarning, stacklevel=4)


class Detector:
    """A detector model with all it needs to be built anywhere: the model name,
    its constructor values (``params``), the contents of its spectrum and
    pulse-shape files (``spectra``), the seed of the config and per-channel
    electronics overrides. Picklable; holds no paths.

    Build one with :meth:`from_config` (a JSON file) or :meth:`from_dict`.
    """

    model: str
    params: dict[str, Value]
    spectra: dict[str, Spectrum]
    seed: int | None
    overrides: dict[int, dict[str, int | float]]

    def __init__(
        self,
        model: str,
        params: Mapping[str, Value],
        spectra: Mapping[str, Spectrum],
        seed: int | None = None,
        overrides: Mapping[int, Mapping[str, int | float]] | None = None,
    ) -> None:
        self.model = model
        self.params = dict(params)
        self.spectra = {k: (np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)) for k, (x, y) in
                        spectra.items()}
        self.seed = seed
        self.overrides = {int(c): dict(v) for c, v in (overrides or {}).items()}

    # -- loading -----------------------------------------------------------

    @classmethod
    def from_config(cls, path: str | os.PathLike[str], overrides: OverrideTable | None = None) -> Detector:
        """Loads a detector from a JSON config file.

        The config holds ``"model"`` ("ZozuvUza" or "MultiPMT"), every
        constructor argument of that model by keyword (file names relative to
        the config's directory, ``early_handling`` by name, optional with
        default "WARN"), and optionally ``"seed"`` and ``"overrides"`` (a CSV
        or Parquet table, relative to the config, see :meth:`from_dict`).

        ``overrides``, if given, replaces the config's override table: a path,
        a mapping of columns, or a structured numpy array with a ``channel``
        column.

        Raises ValueError for unknown or missing keys and values of the wrong
        type (naming the key and what it expected), and the model's own errors
        (RuntimeError, ValueError) for files and values it cannot build from.
        """
        path = Path(path)
        config = read_config(path)
        return cls.from_dict(config, base_dir=path.parent, overrides=overrides, where=str(path))

    @classmethod
    def from_dict(
        cls,
        config: Mapping[str, Any],
        base_dir: str | os.PathLike[str] = ".",
        overrides: OverrideTable | None = None,
        where: str = "config",
    ) -> Detector:
        """Builds a detector from a config mapping (the contents of a JSON
        config, or what :meth:`config` returns). File names are relative to
        ``base_dir``; a file argument may also be given inline as
        ``{"x": [...], "y": [...]}``, and ``"overrides"`` as a mapping of
        columns. One model is built to check that the model accepts the values."""
        if not isinstance(config, Mapping):
            raise ValueError(f"{where}: a config must be a JSON object, got {type(config).__name__}")
        model = config.get("model")
        # A JSON list or object is no model name (and cannot be looked up: it is unhashable).
        if not isinstance(model, str) or model not in PARAMETERS:
            raise _unknown_model(where, model)
        kinds = PARAMETERS[model]
        _unknown_keys(list(config), [*EXTRA_KEYS, *kinds], where, "key")
        missing = [k for k in kinds if k not in config and k not in OPTIONAL]
        if missing:
            raise ValueError(f"{where}: missing key{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))}"
                             f" for model {model}")
        base = Path(base_dir)
        params: dict[str, Value] = {}
        spectra: dict[str, Spectrum] = {}
        paths: dict[str, Path] = {}
        for key, kind in kinds.items():
            value = config.get(key, OPTIONAL.get(key))
            if kind == "file":
                spectra[key], file_path = _spectrum(value, base, key, where)
                if file_path is not None:
                    paths[key] = file_path
            else:
                params[key] = _convert(key, kind, value, where)
        # A record holds at least one sample: the waveform column has a fixed, positive length.
        samples = params.get("waveform_samples")
        if model == "ZozuvUza" and isinstance(samples, int) and samples < 1:
            raise ValueError(f"{where}: 'waveform_samples' must be at least 1, got {samples}")
        if model == "ZozuvUza" and isinstance(samples, int) and samples > MAX_WAVEFORM_SAMPLES:
            raise ValueError(f"{where}: 'waveform_samples' must be at most {MAX_WAVEFORM_SAMPLES} (ADC samples of "
                             f"one record), got {samples}")
        if model == "ZozuvUza" and params.get("trigger_kernel") == []:
            raise ValueError(f"{where}: 'trigger_kernel' must hold at least one integer: an empty kernel never "
                             "triggers")
        # A unit mistake (nanoseconds for seconds) shows first as such, then in what the model makes of it.
        _warn_implausible(params, spectra, where)
        _check_pulse_steps(model, params, spectra, paths, where)
        seed = config.get("seed")
        if seed is not None and not (isinstance(seed, int) and not isinstance(seed, bool)):
            raise ValueError(f"{where}: 'seed' must be an integer or null, got {seed!r}")

        table = overrides
        if table is None and config.get("overrides") is not None:
            table = config["overrides"]
            if isinstance(table, str):
                table = base / table
        detector = cls(model, params, spectra, seed, read_overrides(table, model) if table is not None else None)
        detector._check_builds(paths, where)
        return detector

    def _check_builds(self, paths: Mapping[str, Path], where: str) -> None:
        """Builds the model once, from the files read if they were given by
        path (so that its errors name the user's files), and once per extreme
        value of each override column, so that values the model refuses fail
        here rather than in the middle of a run."""
        try:
            self._build(self.params, paths)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from None
        # Times that the model takes but cannot place on its sample grid in a
        # simulation: a hit moved by the sample delay, or by a jitter draw of
        # many standard deviations, must stay within the simulated time range.
        engine_type = _core.ZozuvUzaEngine if self.model == "ZozuvUza" else _core.MultiPMTEngine
        limit = engine_type([self.params], dict(self.spectra)).max_pe_time
        for key in ("sample_delay", "tot_jitter"):
            value = self.params.get(key)
            if isinstance(value, float) and not abs(value) <= limit:
                raise ValueError(f"{where}: {key!r} must lie within +-{limit!r} s (the detector's late-time limit), "
                                 f"got {value!r} s")
        if not self.overrides:
            return
        columns: dict[str, list[tuple[int, int | float]]] = {}
        for channel, values in self.overrides.items():
            for key, value in values.items():
                columns.setdefault(key, []).append((channel, value))
        for key, cells in columns.items():
            # The model's checks of a single electronics value are ranges, so
            # the smallest and the largest value stand for the whole column.
            for channel, value in {min(cells, key=lambda c: c[1]), max(cells, key=lambda c: c[1])}:
                try:
                    self._build({**self.params, key: value}, paths)
                except (RuntimeError, ValueError, TypeError) as e:
                    raise ValueError(f"override {key}={value!r} of channel {channel}: {e}") from None

    # -- use ---------------------------------------------------------------

    def params_for(self, channel: int) -> dict[str, Value]:
        """The constructor values for one channel: ``params`` with the
        channel's overrides applied."""
        return {**self.params, **self.overrides.get(int(channel), {})}

    def build_model(self, seed: int, channel: int | None = None) -> velmora.ZozuvUza | velmora.MultiPMT:
        """A ``velmora.ZozuvUza`` or ``velmora.MultiPMT`` built from this
        detector with the given seed (and the overrides of ``channel``, if
        given), through temporary copies of its files."""
        params = self.params if channel is None else self.params_for(channel)
        return self._build({**params, "seed": seed}, {})

    def _build(self, params: Mapping[str, Value], paths: Mapping[str, Path]) -> velmora.ZozuvUza | velmora.MultiPMT:
        kwargs: dict[str, Any] = {"seed": 0, **params}
        if "early_handling" in kwargs:
            kwargs["early_handling"] = getattr(velmora.EarlyHandling, str(kwargs["early_handling"]))
        cls: type[velmora.ZozuvUza] | type[velmora.MultiPMT] = (
            velmora.ZozuvUza if self.model == "ZozuvUza" else velmora.MultiPMT)
        if len(paths) == len(self.spectra):
            kwargs.update(paths)
            return cls(**kwargs)
        with tempfile.TemporaryDirectory(prefix="velmora-detector-") as tmp:
            for key, spectrum in self.spectra.items():
                _write_spectrum(Path(tmp) / f"{key}.txt", spectrum)
                kwargs[key] = Path(tmp) / f"{key}.txt"
            return cls(**kwargs)

    def config(self) -> dict[str, Any]:
        """The resolved config as plain JSON types: model, every constructor
        value, the file contents inline as {"x": [...], "y": [...]}, the seed
        and the overrides as columns. ``Detector.from_dict(d.config())``
        gives back an equal detector."""
        out: dict[str, Any] = {"model": self.model}
        for key in PARAMETERS[self.model]:
            if key in self.spectra:
                x, y = self.spectra[key]
                out[key] = {"x": x.tolist(), "y": y.tolist()}
            else:
                out[key] = self.params[key]
        out["seed"] = self.seed
        if self.overrides:
            channels = sorted(self.overrides)
            keys = [k for k in OVERRIDABLE[self.model] if k in self.overrides[channels[0]]]
            out["overrides"] = {"channel": channels, **{k: [self.overrides[c][k] for c in channels] for k in keys}}
        return out

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Detector):
            return NotImplemented
        return (self.model, self.params, self.seed, self.overrides) == (
            other.model, other.params, other.seed, other.overrides) and self.spectra.keys() == other.spectra.keys() \
            and all(np.array_equal(a, b) for k in self.spectra for a, b in zip(self.spectra[k], other.spectra[k]))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        extra = f", {len(self.overrides)} channel overrides" if self.overrides else ""
        return f"<Detector {self.model} seed={self.seed}{extra}>"


def read_overrides(table: OverrideTable, model: str) -> dict[int, dict[str, int | float]]:
    """Per-channel electronics values from a table with a ``channel`` column
    and one column per overridden value: a CSV or Parquet file, a mapping of
    columns or a structured numpy array. Every cell must hold a value (no
    blanks); channels must be distinct."""
    where = "overrides"
    columns: Mapping[str, npt.ArrayLike]
    if isinstance(table, str | os.PathLike):
        path = Path(table)
        where = str(path)
        columns = _read_table(path)
    elif isinstance(table, np.ndarray) and table.dtype.names:
        columns = {name: table[name] for name in table.dtype.names}
    elif isinstance(table, Mapping):
        columns = dict(table)
    else:
        raise ValueError(f"overrides must be a CSV or Parquet file, a mapping of columns or a structured array, "
                         f"got {type(table).__name__}")
    allowed = OVERRIDABLE[model]
    if "channel" not in columns:
        raise ValueError(f"{where}: no 'channel' column")
    _unknown_keys([k for k in columns if k != "channel"], allowed, where, f"column for {model}")
    channel = _int_column(columns["channel"], "channel", where, low=0)
    unique, counts = np.unique(channel, return_counts=True)
    if (counts > 1).any():
        raise ValueError(f"{where}: channel {unique[counts > 1][0]} appears {counts[counts > 1][0]} times")
    values: dict[str, list[int] | list[float]] = {}
    for key in (k for k in allowed if k in columns):
        if PARAMETERS[model][key] == "int":
            values[key] = _int_column(columns[key], key, where, low=INT32[0]).tolist()
        else:
            values[key] = _float_column(columns[key], key, where).tolist()
        if len(values[key]) != len(channel):
            raise ValueError(f"{where}: column {key!r} has {len(values[key])} values for {len(channel)} channels")
    return {c: {k: v[i] for k, v in values.items()} for i, c in enumerate(channel.tolist())}


def _read_table(path: Path) -> dict[str, np.ndarray]:
    """Columns of a CSV or Parquet file as numpy arrays (nulls as NaN or None)."""
    import pyarrow.csv
    import pyarrow.parquet

    suffix = path.suffix.lower()
    if suffix not in (".parquet", ".csv"):
        raise ValueError(f"{path}: expected a .csv or .parquet file")
    try:
        table = pyarrow.parquet.read_table(path) if suffix == ".parquet" else pyarrow.csv.read_csv(path)
    except (OSError, ValueError, pyarrow.ArrowException) as e:
        text = str(e).strip()
        first = text.splitlines()[0] if text else type(e).__name__
        raise ValueError(f"{path}: not a readable {suffix[1:]} file: {first}") from None
    names = table.column_names
    for name in names:
        if names.count(name) > 1:
            raise ValueError(f"{path}: the column {name!r} appears {names.count(name)} times")
    return {name: table.column(name).to_numpy(zero_copy_only=False) for name in names}


def _numeric(values: npt.ArrayLike, key: str, where: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "iuf":
        raise ValueError(f"{where}: column {key!r} must hold numbers, got {array.dtype} values")
    return array


def _int_column(values: npt.ArrayLike, key: str, where: str, low: int) -> np.ndarray:
    """An integer column as int64, whether stored as integers or as floats
    with no fraction; each value in [low, 2**31 - 1]."""
    array = _numeric(values, key, where)
    if array.dtype.kind == "f":
        bad = ~np.isfinite(array) | (array != np.trunc(array))
        if bad.any():
            raise ValueError(f"{where}: column {key!r} must hold integers, got {array[bad][0].item()!r}")
    out_of_range = (array < low) | (array > INT32[1])
    if out_of_range.any():
        raise ValueError(f"{where}: column {key!r}: {array[out_of_range][0]} is outside [{low}, {INT32[1]}]")
    return array.astype(np.int64)


def _float_column(values: npt.ArrayLike, key: str, where: str) -> np.ndarray:
    array = _numeric(values, key, where).astype(np.float64)
    bad = ~np.isfinite(array)
    if bad.any():
        raise ValueError(f"{where}: column {key!r} must hold finite numbers, got {array[bad][0].item()!r} "
                         f"(a blank cell reads as NaN)")
    return array


_INTEGER = re.compile(r"[+-]?[0-9]+")


def _int_text(text: str) -> int:
    """An integer written in ASCII digits (int() would also take other
    scripts' digits and digit separators)."""
    if not _INTEGER.fullmatch(text.strip()):
        raise ValueError(text)
    return int(text)


def apply_settings(config: dict[str, Any], settings: Sequence[str], base_dir: Path | None = None) -> dict[str, Any]:
    """A copy of a config with ``key=value`` settings applied, each value read
    in the type its key takes: numbers, integers, a list of integers
    (``1,1,1,1`` or JSON), an EarlyHandling name, a file name (relative to
    ``base_dir``, default the working directory) or a seed."""
    out = dict(config)
    model = out.get("model")
    kinds = PARAMETERS.get(model, {}) if isinstance(model, str) else {}
    for setting in settings:
        key, sep, text = setting.partition("=")
        key = key.strip()
        if not sep or not key:
            raise ValueError(f"--set {setting!r}: expected key=value")
        if key == "model":
            raise ValueError("--set: the model cannot be changed")
        if key == "seed":
            kind = "int"
        elif key == "overrides":
            kind = "file"
        elif not kinds:
            # Without a known model there are no keys to offer: name the model's fault instead.
            raise _unknown_model(f"--set {key}", model)
        else:
            _unknown_keys([key], list(kinds), "--set", "key")
            kind = kinds[key]
        try:
            if kind == "file":
                value: Any = str((base_dir or Path.cwd()) / text)
            elif kind == "int_list":
                value = json.loads(text) if text.strip().startswith("[") else [_int_text(v) for v in text.split(",")]
            elif kind == "int":
                value = _int_text(text)
            elif kind == "float":
                # Decimal numbers in ASCII only: float() would also take other
                # scripts' digits, digit separators and words such as "nan".
                if not _NUMBER.fullmatch(text.strip().encode("utf-8")):
                    raise ValueError
                value = float(text)
                if not math.isfinite(value):
                    raise ValueError
            else:
                value = text
        except ValueError:
            if key == "seed":
                raise ValueError(f"--set seed={text}: 'seed' must be a whole number (with independent seeding not "
                                 "negative, with sequential seeding within the 32-bit signed range)") from None
            raise ValueError(f"--set {key}={text}: {key!r} must be {_kind_name(kind)}") from None
        out[key] = value
    return out
