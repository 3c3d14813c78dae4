"""Files written under a temporary name beside their final one and given
that name only when complete: the temporary names (which tell the writing
process and host, so that leftovers of dead writers can be removed), the
rename that publishes a finished file, and the base of every such writer."""

from __future__ import annotations

import glob
import hashlib
import os
import re
import signal
import socket
import tempfile
import threading
import weakref
from pathlib import Path
from typing import Any

from ._stop import check_stop


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


FILE_MODE = 0o666 & ~_umask()  # what open() would give a new file

# Temporary files are named ".velmora-tmp-<pid>-<host>-<name>-<random>.part":
# the writing process and its host (a short digest of the host name), so that
# a later run can tell a leftover of a process that no longer exists from a
# file being written right now, and the final name, so that only the
# leftovers of the same output are touched. Nothing else is ever removed.
_TEMP_RE = re.compile(r"\.velmora-tmp-(\d+)-([0-9a-f]{8})-(.+)-[a-z0-9_]+\.part")


def host_tag(host: str | None = None) -> str:
    """A short, file-name-safe tag of ``host`` (default: this host)."""
    return hashlib.sha256((socket.gethostname() if host is None else host).encode()).hexdigest()[:8]


def temp_prefix(name: str) -> str:
    """The prefix of this process's temporary files for the final name ``name``."""
    return f".velmora-tmp-{os.getpid()}-{host_tag()}-{name}-"


def temporary_beside(path: Path, owner: object) -> tuple[Path, weakref.finalize[Any, Any]]:
    """Creates this process's temporary file for ``path`` beside it and ties
    its removal to ``owner`` (the finalizer runs when ``owner`` is dropped,
    or when called). On the main thread, SIGINT and SIGTERM are held back
    from the file's creation until its removal is registered, so that a
    Ctrl-C arriving in between cannot leave the file behind: the signal is
    delivered, as KeyboardInterrupt, right after."""
    held = {signal.SIGINT, signal.SIGTERM}
    on_main = threading.current_thread() is threading.main_thread()
    before = signal.pthread_sigmask(signal.SIG_BLOCK, held) if on_main else None
    try:
        fd, name = tempfile.mkstemp(dir=path.parent, prefix=temp_prefix(path.name), suffix=".part")
        os.close(fd)
        tmp = Path(name)
        return tmp, weakref.finalize(owner, _remove, tmp)
    finally:
        if before is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, before)


def process_exists(pid: int) -> bool:
    """Whether a process ``pid`` exists on this host."""
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True


def is_temporary(name: str) -> bool:
    """Whether ``name`` is one of velmora's temporary file names."""
    return _TEMP_RE.fullmatch(name) is not None


def remove_stale_temporaries(path: Path) -> list[Path]:
    """Removes the temporary files of ``path`` left by writers that no longer
    run (killed, or stopped by a signal Python could not handle): those of a
    process of this host that no longer exists. Files of running writers, of
    other hosts, and anything not named by velmora are left alone. Gives the
    files removed."""
    removed = []
    mine = host_tag()
    for leftover in path.parent.glob(f".velmora-tmp-*-{glob.escape(path.name)}-*.part"):
        match = _TEMP_RE.fullmatch(leftover.name)
        if match is None or match.group(3) != path.name or match.group(2) != mine:
            continue
        if not process_exists(int(match.group(1))):
            leftover.unlink(missing_ok=True)
            removed.append(leftover)
    return removed


def publish(tmp: Path, path: Path, overwrite: bool) -> None:
    """Gives a finished temporary file the mode of any new file and its
    final name: replacing a file there with ``overwrite``, else only where
    the name is free (see _place_new). Not after a stop was asked for."""
    check_stop()
    os.chmod(tmp, FILE_MODE)
    if overwrite:
        os.replace(tmp, path)
    else:
        _place_new(tmp, path)


def _place_new(tmp: Path, path: Path) -> None:
    """Gives ``tmp`` the name ``path`` only if no file has it: a file that
    another run wrote there meanwhile is kept, and this run fails instead."""
    try:
        os.link(tmp, path)  # fails, atomically, where the name is taken
    except FileExistsError:
        raise FileExistsError(f"{path}: another run wrote this file meanwhile; it is kept, and this run's records "
                              "are dropped (--overwrite, overwrite=True replaces it)") from None
    except OSError:
        # A file system without hard links: the check and the rename are two steps.
        if path.exists():
            raise FileExistsError(f"{path}: another run wrote this file meanwhile; it is kept, and this run's "
                                  "records are dropped (--overwrite, overwrite=True replaces it)") from None
        os.replace(tmp, path)
        return
    tmp.unlink()


def _remove(path: Path) -> None:
    try:
        path.unlink()
    except FileNotFoundError:
        pass


class PublishedFile:
    """A file written under a temporary name beside ``path`` (made by
    temporary_beside, with its finalizer): :meth:`close` finishes it
    (``_finish``) and gives it its name, :meth:`abort` (or the writer being
    dropped unclosed) drops it (``_discard``) and removes it."""

    path: Path
    overwrite: bool
    _tmp: Path
    _finalizer: weakref.finalize[Any, Any]
    _open: bool

    def close(self) -> None:
        """Finishes the file and gives it its name."""
        if not self._open:
            return
        try:
            self._finish()
            publish(self._tmp, self.path, self.overwrite)
        except BaseException:
            self.abort()
            raise
        self._open = False
        self._finalizer.detach()

    def abort(self) -> None:
        """Drops everything written; no file appears at ``path``."""
        if self._open:
            self._open = False
            try:
                self._discard()
            except Exception:
                pass  # dropped all the same: closing a writer on a full disk fails again, flushing what it holds
            finally:
                self._finalizer()

    def _finish(self) -> None:
        raise NotImplementedError

    def _discard(self) -> None:
        raise NotImplementedError
