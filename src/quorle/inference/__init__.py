"""Type inference: one pass over one file, a file as byte ranges, many files at once."""
