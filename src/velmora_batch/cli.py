"""The ``velmora`` command: a thin shell over :func:`velmora_batch.run`.

    velmora run CONFIG [--pes FILE [--pes-key NAME]] [--dark-rate HZ --duration S] [--channels 0-1999]
                [--seed N] [--workers N] [--seeding independent|sequential] [--segment S]
                [--set key=value ...] [--dry-run] [--progress/--no-progress]
                [--scheduler ADDRESS | --cluster local] [--resume | --overwrite] [--truth [links]] [--label COLUMN]
                -o OUTPUT
    velmora calibrate CONFIG [--npe 1,2,5,10] [--events N] [--seed N] [-o TABLE.csv] [--plot FILE.png]
    velmora convert IN OUT [--overwrite]
"""

from __future__ import annotations

import dataclasses
import json
import math
import re
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import click

from ._calibrate import DEFAULT_NPE, flash_times, format_table, plot_walk, write_table
from ._calibrate import calibrate as calibrate_detector
from ._detector import DECIMAL, Detector, read_config, unknown_keys
from ._models import MODELS, Parameter, config_schema_file, spec_of
from ._dataset import is_dataset
from ._errors import OptionError, option_text
from ._events import write_events
from ._executors import dask_client
from ._convert import convert as convert_records
from ._info import damage_text, info_text
from ._info import inspect as inspect_output
from ._formats import MissingExtra
from ._options import RunOptions
from ._pes import FilePEs, PETable
from ._plan import default_workers, estimate_peak
from ._records import check_output, columns_table
from ._stop import stop_on_signals
from ._run import RunSummary, plan_run, run_with
from .formats import record_suffixes, suffixes, suffixes_text, table_format, table_suffixes_text
from .formats.parquet import SUFFIX as EVENT_SUFFIX  # event tables are Parquet files

# Errors of the user's input and of the model, shown as one line without a traceback.
USER_ERRORS = (ValueError, RuntimeError, OSError, MemoryError, MissingExtra)


# Numbers as the command line takes them: ASCII digits only. click's int and
# float types take what int() and float() take, which includes other scripts'
# digits and digit separators ("1_000"). The words inf and nan pass, so that
# the run's own checks name the option and the value.
_ASCII_INT = re.compile(r"\s*[+-]?[0-9]+\s*", re.ASCII)
_ASCII_FLOAT = re.compile(r"\s*[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)\s*",
                          re.ASCII | re.IGNORECASE)


class _AsciiInt(click.IntRange):
    """A whole number in ASCII digits with an optional sign, within the range given."""

    name = "integer"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, str) and not _ASCII_INT.fullmatch(value):
            self.fail(f"{value!r} is not a whole number in ASCII digits.", param, ctx)
        return super().convert(value, param, ctx)

    def _describe_range(self) -> str:
        # Without bounds there is no range to show (click would show "x<=None").
        return "" if self.min is None and self.max is None else super()._describe_range()


class _AsciiFloat(click.types.FloatParamType):
    """A decimal number in ASCII digits, with an optional sign, fraction and exponent."""

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, str) and not _ASCII_FLOAT.fullmatch(value):
            self.fail(f"{value!r} is not a decimal number in ASCII digits.", param, ctx)
        return super().convert(value, param, ctx)


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="velmora", prog_name="velmora")
def main() -> None:
    """Whole-detector runs of the velmora PMT readout simulation."""


@main.command()
@click.argument("config", type=click.Path(exists=True, dir_okay=False, path_type=Path))
@click.option("--pes", type=click.Path(exists=True, dir_okay=False, path_type=Path),
              help=f"PE table ({suffixes_text(suffixes(pes=True))}) with columns channel and time (seconds).")
@click.option("--pes-key", metavar="NAME",
              help="The tree (ROOT) or table (HDF5) of the PE file that holds the PEs (default: its only one).")
