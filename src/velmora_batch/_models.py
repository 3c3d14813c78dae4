"""The detector models, as data: for each model its compiled engine, whose
tables (written once, beside the model's configuration and the engine's
record columns in C++) give its parameters (type, unit, bounds, meaning, and
whether a channel may override it) and its record columns; beside them the
grids a segment must fit and the memory a run of it takes. Everything else in
the package asks the model's ``ModelSpec`` instead of testing its name, and
the config checks, ``--set``, the overrides, the config file's JSON Schema
and the tables of record columns all read the same tables."""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import numpy as np
import velmora

from . import _core

INT32 = (-(2**31), 2**31 - 1)

# Keys of a config besides the model's parameters.
EXTRA_KEYS = ("model", "seed", "overrides", "afterpulses")

# The tick of a ZozuvUza time stamp (the records' own constant), and the span of
# its 32-bit seconds counter.
STAMP_TICK: float = velmora.ZozuvUzaTrigger.SECONDS_PER_TICK
STAMP_SECONDS = 2**32

# Where a plausible step or time of a config ends, in seconds: a value given
# in nanoseconds lands far beyond it.
PLAUSIBLE_STEP = 1e-6
PLAUSIBLE_TIME = 1e-3

Value = int | float | list[int] | str


@dataclass(frozen=True)
class Parameter:
    """One constructor argument of a model.

    ``kind``: "file" (a spectrum or pulse-shape file), "float", "int" (32-bit
    signed), "int_list" or "choice" (one of ``choices``). ``minimum`` and
    ``maximum`` bound a whole number. ``plausible``: "step" or "time" for
    values in seconds whose size is checked for a unit mistake ("time" of a
    file: the span of its x values). ``grid``: for
    a pulse shape, the parameter whose step its points must be spaced by.
    ``late``: a time that must stay within the engine's late-time limit."""

    name: str
    kind: str
    unit: str
    meaning: str
    default: Value | None = None
    minimum: int | None = None
    maximum: int | None = None
    choices: tuple[str, ...] = ()
    plausible: str | None = None
    grid: str | None = None
    late: bool = False

    @property
    def required(self) -> bool:
        return self.default is None

    def expected(self) -> str:
        """What a value must be, as the messages say it."""
        if self.kind == "file":
            return "a file name (or an object with lists x and y)"
        if self.kind == "float":
            return "a finite number"
        if self.kind == "int":
            return "an integer in the 32-bit range"
        if self.kind == "int_list":
            return "a list of integers in the 32-bit range"
        return "one of " + ", ".join(self.choices)

    def schema(self, overridable: bool = False) -> dict[str, Any]:
        """The JSON Schema of this parameter's value in a config file."""
        description = f"{self.meaning} [{self.unit}]" if self.unit else self.meaning
        out: dict[str, Any] = {"description": description}
        if self.unit:
            out["x-unit"] = self.unit
        if overridable:
            out["x-overridable"] = True
        if self.kind == "file":
            points = {"type": "array", "items": {"type": "number"}, "minItems": 2}
            out["oneOf"] = [{"type": "string", "description": "a file of x y pairs, relative to the config"},
                            {"type": "object", "properties": {"x": points, "y": points}, "required": ["x", "y"],
                             "additionalProperties": False}]
        elif self.kind == "float":
            out["type"] = "number"
        elif self.kind == "int":
            out.update(type="integer", minimum=INT32[0] if self.minimum is None else self.minimum,
                       maximum=INT32[1] if self.maximum is None else self.maximum)
        elif self.kind == "int_list":
            out.update(type="array", minItems=1, items={"type": "integer", "minimum": INT32[0], "maximum": INT32[1]})
        else:
            out["enum"] = list(self.choices)
        if self.default is not None:
            out["default"] = self.default
        return out


# Per-channel values of a run rather than of a model's electronics, which
# every model's override table may hold: they change a channel's PE list
# before it is simulated, never the model built for it.
CHANNEL_OVERRIDES = (
    Parameter("time_offset", "float", "s", "delay added to every PE time of the channel (a cable delay)"),
    Parameter("dark_rate", "float", "Hz", "dark-noise rate of the channel, in place of the run's"),
    Parameter("afterpulse_probability", "float", "",
              "probability that a PE of the channel spawns an afterpulse, in place of the config's"),
)
CHANNEL_OVERRIDE_NAMES = tuple(p.name for p in CHANNEL_OVERRIDES)


