"""Where the records of a run go as its blocks finish: into an array in
memory, a record file (Parquet or .npz, written in channel order) or a
dataset directory (each block's part written where it ran, described by the
manifest). Each takes the results in completion order and says how many
finished blocks it still holds, which counts in the run's window."""

from __future__ import annotations

import collections
import contextlib
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from ._dataset import LINKS_DIRECTORY_KEY, ManifestWriter, claim, links_folder_name, prepare_dataset, run_digest
from ._jobs import BlockJob, BlockResult
from ._links import InsideLinks, LinksWriter, open_links, shifted
from ._order import SortedRuns
from ._plan import PE_INPUT_KEYS, RunPlan, run_identity
from ._records import Columns, open_writer, prepare_record_file, records_of
from ._tables import records_by_time


@dataclass(frozen=True)
class RunSummary:
    """What ``run`` returns when it writes a file: the file, the number of
    records written, channels and blocks simulated, and the seed and seeding
    mode (the seed drawn by the run when none was given)."""

    path: Path
    rows: int
    channels: int
    blocks: int
    seed: int
    seeding: str


class Sink:
    """Takes a run's block results; :meth:`finish` gives what ``run``
    returns, :meth:`abort` drops what a failed run wrote."""

    def __init__(self, plan: RunPlan, order: str = "channel") -> None:
        self.plan = plan
        self.by_time = order == "time"  # the run's records in time order across channels
        self.done: dict[int, dict[str, Any]] = {}  # blocks complete before the run (by first channel)
        self.part_metadata: dict[str, Any] | None = None  # what a part written where its block ran carries
        self.directory: Path | None = None  # where the blocks write their parts
        self.links_folder: Path | None = None  # and their links parts

    def track(self, jobs: Iterator[BlockJob]) -> Iterator[BlockJob]:
        """``jobs`` as they are submitted."""
        return jobs

    def held(self) -> int:
        """Finished blocks held here, waiting for an earlier one."""
        return 0

    def add(self, result: BlockResult) -> None:
        raise NotImplementedError

    def finish(self) -> np.ndarray | tuple[np.ndarray, pa.Table] | RunSummary:
        raise NotImplementedError

    def abort(self) -> None:
        pass

    def summary(self, rows: int) -> RunSummary:
        plan = self.plan
        assert plan.output is not None
        return RunSummary(plan.output, rows, len(plan.inputs.channels), plan.blocks, plan.inputs.seed,
                          plan.inputs.seeding)


class ArraySink(Sink):
    """The records in memory, kept as columns until the run ends and then
    made into one structured array in (channel, time) order; with links,
    given with them as one pyarrow Table."""

    def __init__(self, plan: RunPlan, order: str = "channel") -> None:
        super().__init__(plan, order)
        self.blocks: dict[int, Columns] = {}
        self.links: dict[int, pa.Table] = {}

    def add(self, result: BlockResult) -> None:
        assert result.columns is not None
        self.blocks[result.index] = result.columns
        if result.links is not None:
            self.links[result.index] = result.links

    def finish(self) -> np.ndarray | tuple[np.ndarray, pa.Table]:
        order = sorted(self.blocks)
        rows = np.cumsum([0] + [len(self.blocks[i]["channel"]) for i in order]).tolist()
        records = records_of([self.blocks.pop(i) for i in order], self.plan.dtype)
        if self.by_time:
            return records_by_time(records)  # a run in time order takes no links
        if self.plan.truth != "links":
            return records
        links = [shifted(self.links.pop(i), start) for i, start in zip(order, rows, strict=False)]
        return records, (pa.concat_tables(links) if links else self.plan.links_schema.empty_table())


class RecordFileSink(Sink):
    """A record file, written block by block in channel order: a block that
    finishes before an earlier one waits here."""

    def __init__(self, plan: RunPlan, overwrite: bool) -> None:
        super().__init__(plan)
        assert plan.output is not None
        prepare_record_file(plan.output, overwrite)
        self.writer = open_writer(plan.output, model=plan.detector.model, waveform_samples=plan.waveform_samples,
                                  metadata=plan.metadata, overwrite=overwrite, truth=plan.truth is not None,
                                  label=plan.label)
        self.links: LinksWriter | InsideLinks | None = None
        if plan.truth == "links":
            try:
                self.links = open_links(self.writer, plan.links_schema, plan.metadata["links_id"], overwrite)
            except BaseException:
                self.writer.abort()
                raise
        self.waiting: dict[int, Columns] = {}
        self.waiting_links: dict[int, pa.Table] = {}
        self.order: collections.deque[int] = collections.deque()  # submitted and not yet written

    def track(self, jobs: Iterator[BlockJob]) -> Iterator[BlockJob]:
        for job in jobs:
            self.order.append(job.index)
            yield job

    def held(self) -> int:
        return len(self.waiting)

    def add(self, result: BlockResult) -> None:
        assert result.columns is not None
        self.waiting[result.index] = result.columns
        if result.links is not None:
            self.waiting_links[result.index] = result.links
        while self.order and self.order[0] in self.waiting:
            index = self.order.popleft()
            if self.links is not None:
                self.links.write(shifted(self.waiting_links.pop(index), self.writer.rows))
            self.writer.write(self.waiting.pop(index))

    def finish(self) -> RunSummary:
        if self.links is not None:
            self.links.close()
        self.writer.close()
        return self.summary(self.writer.rows)

    def abort(self) -> None:
        if self.links is not None:
            self.links.abort()
        self.writer.abort()