@click.option("--dark-rate", type=_AsciiFloat(), metavar="HZ", help="Dark-noise rate per channel, PEs per second.")
@click.option("--duration", type=_AsciiFloat(), metavar="S", help="Dark-noise duration in seconds, from time 0.")
@click.option("--channels", metavar="LIST", help="Channels to simulate, e.g. 0-1999 or 0-9,20,30-39.")
@click.option("--seed", type=_AsciiInt(), metavar="N", help="Seed of the run (default: the config's).")
@click.option("--workers", type=_AsciiInt(min=1), default=default_workers, metavar="N",
              show_default="the number of cores", help="Worker threads, each simulating one channel at a time.")
@click.option("--seeding", type=click.Choice(["independent", "sequential"]), default="independent",
              show_default=True, help="Seed per channel, or one generator for all channels in order.")
@click.option("--segment", type=_AsciiFloat(), metavar="S", help="Simulate long runs in segments of S seconds.")
@click.option("--block-channels", type=_AsciiInt(min=1), metavar="N", help="Channels per block of output.")
@click.option("--set", "settings", multiple=True, metavar="KEY=VALUE",
              help="Change a config value (repeatable), e.g. --set gain=32.5.")
@click.option("--dry-run", is_flag=True, help="Print what the run would do and exit.")
@click.option("--progress/--no-progress", default=None,
              help="Progress bar on standard error (default: when it is a terminal).")
@click.option("--scheduler", metavar="ADDRESS", help="Run the blocks on the Dask cluster of this scheduler.")
@click.option("--cluster", type=click.Choice(["local"]),
              help="Run the blocks on a local Dask cluster of --workers processes.")
@click.option("--max-memory", default="auto", show_default=True, metavar="BYTES|auto|none",
              help="Refuse a run whose estimated peak memory exceeds BYTES (e.g. 8G), the memory available now "
                   "(auto) or nothing (none).")
@click.option("--dashboard", is_flag=True,
              help="With --cluster local, serve the Dask dashboard on 127.0.0.1 and print its address.")
@click.option("--resume", is_flag=True, help="Continue an interrupted run into the same dataset directory.")
@click.option("--overwrite", is_flag=True, help="Replace an existing record file or dataset directory.")
@click.option("--truth", type=click.Choice(["columns", "links"]), is_flag=False, flag_value="columns",
              default=None, metavar="[links]",
              help="Add to every record the PEs that made it (n_pe, true_charge, first_pe_time, n_dark, "
                   "n_afterpulse, n_pe_any; each PE counted in the record that holds its largest share of pulse); "
                   "'--truth links' also writes one link per record and PE, with its share (fraction), beside the "
                   "records, with the PE table's other columns.")
@click.option("--label", metavar="COLUMN",
              help="Give every record the value of this column of the PE table (such as event_id) of its input PE "
                   "with the largest charge share, in a column of that name after the truth columns, which come "
                   "with it: -1 (integers) or NaN (floats) where no input PE reaches the record.")
@click.option("--order", type=click.Choice(["channel", "time"]), default="channel", show_default=True,
              help="Records in (channel, time) order, or in time order across channels (a record file is written "
                   "by a merge pass over the sorted blocks; a dataset directory reads back in time order).")
@click.option("-o", "--output", type=click.Path(),
              help=f"Record file to write ({suffixes_text()}), or a dataset directory (one Parquet part "
                   "per block).")
