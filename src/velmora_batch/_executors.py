"""Where the blocks of a run go: the run's own thread pool, a
``concurrent.futures.Executor`` (threads or processes) or a Dask
``distributed.Client``, all through one submit/wait loop that bounds the
blocks a run holds at once."""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import sys
import uuid
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, TypeAlias

from . import _core
from ._jobs import CANCEL, BlockJob, BlockResult, VersionMismatch, run_block, worker_version
from ._stop import check_stop

if TYPE_CHECKING:
    import distributed
    from typing_extensions import TypeIs

    # Where the blocks of a run go: a pool of this process or a Dask cluster.
    BlockExecutor: TypeAlias = concurrent.futures.Executor | distributed.Client


def _is_dask_client(executor: object) -> TypeIs[distributed.Client]:
    distributed = sys.modules.get("distributed")
    return distributed is not None and isinstance(executor, distributed.Client)


def check_versions(executor: BlockExecutor, version: str) -> None:
    """Refuses, before any block is submitted, workers whose velmora version
    differs from this process's."""
    if _is_dask_client(executor):
        versions: dict[str, str] = executor.run(worker_version)
    else:
        versions = {"the executor's worker": executor.submit(worker_version).result()}
    bad = {w: v for w, v in versions.items() if v != version}
    if bad:
        listed = ", ".join(f"{w} runs {v}" for w, v in sorted(bad.items()))
        raise VersionMismatch(f"velmora version mismatch: this client runs {version}, but {listed}; "
                              "install the same velmora version on every worker")


def executor_slots(executor: BlockExecutor, workers: int) -> int:
    """How many blocks run at once on ``executor``."""
    if _is_dask_client(executor):
        return max(1, int(sum(executor.nthreads().values())))
    return max(1, workers)


def executor_window(slots: int) -> int:
    """How many blocks a run on an executor holds at once, submitted or
    finished and not yet written: enough queued that a worker never waits
    for the round trip of its next block, few enough that their PEs and
    records take little memory here."""
    return 4 * slots + 4


def check_executor(executor: object) -> None:
    if not (isinstance(executor, concurrent.futures.Executor) or _is_dask_client(executor)):
        raise TypeError("executor must be a concurrent.futures.Executor or a dask.distributed Client, "
                        f"got {type(executor).__name__}")


def run_jobs(executor: BlockExecutor, jobs: Iterable[BlockJob], window: int,
             on_done: Callable[[BlockResult], None], held: Callable[[], int] = lambda: 0) -> None:
    """Submits ``jobs`` with at most ``window`` of them submitted and not yet
    handed to ``on_done`` or, after it, still held by the caller (``held()``:
    finished blocks waiting to be written); ``on_done`` gets each result in
    completion order. On any failure the remaining jobs are cancelled,
    blocks running in this process are stopped, and blocks running on a Dask
    cluster, which cannot be stopped from here, are waited for: none of them
    writes into the output after the run has ended."""
    if _is_dask_client(executor):
        import distributed  # optional: imported where a Dask client is given

        client = executor

        def submit(job: BlockJob) -> Any:
            # A fresh key per submission: a block that is run again (a resume,
            # a second run) is never taken for an earlier result.
            return client.submit(run_block, job, key=f"velmora-block-{job.index}-{uuid.uuid4().hex}", pure=False)

        def wait_first(fs: set[Any]) -> set[Any]:
            return set(distributed.wait(list(fs), return_when="FIRST_COMPLETED").done)
    else:
        pool = executor

        def submit(job: BlockJob) -> Any:
            return pool.submit(run_block, job)

        def wait_first(fs: set[Any]) -> set[Any]:
            return set(concurrent.futures.wait(fs, return_when=concurrent.futures.FIRST_COMPLETED).done)

    run_id: str | None = None
    pending = iter(jobs)
    in_flight: set[Any] = set()
    exhausted = False

    def fill() -> None:
        nonlocal exhausted, run_id
        while not exhausted and len(in_flight) + held() < window:
            job = next(pending, None)
            if job is None:
                exhausted = True
                return
            if run_id is None:
                run_id = job.run.run_id
                CANCEL[run_id] = _core.CancelFlag()
            in_flight.add(submit(job))

    try:
        fill()
        while in_flight:
            for future in wait_first(in_flight):
                in_flight.discard(future)
                on_done(future.result())
                check_stop()
            fill()
        if not exhausted:  # the caller holds a full window with nothing running: it would never drain
            raise RuntimeError(f"{held()} finished blocks wait for one that was never submitted")
    except BaseException:
        if run_id is not None:
            CANCEL[run_id].set()
        if _is_dask_client(executor):
            _stop_remote(executor, in_flight)
        else:
            for f in in_flight:
                f.cancel()
            concurrent.futures.wait(in_flight)
        raise
    finally:
        if run_id is not None:
            CANCEL.pop(run_id, None)


# How long a failed run waits for the blocks already running on a Dask
# cluster to end: they cannot be stopped from here, and the run must not give
# up its output (its temporary files, the dataset's lock) while they may still
# write into it.
REMOTE_STOP_SECONDS = 300.0


def _stop_remote(client: distributed.Client, futures: set[Any]) -> None:
    """Cancels the blocks that no worker has started and waits for those
    that are running to end (their results, and errors, are dropped)."""
    import distributed  # optional: imported where a Dask client is given

    running = {key for keys in client.processing().values() for key in keys}
    started = [f for f in futures if f.key in running]
    client.cancel([f for f in futures if f.key not in running])
    with contextlib.suppress(TimeoutError):
        distributed.wait(started, timeout=REMOTE_STOP_SECONDS)


@contextlib.contextmanager
def dask_client(scheduler: str | None, cluster: str | None, workers: int,
                dashboard: bool = False) -> Iterator[distributed.Client | None]:
    """A Dask client of the scheduler at ``scheduler``, or of a local cluster
    of ``workers`` single-threaded processes for ``cluster="local"``; None
    (the run's own thread pool) with neither. A local cluster serves its
    dashboard only with ``dashboard``, and then on this machine's loopback
    interface alone: it shows the workers' call stacks and logs to anyone
    who reaches it."""
    if scheduler is None and cluster is None:
        yield None
        return
    try:
        import distributed  # optional: pip install 'velmora[dask]'
    except ImportError:
        raise RuntimeError("running on a Dask cluster needs dask and distributed: pip install 'velmora[dask]'") from None
    if scheduler is not None:
        with distributed.Client(scheduler) as client:
            yield client
        return
    # The scheduler's HTTP server (health checks, and the dashboard when
    # asked) listens on the loopback interface at a free port, like the
    # scheduler itself.
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": dashboard},
                                  silence_logs=logging.ERROR) as local, distributed.Client(local) as client:
        if dashboard:
            print(f"dashboard: {client.dashboard_link}", file=sys.stderr)
        yield client