class TimeOrderedFileSink(Sink):
    """A record file in time order across channels: each block, sorted by
    time as it finishes, is spilled beside the output, and the spilled blocks
    are merged into the file a chunk at a time when the run ends."""

    def __init__(self, plan: RunPlan, overwrite: bool) -> None:
        super().__init__(plan, "time")
        assert plan.output is not None
        prepare_record_file(plan.output, overwrite)
        self.writer = open_writer(plan.output, model=plan.detector.model, waveform_samples=plan.waveform_samples,
                                  metadata=dict(plan.metadata, order="time"), overwrite=overwrite,
                                  truth=plan.truth is not None, label=plan.label)
        self.writer.channel_order = False
        self.runs = SortedRuns(plan.output, plan.dtype)

    def add(self, result: BlockResult) -> None:
        assert result.columns is not None
        self.runs.add(result.columns)

    def finish(self) -> RunSummary:
        try:
            for chunk in self.runs.merged():
                self.writer.write(chunk)
            self.writer.close()
        finally:
            self.runs.close()
        return self.summary(self.writer.rows)

    def abort(self) -> None:
        self.runs.close()
        self.writer.abort()


class DatasetSink(Sink):
    """A dataset directory, claimed for the run: each block's part is written
    where it ran, and the manifest lists it here."""

    def __init__(self, plan: RunPlan, resume: bool, overwrite: bool, held: contextlib.ExitStack,
                 order: str = "channel") -> None:
        super().__init__(plan, order)
        assert plan.output is not None
        self.directory = directory = plan.output.absolute()
        ident = run_identity(plan)
        # A part carries only what ties it to the run; the manifest holds the rest.
        self.part_metadata = {"run": run_digest(ident), "seed": plan.inputs.seed}
        held.enter_context(claim(directory))  # released however the run ends
        self.done = prepare_dataset(directory, ident, resume, overwrite, plan.dtype)
        described = {k: plan.metadata[k] for k in PE_INPUT_KEYS if k in plan.metadata}
        if plan.truth == "links":
            described[LINKS_DIRECTORY_KEY] = links_folder_name(directory)
            self.links_folder = directory.parent / described[LINKS_DIRECTORY_KEY]
            self.links_folder.mkdir(exist_ok=True)
        if self.by_time:
            described["order"] = "time"  # read back in time order: parts stay blocks of channels
        self.manifest = ManifestWriter(directory, ident, self.done, described, plan.dtype)

    def add(self, result: BlockResult) -> None:
        assert result.part is not None
        entry: dict[str, Any] = {"first": result.first, "last": result.last, "channels": result.channels,
                                 "file": result.part.file, "rows": result.rows, "sha256": result.part.sha256}
        if result.links_part is not None:
            entry["links"] = {"file": result.links_part.file, "rows": result.links_part.rows,
                              "sha256": result.links_part.sha256}
        self.manifest.add(entry)

    def finish(self) -> RunSummary:
        self.manifest.save(complete=True)
        return self.summary(sum(int(b["rows"]) for b in self.manifest.blocks.values()))

    def abort(self) -> None:
        self.manifest.save(complete=False)  # what is complete so far, for a resume


def open_sink(plan: RunPlan, *, resume: bool, overwrite: bool, held: contextlib.ExitStack,
              order: str = "channel") -> Sink:
    """The sink of the run's output, its records in ``order`` (``"channel"``
    or ``"time"``); ``held`` keeps what the sink holds until the run ends (a
    dataset directory's claim)."""
    if plan.output is None:
        return ArraySink(plan, order)
    if plan.dataset:
        return DatasetSink(plan, resume, overwrite, held, order)
    if order == "time":
        return TimeOrderedFileSink(plan, overwrite)
    return RecordFileSink(plan, overwrite)
