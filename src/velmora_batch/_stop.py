"""Stopping a run on SIGINT or SIGTERM: the signal is turned into
KeyboardInterrupt where the main thread is, and kept, so that the run's safe
points raise it again wherever Python dropped it."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator

# A stop asked for by SIGINT or SIGTERM while stop_on_signals is in force.
# Its handler raises KeyboardInterrupt wherever the main thread is; where that
# is a weakref callback or a __del__, Python prints the exception and drops
# it. The request is therefore also kept here, and the run raises it again at
# its safe points (check_stop): each finished block, the naming of a finished
# file, and the end of the block under stop_on_signals.
_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
_stop_requested = threading.Event()


def check_stop() -> None:
    """Raises KeyboardInterrupt where a stop was asked for."""
    if _stop_requested.is_set():
        raise KeyboardInterrupt


def _request_stop(signum: int, frame: object) -> None:
    # A repeated request adds nothing: the stop is under way, and raising
    # again would cut its cleanup short.
    if not _stop_requested.is_set():
        _stop_requested.set()
        raise KeyboardInterrupt


@contextlib.contextmanager
def stop_on_signals() -> Iterator[None]:
    """Within the block, SIGINT and SIGTERM (what batch schedulers send at a
    time limit, and ``timeout``) stop the run with KeyboardInterrupt, and the
    run cleans up after itself; a stop asked for is never lost (see
    check_stop). Only the main thread can take signals; the previous
    handlers are restored after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _stop_requested.clear()
    previous = {signum: signal.signal(signum, _request_stop) for signum in _STOP_SIGNALS}
    try:
        yield
        check_stop()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        _stop_requested.clear()
