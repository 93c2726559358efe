"""Writing an output without ever losing data, and failing in one line.

    def body():
        with reading(input_path, "ta"):
            block = variable[...]
        with replacing(output_path, inputs=[input_path]) as temporary:
            with writing(output_path, "relhum"):
                ...                       # write the whole output to `temporary`

    status = run(body)                    # the exit status; failures in one line

`replacing` refuses an output that is one of the inputs, has the body write
to a temporary file (with `directory=True`, a directory such as a Zarr store)
beside the output, and renames it into place only once the body has finished:
an existing output is replaced whole or left untouched, never half-written. A
replaced output keeps its mode; a new one gets the mode the umask gives.

`run` turns SIGINT, SIGTERM and SIGHUP into `Interrupted` in the main thread
(a batch system's time limit sends SIGTERM, a closed terminal SIGHUP), so the
temporary is removed however the run ends, short of SIGKILL, whether the
writing happens in the main thread or in worker threads. It reports every
expected failure in one line on stderr and returns the exit status:

    0       success
    1       reading or writing failed (`FileFailure`, OSError, MemoryError)
    2       the command line or the input does not fit (`UsageError`,
            ValueError, TypeError)
    128+n   stopped by signal n (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)

Failures are classified by where they happen, not by their message: anything
raised inside `reading` is a failure to read that file, inside `writing` a
failure to write the output, named as the user gave it (never the hidden
temporary).
"""

from __future__ import annotations

import atexit
import contextlib
import os
import shutil
import signal
import stat
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from types import FrameType
from typing import Any

_SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP")
# A directory holding one of these is a Zarr store (version 3, version 2).
_ZARR_MARKERS = ("zarr.json", ".zgroup", ".zarray")
# Added to the output's name by the temporary's: "." + "." + 8 hex + ".tmp".
_TEMPORARY_EXTRA = 14


class UsageError(Exception):
    """A problem with the command line or the input file: reported in one
    line, exit status 2 (as for ValueError and TypeError from the
    computation; failures to read or write give 1)."""


class FileFailure(Exception):
    """Reading an input or writing the output failed: exit status 1. The
    message names the file (and the variable where there is one)."""