def run(config: Path, pes: Path | None, settings: tuple[str, ...], dry_run: bool, scheduler: str | None,
        cluster: str | None, dashboard: bool, **given: Any) -> None:
    """Simulates the detector of CONFIG for a PE table and/or dark noise and
    writes its records to OUTPUT."""
    warnings.showwarning = _show_warning
    options = _run_options(given)
    output = options.output
    if output is None and not dry_run:
        raise click.UsageError("Missing option '-o' / '--output'.")
    if pes is None and options.dark_rate is None:
        raise click.UsageError("Nothing to simulate: give --pes FILE and/or --dark-rate HZ --duration S.")
    if output is not None:
        try:
            check_output(output)
        except ValueError as e:
            raise click.UsageError(f"Option '-o' / '--output': {e}.") from None
    if output is not None and not is_dataset(output) and Path(output).suffix.lower() not in record_suffixes():
        raise click.UsageError(f"Output {output}: record files must end in {suffixes_text()}.")
    if options.pes_key is not None and pes is None:
        raise click.UsageError("--pes-key names the tree or table of a --pes file; give --pes FILE.")
    if scheduler is not None and cluster is not None:
        raise click.UsageError("Give --scheduler or --cluster, not both.")
    if dashboard and cluster is None:
        raise click.UsageError("--dashboard goes with --cluster local (a scheduler serves its own).")
    try:
        detector = load_detector(config, settings)
        # The PE file is read in pieces by the run itself, never whole.
        if dry_run:
            # Refuses exactly what the run would refuse before its first block.
            click.echo(describe(detector, pes, options))
            return
        workers = default_workers() if options.workers is None else options.workers  # --workers has a default
        with stop_on_signals(), dask_client(scheduler, cluster, workers, dashboard=dashboard) as executor:
            summary = run_with(detector, pes, dataclasses.replace(options, executor=executor))
    except USER_ERRORS as e:
        raise click.ClickException(option_message(e)) from None
    except EOFError as e:
        # click takes an EOFError that reaches it for the end of the user's
        # input and reports "Aborted!": only Ctrl-C interrupts a run.
        raise click.ClickException(f"unexpected end of a file: {option_message(e)}" if str(e) else
                                   "unexpected end of a file") from None
    assert isinstance(summary, RunSummary)
    click.echo(f"{summary.rows} records written to {output}")


def _run_options(given: dict[str, Any]) -> RunOptions:
    """The run's options as the command line's options give them (``--truth``
    as run() takes it, the progress bar by default where standard error is a
    terminal), checked as run() checks them: a refusal is a usage error."""
    truth, progress = given.pop("truth"), given.pop("progress")
    try:
        return RunOptions(**given, truth="links" if truth == "links" else truth == "columns",
                          progress=sys.stderr.isatty() if progress is None else progress)
    except OptionError as e:
        raise click.UsageError(option_message(e)) from None


def _npe_list(ctx: click.Context, param: click.Parameter, value: str) -> list[int]:
    """--npe text as whole numbers: ``1,2,5,10``."""
    words = [w.strip() for w in value.split(",")]
    if not all(_ASCII_INT.fullmatch(w) for w in words):
        raise click.BadParameter(f"{value!r} is not a comma-separated list of whole numbers, e.g. 1,2,5,10.")
    numbers_ = [int(w) for w in words]
    bad = [n for n in numbers_ if n < 1]
    if bad:
        raise click.BadParameter(f"PEs per flash must be at least 1, got {bad[0]}.")
    return numbers_


@main.command()
@click.argument("config", type=click.Path(exists=True, dir_okay=False, path_type=Path))
@click.option("--npe", default=",".join(map(str, DEFAULT_NPE)), show_default=True, callback=_npe_list,
              metavar="N,N,...", help="PEs per flash, one row of the table each.")
@click.option("--events", type=_AsciiInt(min=1, max=2**31), default=1000, show_default=True, metavar="N",
              help="Flashes (independent events) per number of PEs.")
@click.option("--seed", type=_AsciiInt(min=0), metavar="N", help="Seed of the calibration (default: the config's).")
@click.option("--workers", type=_AsciiInt(min=1), default=default_workers, metavar="N",
              show_default="the number of cores", help="Worker threads.")
@click.option("--set", "settings", multiple=True, metavar="KEY=VALUE",
              help="Change a config value (repeatable), e.g. --set trigger_offset=-5.")
@click.option("-o", "--output", type=click.Path(dir_okay=False), help=f"Write the table to this {table_suffixes_text()} file.")
@click.option("--overwrite", is_flag=True, help="Replace an existing table file.")
@click.option("--plot", type=click.Path(dir_okay=False), metavar="FILE.png",
              help="Draw the walk curve and the efficiency to this image (needs matplotlib).")
