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
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeGuard

import numpy as np
import numpy.typing as npt
import pyarrow
import velmora

from ._models import (CHANNEL_OVERRIDE_NAMES, EXTRA_KEYS, INT32, PLAUSIBLE_STEP, PLAUSIBLE_TIME, Engine,
                      ModelSpec, Parameter, Value, spec_of)
from ._seeding import ordinary_scale
from .formats import table_format, table_suffixes_text

Spectrum = tuple[np.ndarray, np.ndarray]
# A table of per-channel overrides: a CSV or Parquet file, a mapping of columns
# or a structured array.
OverrideTable = str | os.PathLike[str] | Mapping[str, npt.ArrayLike] | np.ndarray


def _is_int(value: object) -> TypeGuard[int]:
    return isinstance(value, int) and not isinstance(value, bool) and INT32[0] <= value <= INT32[1]


def _convert(param: Parameter, value: object, where: str) -> Value:
    """The value of one config key in the type its model argument takes, or a
    ValueError naming the key and what it expected."""
    key, kind = param.name, param.kind
    if kind == "float":
        if isinstance(value, int | float) and not isinstance(value, bool) and abs(value) <= 1.7976931348623157e308:
            return float(value)
    elif kind == "int":
        if _is_int(value):
            _check_bounds(param, value, where)
            return value
    elif kind == "int_list":
        if isinstance(value, list) and all(_is_int(v) for v in value):
            if not value:
                raise ValueError(f"{where}: {key!r} must hold at least one integer, got []")
            return [int(v) for v in value]
    elif kind == "choice":
        if isinstance(value, str) and value in param.choices:
            return value
    else:  # pragma: no cover - every kind is handled above
        raise AssertionError(kind)
    raise ValueError(f"{where}: {key!r} must be {param.expected()}, got {value!r}")


def _check_bounds(param: Parameter, value: int, where: str) -> None:
    unit = f" {param.unit}" if param.unit else ""
    if param.minimum is not None and value < param.minimum:
        raise ValueError(f"{where}: {param.name!r} must be at least {param.minimum}{unit}, got {value}")
    if param.maximum is not None and value > param.maximum:
        raise ValueError(f"{where}: {param.name!r} must be at most {param.maximum}{unit}, got {value}")


# A number as the models' file reader takes it: decimal, with an optional
# sign, fraction and exponent, ASCII digits only (no "inf", "nan", hex or
# digit separators, which the reader does not read as numbers).
DECIMAL = re.compile(rb"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


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
            if not DECIMAL.fullmatch(word):
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
    raise ValueError(f"{where}: {key!r} must be a file name (or an object with lists x and y), got {value!r}")


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


def unknown_keys(keys: Sequence[str], allowed: Sequence[str], where: str, what: str) -> None:
    unknown = [k for k in keys if k not in allowed]
    if not unknown:
        return
    hints = []
    for k in unknown:
        # Only a name can be close to another; a key of another type is just unknown.
        close = difflib.get_close_matches(k, allowed, n=1) if isinstance(k, str) else []
        hints.append(f"{k!r}" + (f" (did you mean {close[0]!r}?)" if close else ""))
    raise ValueError(f"{where}: unknown {what} {', '.join(hints)}; allowed: {', '.join(allowed)}")


def _read_parameters(spec: ModelSpec, config: Mapping[str, Any], base: Path, where: str
                     ) -> tuple[dict[str, Value], dict[str, Spectrum], dict[str, Path]]:
    """A config's parameter values in their types, the contents of its files
    and the paths they were read from."""
    params: dict[str, Value] = {}
    spectra: dict[str, Spectrum] = {}
    paths: dict[str, Path] = {}
    for param in spec.parameters:
        value = config.get(param.name, param.default)
        if param.kind == "file":
            spectra[param.name], file_path = _spectrum(value, base, param.name, where)
            if file_path is not None:
                paths[param.name] = file_path
        else:
            params[param.name] = _convert(param, value, where)
    return params, spectra, paths


@dataclass(frozen=True, eq=False)
class Afterpulses:
    """Afterpulses of a detector: each PE of a channel (of the table or of
    dark noise, never an afterpulse itself) spawns one with ``probability``,
    delayed after it by a draw from ``delay``, the (x, y) points of a
    piecewise-linear density of delays in seconds, zero outside them."""

    probability: float
    delay: Spectrum

    def __post_init__(self) -> None:
        x, y = (np.asarray(a, dtype=np.float64) for a in self.delay)
        object.__setattr__(self, "delay", (x, y))
        check_afterpulses(self.probability, x, y, "afterpulses")

    def config(self) -> dict[str, Any]:
        x, y = self.delay
        return {"probability": self.probability, "delay_spectrum": {"x": x.tolist(), "y": y.tolist()}}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Afterpulses):
            return NotImplemented
        return self.probability == other.probability and all(
            np.array_equal(a, b) for a, b in zip(self.delay, other.delay))

    __hash__ = None  # type: ignore[assignment]


