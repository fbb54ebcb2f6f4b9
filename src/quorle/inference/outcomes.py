"""One file's pass as a task of a run over many files: a FileResult, or a FileError saying
why there is none, so that a file that fails stays with its own outcome."""

from __future__ import annotations

import dataclasses
import os
from dataclasses import dataclass
from typing import Any

import quorle_ext

from ..engine.sources import STDIN_DEVICE, STDIN_NAME
from .api import infer_checked
from .options import Options

MISSING = "missing"
FOLDER = "folder"
UNREADABLE = "unreadable"
FAILED = "failed"
CORRUPT = "corrupt"
WORKER_DIED = "worker died"


@dataclass(frozen=True)
class FileError:
    """Why one file has no result. `kind` is one of MISSING, FOLDER, UNREADABLE, CORRUPT (a
    compressed stream damaged or cut short, or bytes not in the file's encoding), FAILED and
    WORKER_DIED; `message` says what went wrong in words."""

    path: str
    kind: str
    message: str

    def to_dict(self) -> dict[str, str]:
        return {"path": self.path, "error": self.kind, "message": self.message}


class FileFailedError(RuntimeError):
    """Raised by `infer_many(..., strict=True)` for the first file that fails."""

    def __init__(self, error: FileError) -> None:
        super().__init__(f"{error.path}: {error.kind}: {error.message}")
        self.error = error


def infer_one(path: str, options: Options, attempt: int = 1) -> Any:
    """One file's pass, run in a worker: a FileResult, or a FileError saying why there is none.

    `attempt` only makes a retry a distinct call for executors that merge identical calls.
    """
    del attempt
    try:
        return infer_checked(path, options)
    except OSError as exc:
        return _os_error(path, exc)
    except Exception as exc:
        return FileError(path, FAILED, _without_path(path, str(exc)) or describe(exc))


def infer_batch(paths: list[str], options: Options) -> list[Any]:
    """Several small files' passes in one task, each outcome as `infer_one` gives it."""
    return [infer_one(path, options) for path in paths]


def _without_path(path: str, message: str) -> str:
    # The package's errors start with the path, which FileError holds on its own.
    prefix = f"{path}: "
    return message[len(prefix) :] if message.startswith(prefix) else message


def _os_error(path: str, exc: OSError) -> FileError:
    message = exc.strerror or _without_path(path, str(exc))
    if isinstance(exc, quorle_ext._InputError) and " at byte " in message:
        return FileError(path, CORRUPT, message)
    if isinstance(exc, IsADirectoryError):
        return FileError(path, FOLDER, message)
    if isinstance(exc, FileNotFoundError):
        if os.path.islink(path):
            message = f"dangling symbolic link to {os.readlink(path)}"
        return FileError(path, MISSING, message)
    return FileError(path, UNREADABLE, message)


def describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def stdin_outcome(options: Options) -> Any:
    """Standard input's outcome, read in this process: its descriptor is this process's own."""
    outcome = infer_one(STDIN_DEVICE, options)
    if isinstance(outcome, FileError):
        return dataclasses.replace(outcome, path=STDIN_NAME)
    return outcome