def calibrate(config: Path, npe: list[int], events: int, seed: int | None, workers: int,
              settings: tuple[str, ...], output: str | None, overwrite: bool, plot: str | None) -> None:
    """Measures the delay of the records of CONFIG after flashes of a given
    number of PEs (the walk curve) and prints it as a table: per number of
    PEs the efficiency (events with exactly one record, with at least one)
    and the delay of each event's first record (its time minus the flash
    time, in ns): mean, RMS and the 16/50/84 % quantiles."""
    warnings.showwarning = _show_warning
    if output is not None and table_format(output) is None:
        raise click.UsageError(f"Output {output}: a calibration table is written as {table_suffixes_text()}.")
    if output is not None and Path(output).exists() and not overwrite:
        raise click.UsageError(f"Output {output}: exists; give --overwrite to replace it.")
    for option, path in (("-o", output), ("--plot", plot)):
        # Refused before the calibration runs rather than after it.
        if path is not None and not Path(path).resolve().parent.is_dir():
            raise click.UsageError(f"{option} {path}: the directory {Path(path).parent} does not exist.")
    try:
        detector = load_detector(config, settings)
        with stop_on_signals():
            table = calibrate_detector(detector, npe, events, seed=seed, workers=workers)
        times = flash_times(detector, events)
        click.echo(f"{detector.model}: {events} flashes per row from {times.min() * 1e9:g} to "
                   f"{times.max() * 1e9:g} ns, seed {detector.seed if seed is None else seed}; "
                   "delay = first record's time - flash time")
        click.echo(format_table(table))
        if output is not None:
            write_table(table, output, overwrite=overwrite)
            click.echo(f"table written to {output}")
        if plot is not None:
            plot_walk(table, plot, title=f"{detector.model} walk curve ({config.name}, {events} flashes per point)")
            click.echo(f"walk curve written to {plot}")
    except (*USER_ERRORS, ImportError) as e:
        raise click.ClickException(option_message(e)) from None


@main.command()
@click.argument("source", metavar="IN", type=click.Path(path_type=Path))
@click.argument("target", metavar="OUT", type=click.Path())
@click.option("--overwrite", is_flag=True, help="Replace an existing record file or dataset directory.")
def convert(source: Path, target: str, overwrite: bool) -> None:
    """Converts the records of IN (a record file or a dataset directory) to
    OUT, in the format its name gives: .parquet, .npz, .root, .h5, or a
    directory for a dataset."""
    try:
        check_output(target)
    except ValueError as e:
        raise click.UsageError(f"OUT: {e}.") from None
    if not is_dataset(target) and Path(target).suffix.lower() not in record_suffixes():
        raise click.UsageError(f"OUT {target}: record files must end in {suffixes_text()}.")
    try:
        with stop_on_signals():
            rows = convert_records(source, target, overwrite=overwrite)
    except USER_ERRORS as e:
        raise click.ClickException(" ".join(str(e).split())) from None
    click.echo(f"{rows} records written to {target}")


@main.command()
@click.argument("records", metavar="RECORDS", type=click.Path(exists=True, path_type=Path))
@click.option("-o", "--output", "events", required=True, type=click.Path(path_type=Path),
              help=f"Event table to write ({EVENT_SUFFIX}).")
@click.option("--multiplicity", type=_AsciiInt(min=1), required=True, metavar="N",
              help="Channels an event needs within the window.")
@click.option("--window", type=_AsciiFloat(), required=True, metavar="S", help="The trigger window in seconds.")
@click.option("--records-out", type=click.Path(path_type=Path),
              help="Also write the records in time order with their event column and record_row, their row in "
                   f"RECORDS that links name ({EVENT_SUFFIX}).")