def plain(value: object) -> object:
    """A numpy scalar as the Python number it holds, so that a message shows
    ``5e-07`` rather than ``np.float64(5e-07)``; anything else as it is."""
    return value.item() if isinstance(value, np.generic) else value


def check_probability(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float) or not 0.0 <= value <= 1.0:
        raise ValueError(f"{what} must be a number from 0 to 1, got {plain(value)!r}")
    return float(value)


def check_afterpulses(probability: object, x: np.ndarray, y: np.ndarray, where: str) -> None:
    """Refuses an afterpulse probability outside [0, 1] and a delay spectrum
    that is no density of delays: x decreasing or negative (an afterpulse
    follows its parent), y negative, or no area under it."""
    check_probability(probability, f"{where}: 'probability'")
    what = f"{where}: 'delay_spectrum'"
    if x.ndim != 1 or x.shape != y.shape or len(x) < 2 or not (np.isfinite(x).all() and np.isfinite(y).all()):
        raise ValueError(f"{what} must hold at least two points of finite numbers")
    if (np.diff(x) < 0).any():
        i = int(np.flatnonzero(np.diff(x) < 0)[0])
        raise ValueError(f"{what}: the delays must not decrease, but point {i + 2} ({float(x[i + 1])!r} s) comes "
                         f"after {float(x[i])!r} s")
    if x[0] < 0:
        raise ValueError(f"{what}: delays must not be negative (an afterpulse follows its parent), got {float(x[0])!r} s")
    if (y < 0).any():
        raise ValueError(f"{what}: probabilities must not be negative, got {float(y[y < 0][0])!r}")
    y = ordinary_scale(y)
    if not float(np.sum(np.diff(x) * (y[:-1] + y[1:]))) > 0:
        raise ValueError(f"{what} has no area: no delay has a probability above zero")


def _read_afterpulses(value: object, base_dir: Path, where: str) -> Afterpulses | None:
    """The ``afterpulses`` entry of a config: null, or an object with the
    ``probability`` and the ``delay_spectrum`` (a file relative to the
    config, or inline points)."""
    if value is None:
        return None
    here = f"{where}: 'afterpulses'"
    if not isinstance(value, Mapping):
        raise ValueError(f"{here} must be an object with 'probability' and 'delay_spectrum', got {value!r}")
    unknown_keys(list(value), ("probability", "delay_spectrum"), here, "key")
    missing = [k for k in ("probability", "delay_spectrum") if k not in value]
    if missing:
        raise ValueError(f"{here}: missing key {', '.join(map(repr, missing))}")
    probability = check_probability(value["probability"], f"{here}: 'probability'")
    (x, y), _ = _spectrum(value["delay_spectrum"], base_dir, "delay_spectrum", here)
    check_afterpulses(probability, x, y, here)
    return Afterpulses(probability, (x, y))


def check_channel_values(overrides: Mapping[int, Mapping[str, int | float]], afterpulses: Afterpulses | None,
                         where: str = "overrides") -> None:
    """Refuses per-channel run values that make no sense: a time offset that
    is not finite, a negative or infinite dark rate, an afterpulse
    probability outside [0, 1], or one for a detector without afterpulses."""
    for channel, values in overrides.items():
        for key in (k for k in CHANNEL_OVERRIDE_NAMES if k in values):
            value = values[key]
            if key == "afterpulse_probability":
                if afterpulses is None:
                    raise ValueError(f"{where}: channel {channel} has an afterpulse_probability, but the detector has "
                                     "no afterpulses (give the config's 'afterpulses' with its delay_spectrum)")
                check_probability(value, f"{where}: afterpulse_probability of channel {channel}")
            elif not math.isfinite(value) or (key == "dark_rate" and value < 0):
                limit = "a finite number not below zero" if key == "dark_rate" else "a finite number"
                raise ValueError(f"{where}: {key} of channel {channel} must be {limit}, got {value!r}")


