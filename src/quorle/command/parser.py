"""The `quorle` command's parser: its subcommands, each with its options and its runner."""

from __future__ import annotations

import argparse
import importlib.metadata
from collections.abc import Callable
from typing import Any

from .infer import add_infer_command
from .load import add_load_command
from .messages import PROG
from .schema import add_schema_command

COMMANDS: list[Callable[[Any], None]] = [add_infer_command, add_schema_command, add_load_command]


def installed_version() -> str:
    """The version of the installed distribution, as pip reports it."""
    try:
        return importlib.metadata.version(PROG)
    except importlib.metadata.PackageNotFoundError:
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Infer the column types of delimited text files.",
        epilog="Exit status: 0 on success, 1 when a file failed, 2 on a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {installed_version()}")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)
    for add in COMMANDS:
        add(commands)
    return parser