@click.option("--overwrite", is_flag=True, help="Replace existing output files.")
def events(records: Path, events: Path, multiplicity: int, window: float, records_out: Path | None,
           overwrite: bool) -> None:
    """Groups the records of RECORDS (a record file or a dataset directory),
    taken in time order, into events: the earliest record not in an event
    opens a window of S seconds, and the records in it form an event when
    they come from at least N channels; else the next record opens one.
    Writes the event table (event, start, end, channels, records, charge)
    and, with --records-out, the records with an event column (-1: none)
    and record_row (their row in RECORDS, the row their links name)."""
    try:
        with stop_on_signals():
            found, rows = write_events(records, events, multiplicity=multiplicity, window=window,
                                       records_out=records_out, overwrite=overwrite)
    except USER_ERRORS as e:
        raise click.ClickException(" ".join(str(e).split())) from None
    click.echo(f"{found} events of {rows} records written to {events}")


@main.group()
def schema() -> None:
    """The layout of velmora's files: JSON Schemas of config files, for editors
    to check and complete them, and the columns of record files."""


@schema.command("config")
@click.argument("model", type=click.Choice(list(MODELS)), metavar="MODEL")
def schema_config(model: str) -> None:
    """Prints the JSON Schema of a MODEL detector config: every parameter with
    its type, unit, bounds and meaning."""
    click.echo(config_schema_file(model).read_text(), nl=False)


@schema.command("records")
@click.argument("model", type=click.Choice([*MODELS, "links"]), metavar="MODEL|links")
@click.option("--markdown", is_flag=True, help="As a Markdown table.")
def schema_records(model: str, markdown: bool) -> None:
    """Prints the columns of a MODEL record file (or of a links file): each
    with its type, unit and meaning, and the option that adds it where it is
    not always written."""
    click.echo(columns_table(model, markdown=markdown), nl=False)


@main.command()
@click.argument("path", type=click.Path(path_type=Path), metavar="FILE|DIR")
@click.option("--json", "as_json", is_flag=True, help="As one JSON object, the metadata in full.")
def info(path: Path, as_json: bool) -> None:
    """Prints what a record file, links file, event table or dataset directory holds: its
    columns with their types, units and meanings, the run's description
    stored with it, its number of rows and, for a dataset, whether it is
    complete (every part present and matching the manifest). Exits with
    status 1 for a dataset that is not complete; one whose run finished but
    whose parts are not as written is a one-line error naming the part."""
    try:
        report = inspect_output(path)
    except USER_ERRORS as e:
        raise click.ClickException(option_message(e)) from None
    if report.damaged and not as_json:
        raise click.ClickException(damage_text(report))
    click.echo(json.dumps(report.as_json(), indent=1) if as_json else info_text(report), nl=as_json)
    if report.complete is False:
        sys.exit(1)


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: Any = None, line: str | None = None) -> None:
    # One line on standard error, without the source line a library warning would show.
    click.echo(f"Warning: {message}", err=True)


def option_message(error: BaseException) -> str:
    """An error of run() or the loaders as the command line shows it: on one
    line, the run options it names spelled as options (``--segment``)."""
    return " ".join(option_text(error, command_line=True).split())


# A whole number as a config value is written: ASCII digits with an optional
# sign (int() would also take other scripts' digits and digit separators).
_INTEGER = re.compile(r"[+-]?[0-9]+")


def _int_text(text: str) -> int:
    if not _INTEGER.fullmatch(text.strip()):
        raise ValueError(text)
    return int(text)


# The parameters of a config that are not a model's own, as --set reads them.
_SEED = Parameter("seed", "int", "", "seed")
_OVERRIDES = Parameter("overrides", "file", "", "per-channel values")
_BASELINE_NOISE = Parameter("baseline_noise", "choice", "", "noise on every window sample", choices=("true", "false"))


def _setting_parameter(key: str, model: object) -> Parameter:
    """The parameter ``--set key=...`` changes, or the error naming why
    there is none."""
    if key == "model":
        raise ValueError("--set: the model cannot be changed")
    if key in (_SEED.name, _OVERRIDES.name):
        return _SEED if key == _SEED.name else _OVERRIDES
    # Without a known model there are no keys to offer: name the model's fault instead.
    spec = spec_of(model, f"--set {key}")
    known = {**spec.by_name, **{p.name: p for p in (_SEED, _OVERRIDES)}}
    if spec.baseline_noise:
        known[_BASELINE_NOISE.name] = _BASELINE_NOISE
    unknown_keys([key], list(known), "--set", "key")
    return known[key]


