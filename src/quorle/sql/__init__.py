"""SQL from inferred types: identifiers, column types per dialect, the statements of a table."""
