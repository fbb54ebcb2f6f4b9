"""What `load` raises when nothing was loaded."""

from __future__ import annotations


class LoadError(Exception):
    """Nothing was loaded: a file or the database failed (the message says where)."""


class LoadUsageError(ValueError):
    """Nothing was loaded: the request cannot be carried out as given."""