def afterpulses_schema() -> dict[str, Any]:
    """The JSON Schema of a config's ``afterpulses`` entry."""
    delay = Parameter("delay_spectrum", "file", "s, relative probability",
                      "spectrum of an afterpulse's delay after its parent PE: a piecewise-linear density, "
                      "delays not negative").schema()
    return {"type": ["object", "null"], "description": "afterpulses: each PE spawns one with this probability",
            "properties": {"probability": {"type": "number", "minimum": 0, "maximum": 1,
                                           "description": "probability that a PE spawns an afterpulse"},
                           "delay_spectrum": delay},
            "required": ["probability", "delay_spectrum"], "additionalProperties": False}


@dataclass(frozen=True)
class Column:
    """A record column: its name, numpy type, unit and meaning; a ``shape``d
    column holds as many values per record as that parameter says. An
    ``added`` column came after the first record files were written: older
    files end before it."""

    name: str
    dtype: type[np.generic]
    unit: str = ""
    meaning: str = ""
    shape: str | None = None
    added: bool = False

    @property
    def shaped(self) -> bool:
        return self.shape is not None


# The types a record's label column takes (``run(label=...)``), by name, and
# the value it holds where no input PE reaches the record: an integer column
# of the PE table gives int64 labels, a floating-point one float64 labels.
LABEL_TYPES: dict[str, float] = {"int64": -1, "float64": float("nan")}

# The kinds of the engines' field tables as the package names them (a seed
# is a config's own key, not a model parameter).
_KINDS = {"spectrum": "file", "real": "float", "integer": "int", "integers": "int_list", "choice": "choice"}


def _parameter(f: dict[str, Any]) -> Parameter:
    """A model parameter from its entry in the engine's field table."""
    return Parameter(f["name"], _KINDS[f["kind"]], f["unit"], f["meaning"], default=f["default"],
                     minimum=f["minimum"], maximum=f["maximum"], choices=tuple(f["choices"]),
                     plausible=f["plausible"], grid=f["grid"], late=f["late"])


def _columns(table: list[dict[str, Any]]) -> tuple[Column, ...]:
    """Record columns from an engine's column table."""
    return tuple(Column(c["name"], np.dtype(c["dtype"]).type, c["unit"], c["meaning"], c["shape"], c["added"])
                 for c in table)


# What a run with truth adds to every record, after the model's own columns
# (the engine's table of them). A file written before an ``added`` one ends
# before it.
TRUTH_COLUMNS = _columns(_core.truth_columns)


# A model's compiled engine: each model has a class of its own, all with one
# interface (the engine classes that the registry below names).
Engine = _core.ZozuvUzaEngine | _core.MultiPMTEngine


