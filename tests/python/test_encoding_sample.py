"""`--encoding auto` decides from the first block of text only: a UTF-8 character cut by the
end of that block is still UTF-8, plain or compressed."""

from __future__ import annotations

import gzip

import pytest

import quorle
import quorle_ext

FILLER = "plain"
AFTER = "après"
# A character of each UTF-8 length, ending `past` bytes after the sample's end, so that the
# sample holds its first bytes only.
CUTS = [
    pytest.param(char, past, id=f"{len(char.encode())}-byte-ends-{past}-past")
    for char in ("é", "€", "😀")
    for past in range(1, len(char.encode()))
]


def straddling_csv(char: str, past: int) -> tuple[bytes, str]:
    """A table whose `name` column holds a text with `char` ending `past` bytes after the
    sample's end, and that text."""
    encoded = char.encode("utf-8")
    start = quorle_ext._AUTO_SAMPLE_BYTES + past - len(encoded)
    rows = ["id,name\n"]
    size = len(rows[0])
    while size < start - 64:
        rows.append(f"{len(rows)},{FILLER}\n")
        size += len(rows[-1])
    lead = f"{len(rows)},"
    value = "x" * (start - size - len(lead)) + char + "!"
    rows.append(f"{lead}{value}\n")
    rows += [f"{len(rows) + i},{AFTER}\n" for i in range(10)]
    data = "".join(rows).encode("utf-8")
    assert data.index(encoded) == start
    return data, value


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize(("char", "past"), CUTS)
def test_a_character_cut_by_the_end_of_the_sample_is_read_as_utf8(tmp_path, char, past, compressed):
    data, value = straddling_csv(char, past)
    path = tmp_path / ("f.csv.gz" if compressed else "f.csv")
    path.write_bytes(gzip.compress(data) if compressed else data)
    result = quorle.infer(path, encoding="auto", extras=True)
    assert (result.encoding, result.compression) == ("utf-8", "gzip" if compressed else "plain")
    assert not any("read as" in w for w in result.warnings), result.warnings
    name = result.columns[1]
    assert name.invalid_utf8 == 0
    assert set(name.examples["other"]) == {FILLER, value, AFTER}
