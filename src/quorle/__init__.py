"""quorle: infer the column types of a delimited text file in one streaming pass.

import quorle
result = quorle.infer("orders.csv")
for column in result.columns:
    print(column.name, column.suggested, column.counts, column.notes)
"""

from .inference import patterns
from .inference.api import DEFAULT_WINDOW, infer
from .inference.many import ManyResult, infer_many
from .inference.outcomes import FileError, FileFailedError
from .inference.patterns import (
    DEFAULT_NA_VALUES,
    DEFAULT_PATTERNS,
    PatternTable,
    TypeSpec,
    load_patterns,
    parse_patterns,
)
from .inference.result import ColumnResult, FileResult
from .inference.suggest import suggest
from .loading.loader import LoadedTable, LoadError, LoadResult, LoadUsageError, load
from .sql.table_schema import schema

__all__ = [
    "DEFAULT_NA_VALUES",
    "DEFAULT_PATTERNS",
    "DEFAULT_WINDOW",
    "ColumnResult",
    "FileError",
    "FileFailedError",
    "FileResult",
    "LoadError",
    "LoadResult",
    "LoadUsageError",
    "LoadedTable",
    "ManyResult",
    "PatternTable",
    "TypeSpec",
    "infer",
    "infer_many",
    "load",
    "load_patterns",
    "parse_patterns",
    "patterns",
    "schema",
    "suggest",
]