def _setting_value(param: Parameter, text: str, base_dir: Path | None) -> Any:
    """The value of ``--set`` text in the type its parameter takes (a
    ValueError where it does not read as one)."""
    if param.kind == "file":
        return str((base_dir or Path.cwd()) / text)
    if param.kind == "int_list":
        return json.loads(text) if text.strip().startswith("[") else [_int_text(v) for v in text.split(",")]
    if param.kind == "int":
        return _int_text(text)
    if param.kind == "float":
        # Decimal numbers in ASCII only: float() would also take other
        # scripts' digits, digit separators and words such as "nan".
        value = float(text) if DECIMAL.fullmatch(text.strip().encode("utf-8")) else math.nan
        if not math.isfinite(value):
            raise ValueError(text)
        return value
    if param is _BASELINE_NOISE:
        if text.strip().lower() not in param.choices:
            raise ValueError(text)
        return text.strip().lower() == "true"
    return text


def apply_settings(config: dict[str, Any], settings: Sequence[str], base_dir: Path | None = None) -> dict[str, Any]:
    """A copy of a config with ``key=value`` settings applied, each value read
    in the type its key takes: numbers, integers, a list of integers
    (``1,1,1,1`` or JSON), an EarlyHandling name, a file name (relative to
    ``base_dir``, default the working directory) or a seed. The config's own
    checks then judge the values."""
    out = dict(config)
    for setting in settings:
        key, sep, text = setting.partition("=")
        key = key.strip()
        if not sep or not key:
            raise ValueError(f"--set {setting!r}: expected key=value")
        param = _setting_parameter(key, out.get("model"))
        try:
            out[key] = _setting_value(param, text, base_dir)
        except ValueError:
            if key == "seed":
                raise ValueError(f"--set seed={text}: 'seed' must be a whole number (with independent seeding not "
                                 "negative, with sequential seeding within the 32-bit signed range)") from None
            raise ValueError(f"--set {key}={text}: {key!r} must be {param.expected()}") from None
    return out


def load_detector(config: Path, settings: tuple[str, ...]) -> Detector:
    """The detector of a config file with the ``--set`` changes applied."""
    if not settings:
        return Detector.from_config(config)
    raw = read_config(config)
    if not isinstance(raw, dict):
        raise ValueError(f"{config}: a config must be a JSON object")
    return Detector.from_dict(apply_settings(raw, settings), base_dir=config.parent, where=str(config))


def plan(detector: Detector, pes: PETable | Path | None, options: RunOptions) -> dict[str, Any]:
    """The size of a run, planned and checked as ``run`` plans and checks it
    (refusing what it would refuse, and changing nothing): channels,
    expected PEs, blocks, workers and an estimate of its peak memory."""
    setup = plan_run(detector, pes, options)
    try:
        return {"channels": len(setup.inputs.channels), "pes": setup.inputs.expected_pes(), "blocks": setup.blocks,
                "block_channels": setup.block_channels, "workers": setup.workers,
                "peak_bytes": estimate_peak(setup)}
    finally:
        if isinstance(setup.inputs.pes, FilePEs):
            setup.inputs.pes.close()


def describe(detector: Detector, pes: PETable | Path | None, options: RunOptions) -> str:
    """What a run would do: channels, expected PEs, blocks and an estimate of
    its peak memory."""
    plan_ = plan(detector, pes, options)
    lines = [
        f"model:          {detector.model}",
        f"channels:       {plan_['channels']}",
        f"expected PEs:   {plan_['pes']:.6g}",
        f"blocks:         {plan_['blocks']} of up to {plan_['block_channels']} channels",
        f"workers:        {plan_['workers']}",
        f"peak memory:    about {plan_['peak_bytes'] / 2**20:.0f} MiB (estimate)",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