def _warn_implausible_run_values(overrides: Mapping[int, Mapping[str, int | float]], afterpulses: Afterpulses | None,
                                 where: str) -> None:
    """Warns of a channel's time offset or an afterpulse delay that is
    implausibly long for seconds, as a value in nanoseconds would be."""
    offsets = [(c, v["time_offset"]) for c, v in overrides.items() if "time_offset" in v]
    far = [(c, o) for c, o in offsets if abs(o) > PLAUSIBLE_TIME]
    if far:
        channel, offset = far[0]
        warnings.warn(f"{where}: time_offset of channel {channel} is {offset!r} s, an implausibly long time (above "
                      f"{PLAUSIBLE_TIME!r} s); times are in seconds (14 ns is 1.4e-08)", ImplausibleValueWarning,
                      stacklevel=4)
    if afterpulses is not None and float(afterpulses.delay[0].max()) > PLAUSIBLE_TIME:
        warnings.warn(f"{where}: 'afterpulses' 'delay_spectrum' reaches {float(afterpulses.delay[0].max())!r} s, "
                      f"implausibly long (above {PLAUSIBLE_TIME!r} s); its x values are delays in seconds",
                      ImplausibleValueWarning, stacklevel=4)


class ImplausibleValueWarning(UserWarning):
    """A config value that the model accepts but that is implausible for its
    unit, such as a time in seconds that looks like nanoseconds."""


def _check_pulse_steps(spec: ModelSpec, params: Mapping[str, Value], spectra: Mapping[str, Spectrum],
                       paths: Mapping[str, Path], where: str) -> None:
    """Refuses a pulse shape whose points are not spaced by its grid's step,
    by the models' own rule (within 0.1 % of the step), naming the key, its
    source and both steps."""
    for key, step_key in ((p.name, p.grid) for p in spec.parameters if p.grid is not None):
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