@dataclass(frozen=True)
class ModelSpec:
    """Everything the package knows of one detector model."""

    name: str
    # The compiled engine, whose tables give the parameters, the overridable
    # ones and the record columns below.
    engine: type[Engine]
    time_column: str
    # The grids a segment must be a whole number of steps of: a parameter
    # name or a fixed step in seconds, with how the message names the steps;
    # the first is the ADC step.
    segment_grids: tuple[tuple[str | float, str], ...]
    # A record's time stamp in whole ticks of this many seconds, whose seconds
    # counter holds at most ``stamp_seconds``; None: a time in seconds.
    stamp_tick: float | None
    stamp_seconds: int | None
    # Memory of a run: per PE of the blocks in flight, and once for the
    # working memory its simulation takes beyond that (bytes).
    bytes_per_pe: int
    model_bytes: int
    # The parameter whose steps the records' integer time counts (a segment
    # origin goes to the engine in whole steps of it), if not the time stamp.
    count_step: str | None = None
    # Whether a config may ask for noise on every sample of a readout window
    # (``"baseline_noise": true``, batch runs only).
    baseline_noise: bool = False
    parameters: tuple[Parameter, ...] = field(init=False)
    # The electronics values that may differ from channel to channel, in the
    # order an override table lists them.
    overridable: tuple[str, ...] = field(init=False)
    columns: tuple[Column, ...] = field(init=False)
    # The parameter that gives the length of a shaped column, if any.
    samples_key: str | None = field(init=False)
    by_name: Mapping[str, Parameter] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        fields = self.engine.fields
        columns = _columns(self.engine.columns)
        object.__setattr__(self, "parameters", tuple(_parameter(f) for f in fields if f["kind"] in _KINDS))
        object.__setattr__(self, "overridable", tuple(f["name"] for f in sorted(
            (f for f in fields if f["override_column"]), key=lambda f: f["override_column"])))
        object.__setattr__(self, "columns", columns)
        object.__setattr__(self, "samples_key", next((c.shape for c in columns if c.shape is not None), None))
        object.__setattr__(self, "by_name", {p.name: p for p in self.parameters})
        assert all(self.by_name[key].kind in ("int", "float") for key in self.overridable)

    @property
    def override_columns(self) -> tuple[str, ...]:
        """Every column an override table of this model may hold but ``channel``."""
        return (*self.overridable, *CHANNEL_OVERRIDE_NAMES)

    @property
    def shaped_column(self) -> str | None:
        """The column of ``waveform_samples`` values per record, if any."""
        return next((c.name for c in self.columns if c.shaped), None)

    def record_dtype(self, waveform_samples: int = 1, truth: bool = False,
                     label: tuple[str, str] | None = None) -> np.dtype:
        """The structured dtype of one record; ``waveform_samples`` (at least
        1) is the length of a shaped column; ``truth``: with the truth
        columns after the model's own; ``label`` (its name and type, one of
        LABEL_TYPES): with the label column after them (a label implies the
        truth columns)."""
        if self.samples_key is not None and not (
                isinstance(waveform_samples, int | np.integer) and waveform_samples >= 1):
            raise ValueError(f"waveform_samples must be a whole number of at least 1, got {waveform_samples!r}")
        columns = self.columns + (TRUTH_COLUMNS if truth or label is not None else ())
        fields: list[Any] = [(c.name, c.dtype, (int(waveform_samples),)) if c.shaped else (c.name, c.dtype)
                             for c in columns]
        if label is not None:
            fields.append((label[0], np.dtype(label[1])))
        return np.dtype(fields)

    def waveform_samples(self, params: Mapping[str, Value]) -> int:
        """The length of a record's shaped column for these parameters (1
        where the model has none)."""
        if self.samples_key is None:
            return 1
        return int(cast(int, params.get(self.samples_key, 1)))

    def schema(self) -> dict[str, Any]:
        """The JSON Schema of a config file of this model."""
        properties: dict[str, Any] = {
            "model": {"const": self.name, "description": "the detector model"},
            "seed": {"type": ["integer", "null"], "description": "the seed of a run that gives none"},
            "overrides": {"type": ["string", "object", "null"],
                          "description": "per-channel values: a CSV or Parquet file relative to the config, or "
                                         "columns 'channel' and any of " + ", ".join(self.override_columns)},
            "afterpulses": afterpulses_schema(),
        }
        if self.baseline_noise:
            properties["baseline_noise"] = {
                "type": "boolean", "default": False,
                "description": "batch runs: every window sample without an ADC entry gets the offset plus "
                               "Gaussian noise, clipped and rounded as the ADC converts a value"}
        properties.update({p.name: p.schema(p.name in self.overridable) for p in self.parameters})
        return {
            "$schema": "https://json-schema.org/draft/2020-12/schema",
            "title": f"velmora {self.name} detector config",
            "type": "object",
            "properties": properties,
            "required": ["model", *(p.name for p in self.parameters if p.required)],
            "additionalProperties": False,
        }


ZOZUVUZA = ModelSpec(
    name="ZozuvUza",
    engine=_core.ZozuvUzaEngine,
    time_column="time_ns",
    segment_grids=(("adc_step", "ADC steps"), (STAMP_TICK, "4 ns time-stamp ticks")),
    stamp_tick=STAMP_TICK,
    stamp_seconds=STAMP_SECONDS,
    bytes_per_pe=68,
    model_bytes=0,
    baseline_noise=True,
)

MULTIPMT = ModelSpec(
    name="MultiPMT",
    engine=_core.MultiPMTEngine,
    time_column="time",
    segment_grids=(("adc_step", "ADC steps"), ("tot_step", "TDC steps")),
    stamp_tick=None,
    stamp_seconds=None,
    bytes_per_pe=145,
    model_bytes=23 * 2**20,
    count_step="tot_step",
)

MODELS: dict[str, ModelSpec] = {spec.name: spec for spec in (ZOZUVUZA, MULTIPMT)}

# The longest ZozuvUza readout window, in ADC samples (the bound of its
# shaped column's length parameter).
MAX_WAVEFORM_SAMPLES: int = cast(int, ZOZUVUZA.by_name[cast(str, ZOZUVUZA.samples_key)].maximum)


def unknown_model(where: str, model: object) -> ValueError:
    return ValueError(f"{where}: 'model' must be one of {', '.join(MODELS)}, got {model!r}")


def spec_of(model: object, where: str = "model") -> ModelSpec:
    """The ModelSpec of the model named ``model``, or the unknown-model error."""
    if isinstance(model, str) and model in MODELS:
        return MODELS[model]
    raise unknown_model(where, model)


def config_schema_file(model: str) -> Path:
    """The JSON Schema of ``model``'s config file, as installed with the package."""
    return Path(__file__).parent / "schemas" / f"config-{spec_of(model).name}.schema.json"


def config_schema_text(model: str) -> str:
    """The JSON Schema of ``model``'s config file, made from its parameter
    table (what the installed file holds)."""
    return json.dumps(spec_of(model).schema(), indent=2) + "\n"