class Interrupted(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP arrived: the run stops as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# --- failures in one line ------------------------------------------------

def _one_line(text: str) -> str:
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _message(error: BaseException) -> str:
    text = _one_line(str(error))
    if not text and isinstance(error, MemoryError):
        return "not enough memory"
    return text or type(error).__name__


def _reason(error: BaseException) -> str:
    # strerror leaves out the file name, which may be the hidden temporary:
    # the message names the file the user knows instead.
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return _message(error)


@contextlib.contextmanager
def _failing_as(action: str, path: str, variable: str | None) -> Iterator[None]:
    try:
        yield
    except (UsageError, FileFailure):
        raise
    except Exception as error:
        what = f"cannot {action} variable {variable!r}" if variable else f"cannot {action}"
        raise FileFailure(f"{path}: {what}: {_reason(error)}") from error


def reading(path: str, variable: str | None = None) -> contextlib.AbstractContextManager[None]:
    """Any failure inside is a failure to read `path` (exit status 1)."""
    return _failing_as("read", path, variable)


def writing(path: str, variable: str | None = None) -> contextlib.AbstractContextManager[None]:
    """Any failure inside is a failure to write `path` (exit status 1)."""
    return _failing_as("write", path, variable)


# --- signals ---------------------------------------------------------------

class _Signals:
    """Raises Interrupted in the main thread when a signal arrives, or, while
    a temporary is being created, renamed or removed, holds the signal back
    until that step is done, so no step is cut in half."""

    def __init__(self) -> None:
        self.previous: dict[int, Any] = {}
        self.holding = 0
        self.held: int | None = None

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if self.holding:
            self.held = self.held or signum
        else:
            raise Interrupted(signum)

    def install(self) -> None:
        for name in _SIGNALS:
            signum = getattr(signal, name, None)
            if signum is None:
                continue
            previous = signal.getsignal(signum)
            if previous is signal.SIG_IGN:
                continue  # e.g. SIGHUP under nohup: the caller wants the run to go on
            signal.signal(signum, self.handle)
            self.previous[signum] = previous

    def restore(self) -> None:
        for signum, previous in self.previous.items():
            signal.signal(signum, signal.SIG_DFL if previous is None else previous)


_active: _Signals | None = None


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    signals = _active
    if signals is None or threading.current_thread() is not threading.main_thread():
        yield
        return
    signals.holding += 1
    try:
        yield
    finally:
        signals.holding -= 1
    if not signals.holding and signals.held is not None:
        signum, signals.held = signals.held, None
        raise Interrupted(signum)


def run(body: Callable[[], object], prog: str = "tamrix") -> int:
    """Runs `body` and returns the exit status, with failures and signals
    reported in one line on stderr (see the module's documentation)."""
    global _active
    signals, outer = _Signals(), _active
    main_thread = threading.current_thread() is threading.main_thread()
    if main_thread:  # Python runs signal handlers in the main thread only
        signals.install()
        _active = signals
    try:
        return _status(body, prog, signals)
    finally:
        if main_thread:
            signals.restore()
            _active = outer


def _status(body: Callable[[], object], prog: str, signals: _Signals) -> int:
    try:
        try:
            body()
        finally:
            signals.holding += 1  # from here on only the report: one line
    except Interrupted as stop:
        signum = stop.signum
    except KeyboardInterrupt:
        signum = signal.SIGINT
    except (UsageError, ValueError, TypeError) as error:
        # The input does not fit (a unit, a dimension, a variable): no traceback.
        print(f"{prog}: error: {_message(error)}", file=sys.stderr)
        return 2
    except (FileFailure, OSError, MemoryError, ImportError) as error:
        print(f"{prog}: error: {_message(error)}", file=sys.stderr)
        return 1
    else:
        if signals.held is None:
            return 0
        signum = signals.held  # arrived as the run finished: honoured all the same
    print(f"{prog}: interrupted by {signal.Signals(signum).name}", file=sys.stderr)
    return 128 + signum


# --- the output, replaced whole or not at all -------------------------------

@contextlib.contextmanager
def replacing(path: str, inputs: Iterable[str] = (), *, directory: bool = False) -> Iterator[str]:
    """Yields a temporary path beside `path` for the body to write the whole
    output to; renames it to `path` when the body returns, removes it when
    the body fails or a signal stops the run (under `run`). Refuses
    (UsageError) an output that is an input, contains one or lies inside
    one, and an existing output of the other kind (a directory for a file;
    for `directory=True`, a file or a directory that is not a Zarr store)."""
    _refuse_overlap(path, inputs)
    _refuse_kind(path, directory)
    temporary: str | None = None
    try:
        with _signals_held():
            temporary, mode = _create_temporary(path, directory)
        yield temporary
        with _signals_held():
            _commit(temporary, path, mode)
            temporary = None
    except BaseException:
        if temporary is not None:
            with _signals_held():
                _remove(temporary)
                if directory:
                    # A worker thread still finishing its piece may recreate
                    # a subdirectory: the process removes it again at exit,
                    # after the worker threads have stopped.
                    atexit.register(_remove, temporary)
        raise


def _identity(path: str) -> tuple[int, int]:
    status = os.stat(path)
    return status.st_dev, status.st_ino


def _with_ancestors(path: str) -> set[tuple[int, int]]:
    """The identities of `path` (if it exists) and of every directory above it."""
    found = set()
    current = os.path.realpath(path)
    while True:
        with contextlib.suppress(OSError):
            found.add(_identity(current))
        parent = os.path.dirname(current)
        if parent == current:
            return found
        current = parent


def _refuse_overlap(path: str, inputs: Iterable[str]) -> None:
    # Device and inode, not names: a symbolic or hard link to an input is
    # that input all the same.
    try:
        output: tuple[int, int] | None = _identity(path)
    except OSError:
        output = None
    around_output = _with_ancestors(path)
    for name in inputs:
        try:
            identity = _identity(name)
        except OSError:
            continue
        if identity == output:
            also = ("also the input" if os.path.abspath(name) == os.path.abspath(path)
                    else f"the input {name} under another name")
            raise UsageError(f"{path} is {also}: write the output to another file")
        if identity in around_output:
            raise UsageError(f"{path} is inside the input {name}: write the output elsewhere")
        if output is not None and output in _with_ancestors(name):
            raise UsageError(f"the input {name} is inside {path}: write the output elsewhere")


def _refuse_kind(path: str, directory: bool) -> None:
    if not os.path.lexists(path):
        return
    if not directory and os.path.isdir(path):
        raise UsageError(f"{path} is a directory")
    if directory and not os.path.isdir(path):
        raise UsageError(f"{path} exists and is not a directory")
    if directory and not _replaceable_store(path):
        raise UsageError(f"{path} is a directory but not a Zarr store: it is not replaced")


def _replaceable_store(path: str) -> bool:
    entries = os.listdir(path)
    return not entries or any(marker in entries for marker in _ZARR_MARKERS)


def _sibling(path: str) -> str:
    """A new hidden name beside `path` whose length fits wherever the name of
    `path` fits: the output's name is shortened to make room if need be."""
    folder, base = os.path.split(os.path.abspath(path))
    try:
        name_max = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        name_max = -1
    if name_max <= _TEMPORARY_EXTRA:  # no limit known: the usual one
        name_max = 255
    stem = os.fsencode(base)[:name_max - _TEMPORARY_EXTRA]
    name = b"." + stem + b"." + os.urandom(4).hex().encode() + b".tmp"
    return os.path.join(folder, os.fsdecode(name))


def _create_temporary(path: str, directory: bool) -> tuple[str, int]:
    """Creates the temporary; returns it and the mode the umask gives."""
    for _ in range(100):
        candidate = _sibling(path)
        try:
            if directory:
                os.mkdir(candidate, 0o777)
                return candidate, stat.S_IMODE(os.stat(candidate).st_mode)
            handle = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                             0o666)
        except FileExistsError:
            continue
        except OSError as error:
            # Named after the directory: the temporary's name would only confuse.
            folder = os.path.dirname(os.path.abspath(path))
            kind = "directory" if directory else "file"
            raise FileFailure(f"{path}: cannot create a {kind} in {folder}: "
                              f"{_reason(error)}") from error
        try:
            return candidate, stat.S_IMODE(os.fstat(handle).st_mode)
        finally:
            os.close(handle)
    raise FileFailure(f"{path}: cannot find a free temporary name beside it")


def _commit(temporary: str, path: str, mode: int) -> None:
    with writing(path):
        with contextlib.suppress(FileNotFoundError):
            mode = stat.S_IMODE(os.stat(path).st_mode)  # a replaced output keeps its mode
        os.chmod(temporary, mode)
        if not os.path.isdir(path):
            os.replace(temporary, path)
            return
        # A directory cannot be renamed over a non-empty one: the old store
        # steps aside first, and comes back if the new one cannot take its place.
        previous = _sibling(path)
        os.rename(path, previous)
        try:
            os.rename(temporary, path)
        except BaseException:
            os.rename(previous, path)
            raise
        _remove(previous)


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.unlink(path)