def _warn_implausible(spec: ModelSpec, params: Mapping[str, Value], spectra: Mapping[str, Spectrum],
                      where: str) -> None:
    """Warns of values that the model accepts but that are implausible for
    their unit, seconds: a value given in nanoseconds is 10^9 times too long."""
    for key in (p.name for p in spec.parameters if p.plausible == "step"):
        value = params.get(key)
        if isinstance(value, float) and value > PLAUSIBLE_STEP:
            warnings.warn(f"{where}: {key!r} is {value!r} s, an implausibly long step (above {PLAUSIBLE_STEP!r} s); "
                          f"steps are in seconds (0.1 ns is 1e-10)", ImplausibleValueWarning, stacklevel=4)
    for key in (p.name for p in spec.parameters if p.plausible == "time" and p.kind != "file"):
        value = params.get(key)
        if isinstance(value, float) and abs(value) > PLAUSIBLE_TIME:
            warnings.warn(f"{where}: {key!r} is {value!r} s, an implausibly long time (above {PLAUSIBLE_TIME!r} s); "
                          f"times are in seconds (14 ns is 1.4e-08)", ImplausibleValueWarning, stacklevel=4)
    # A spectrum of times: the span of its x values.
    for key in (p.name for p in spec.parameters if p.plausible == "time" and p.kind == "file" and p.name in spectra):
        x = spectra[key][0]
        if len(x) and float(x.max() - x.min()) > PLAUSIBLE_TIME:
            warnings.warn(f"{where}: {key!r} spans {float(x.max() - x.min())!r} s, implausibly long "
                          f"(above {PLAUSIBLE_TIME!r} s); its x values are times in seconds",
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
    afterpulses: Afterpulses | None
    # ZozuvUza batch runs: noise on every sample of a readout window.
    baseline_noise: bool

    def __init__(
        self,
        model: str,
        params: Mapping[str, Value],
        spectra: Mapping[str, Spectrum],
        seed: int | None = None,
        overrides: Mapping[int, Mapping[str, int | float]] | None = None,
        afterpulses: Afterpulses | None = None,
        baseline_noise: bool = False,
    ) -> None:
        self.model = model
        self.params = dict(params)
        self.spectra = {k: (np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)) for k, (x, y) in
                        spectra.items()}
        self.seed = seed
        self.overrides = {int(c): dict(v) for c, v in (overrides or {}).items()}
        if afterpulses is not None and not isinstance(afterpulses, Afterpulses):
            raise TypeError(f"afterpulses must be an Afterpulses or None, got {type(afterpulses).__name__}")
        self.afterpulses = afterpulses
        if baseline_noise and not spec_of(model).baseline_noise:
            raise ValueError(f"baseline_noise: {model} readout windows have no baseline to fill")
        self.baseline_noise = bool(baseline_noise)

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
        # A JSON list or object is no model name (and cannot be looked up: it is unhashable).
        spec = spec_of(config.get("model"), where)
        unknown_keys(list(config), [*EXTRA_KEYS, *(["baseline_noise"] if spec.baseline_noise else []),
                                    *spec.by_name], where, "key")
        missing = [p.name for p in spec.parameters if p.required and p.name not in config]
        if missing:
            raise ValueError(f"{where}: missing key{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))}"
                             f" for model {spec.name}")
        params, spectra, paths = _read_parameters(spec, config, Path(base_dir), where)
        # A unit mistake (nanoseconds for seconds) shows first as such, then in what the model makes of it.
        _warn_implausible(spec, params, spectra, where)
        _check_pulse_steps(spec, params, spectra, paths, where)
        base = Path(base_dir)
        seed = config.get("seed")
        if seed is not None and not (isinstance(seed, int) and not isinstance(seed, bool)):
            raise ValueError(f"{where}: 'seed' must be an integer or null, got {seed!r}")

        baseline_noise = config.get("baseline_noise", False)
        if not isinstance(baseline_noise, bool):
            raise ValueError(f"{where}: 'baseline_noise' must be true or false, got {baseline_noise!r}")

        table = overrides
        if table is None and config.get("overrides") is not None:
            table = config["overrides"]
            if isinstance(table, str):
                table = base / table
        afterpulses = _read_afterpulses(config.get("afterpulses"), base, where)
        detector = cls(spec.name, params, spectra, seed,
                       read_overrides(table, spec.name) if table is not None else None, afterpulses,
                       baseline_noise=baseline_noise)
        detector._check_builds(paths, where)
        _warn_implausible_run_values(detector.overrides, detector.afterpulses, where)
        return detector

    def _check_builds(self, paths: Mapping[str, Path], where: str) -> None:
        """Builds the run's engine once, and once per extreme value of each
        override column, from the spectra in memory through the models' own
        constructors (their errors naming the user's files where the points
        were read from one), so that values the model refuses fail here
        rather than in the middle of a run."""
        try:
            engine = self._engine(self.params, paths)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from None
        # Times that the model takes but cannot place on its sample grid in a
        # simulation: a hit moved by the sample delay, or by a jitter draw of
        # many standard deviations, must stay within the simulated time range.
        spec = spec_of(self.model)
        limit = engine.max_pe_time
        for key in (p.name for p in spec.parameters if p.late):
            value = self.params.get(key)
            if isinstance(value, float) and not abs(value) <= limit:
                raise ValueError(f"{where}: {key!r} must lie within +-{limit!r} s (the detector's late-time limit), "
                                 f"got {value!r} s")
        if not self.overrides:
            return
        check_channel_values(self.overrides, self.afterpulses)
        columns: dict[str, list[tuple[int, int | float]]] = {}
        for channel, values in self.overrides.items():
            for key, value in values.items():
                if key not in CHANNEL_OVERRIDE_NAMES:  # values of the run, not of the model
                    columns.setdefault(key, []).append((channel, value))
        for key, cells in columns.items():
            # The model's checks of a single electronics value are ranges, so
            # the smallest and the largest value stand for the whole column.
            for channel, value in {min(cells, key=lambda c: c[1]), max(cells, key=lambda c: c[1])}:
                try:
                    self._engine({**self.params, key: value}, paths)
                except (RuntimeError, ValueError, TypeError) as e:
                    raise ValueError(f"override {key}={value!r} of channel {channel}: {e}") from None

    # -- use ---------------------------------------------------------------

    def params_for(self, channel: int) -> dict[str, Value]:
        """The constructor values for one channel: ``params`` with the
        channel's electronics overrides applied."""
        own = self.overrides.get(int(channel), {})
        return {**self.params, **{k: v for k, v in own.items() if k not in CHANNEL_OVERRIDE_NAMES}}

    def build_model(self, seed: int, channel: int | None = None) -> velmora.ZozuvUza | velmora.MultiPMT:
        """A ``velmora.ZozuvUza`` or ``velmora.MultiPMT`` built from this
        detector with the given seed (and the overrides of ``channel``, if
        given), through temporary copies of its files."""
        params = self.params if channel is None else self.params_for(channel)
        spec = spec_of(self.model)
        kwargs: dict[str, Any] = {**params, "seed": seed}
        for key in (p.name for p in spec.parameters if p.kind == "choice"):  # velmora's one choice: EarlyHandling
            kwargs[key] = getattr(velmora.EarlyHandling, str(kwargs[key]))
        model_class: type[velmora.ZozuvUza] | type[velmora.MultiPMT] = getattr(velmora, spec.name)
        with tempfile.TemporaryDirectory(prefix="velmora-detector-") as tmp:
            for key, spectrum in self.spectra.items():
                _write_spectrum(Path(tmp) / f"{key}.txt", spectrum)
                kwargs[key] = Path(tmp) / f"{key}.txt"
            return model_class(**kwargs)

    def _engine(self, params: Mapping[str, Value], paths: Mapping[str, Path]) -> Engine:
        """The run's engine of one parameter set, built from the spectra in
        memory: its errors call a spectrum by the file it was read from
        (``paths``) or as inline points."""
        names = {key: str(paths[key]) if key in paths else f"{key!r} (inline points)" for key in self.spectra}
        return spec_of(self.model).engine([dict(params)], dict(self.spectra), names)

    def config(self) -> dict[str, Any]:
        """The resolved config as plain JSON types: model, every constructor
        value, the file contents inline as {"x": [...], "y": [...]}, the seed
        and the overrides as columns. ``Detector.from_dict(d.config())``
        gives back an equal detector."""
        out: dict[str, Any] = {"model": self.model}
        spec = spec_of(self.model)
        for key in spec.by_name:
            if key in self.spectra:
                x, y = self.spectra[key]
                out[key] = {"x": x.tolist(), "y": y.tolist()}
            else:
                out[key] = self.params[key]
        out["seed"] = self.seed
        if self.baseline_noise:  # written only when on: configs from before the option stay as they were
            out["baseline_noise"] = True
        if self.overrides:
            channels = sorted(self.overrides)
            keys = [k for k in spec.override_columns if k in self.overrides[channels[0]]]
            out["overrides"] = {"channel": channels, **{k: [self.overrides[c][k] for c in channels] for k in keys}}
        if self.afterpulses is not None:
            out["afterpulses"] = self.afterpulses.config()
        return out

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Detector):
            return NotImplemented
        return (self.model, self.params, self.seed, self.overrides, self.afterpulses, self.baseline_noise) == (
            other.model, other.params, other.seed, other.overrides, other.afterpulses, other.baseline_noise) \
            and self.spectra.keys() == other.spectra.keys() \
            and all(np.array_equal(a, b) for k in self.spectra for a, b in zip(self.spectra[k], other.spectra[k]))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        extra = f", {len(self.overrides)} channel overrides" if self.overrides else ""
        if self.afterpulses is not None:
            extra += f", afterpulses p={self.afterpulses.probability!r}"
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
    spec = spec_of(model)
    allowed = spec.override_columns
    if "channel" not in columns:
        raise ValueError(f"{where}: no 'channel' column")
    unknown_keys([k for k in columns if k != "channel"], allowed, where, f"column for {model}")
    if all(np.shape(v)[:1] == (0,) for v in columns.values()):
        # A table of no rows overrides nothing, whatever types its columns
        # have (a CSV file of a header alone gives them none).
        return {}
    channel = _int_column(columns["channel"], "channel", where, low=0)
    unique, counts = np.unique(channel, return_counts=True)
    if (counts > 1).any():
        raise ValueError(f"{where}: channel {unique[counts > 1][0]} appears {counts[counts > 1][0]} times")
    values: dict[str, list[int] | list[float]] = {}
    for key in (k for k in allowed if k in columns):
        if key in spec.by_name and spec.by_name[key].kind == "int":
            values[key] = _int_column(columns[key], key, where, low=INT32[0]).tolist()
        else:
            values[key] = _float_column(columns[key], key, where).tolist()
        if len(values[key]) != len(channel):
            raise ValueError(f"{where}: column {key!r} has {len(values[key])} values for {len(channel)} channels")
    return {c: {k: v[i] for k, v in values.items()} for i, c in enumerate(channel.tolist())}


def _read_table(path: Path) -> dict[str, np.ndarray]:
    """Columns of a CSV or Parquet file as numpy arrays (nulls as NaN or None)."""
    found = table_format(path)
    if found is None:
        raise ValueError(f"{path}: expected a {table_suffixes_text()} file")
    try:
        table = found.read_table(path)
    except (OSError, ValueError, pyarrow.ArrowException) as e:
        text = str(e).strip()
        first = text.splitlines()[0] if text else type(e).__name__
        raise ValueError(f"{path}: not a readable {path.suffix.lower()[1:]} file: {first}") from None
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
