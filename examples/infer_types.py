"""The quorle API in a few lines: infer a CSV file's column types and print them.

python examples/infer_types.py examples/data/sample.csv
"""

import sys

import quorle

result = quorle.infer(sys.argv[1], extras=True)
print(f"{result.path}: {result.rows} data rows, delimiter {result.delimiter!r}")
for column in result.columns:
    print(f"{column.name:12} {column.suggested:9} {'; '.join(column.notes)}")
    for kind, texts in (column.examples or {}).items():
        print(f"{'':22} {kind} e.g. {', '.join(texts)}")
for warning in result.warnings:
    print("warning:", warning, file=sys.stderr)
