"""Where `quorle load` writes: a database named by a URL, as SQLAlchemy spells them.

`sqlite:///relative.db`, `sqlite:////absolute.db`, the same for `duckdb://`;
`postgresql://user@host:port/db` or any libpq keyword string for Postgres, whose
password comes from the URL, PGPASSWORD or ~/.pgpass, as psql takes it. A
password is never shown: `display` and `scrub` keep it out of every message.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from urllib.parse import unquote, urlsplit, urlunsplit

FILE_SCHEMES = {"sqlite": "sqlite", "duckdb": "duckdb"}
POSTGRES_SCHEMES = ("postgresql", "postgres")
MEMORY = ":memory:"
MASK = "***"
# A password in a libpq keyword string: quoted (with backslash escapes) or bare.
_KEYWORD_PASSWORD = re.compile(r"(password\s*=\s*)('(?:[^'\\]|\\.)*'|\S+)")
_KEYWORD_VALUE = re.compile(r"(\w+)\s*=\s*('(?:[^'\\]|\\.)*'|\S+)")


class TargetError(ValueError):
    """A URL quorle cannot use: a usage error."""


@dataclass(frozen=True)
class Target:
    dialect: str  # "sqlite", "duckdb" or "postgres"
    path: str | None  # the database file (or ":memory:") of SQLite and DuckDB
    conninfo: str | None  # what libpq takes, for Postgres
    display: str  # the URL without its password
    password: str | None  # only to scrub it from messages

    def scrub(self, message: str) -> str:
        """`message` without the password (as given, or URL-encoded)."""
        if self.password:
            message = message.replace(self.password, MASK)
        return message


def parse_target(url: str) -> Target:
    """The database a URL names; TargetError if it names none quorle can load into."""
    scheme, sep, rest = url.partition("://")
    scheme = scheme.split("+", 1)[0].lower()  # "postgresql+psycopg" names a driver too
    if sep and scheme in FILE_SCHEMES:
        return _file_target(FILE_SCHEMES[scheme], rest, url)
    if sep and scheme in POSTGRES_SCHEMES:
        return _postgres_url(url)
    if not sep and _KEYWORD_VALUE.search(url):
        return _postgres_keywords(url)
    raise TargetError(
        "--into: expected sqlite:///FILE, duckdb:///FILE, postgresql://... or a libpq"
        f" connection string, not {_mask_any(url)!r}"
    )


def _file_target(dialect: str, rest: str, url: str) -> Target:
    # "sqlite:///a.db" leaves "/a.db": the part after the empty host is the path,
    # relative unless it starts with a further "/".
    if rest in ("", "/"):
        return Target(dialect, MEMORY, None, url, None)
    if not rest.startswith("/"):
        raise TargetError(f"--into {url}: a file URL has three slashes, as in {dialect}:///FILE")
    path = unquote(rest[1:].split("?", 1)[0])
    return Target(dialect, path or MEMORY, None, url, None)


def _postgres_url(url: str) -> Target:
    parts = urlsplit(url)
    password = unquote(parts.password) if parts.password else None
    netloc = parts.netloc
    if parts.password is not None:
        user, _, host = netloc.rpartition("@")
        netloc = f"{user.split(':', 1)[0]}@{host}"
    display = urlunsplit(parts._replace(netloc=netloc))
    # libpq takes "postgresql://" and "postgres://" but not a driver suffix.
    conninfo = "postgresql://" + url.partition("://")[2]
    return Target("postgres", None, conninfo, display, password)


def _postgres_keywords(text: str) -> Target:
    found = _KEYWORD_PASSWORD.search(text)
    password = None
    if found:
        value = found.group(2)
        password = re.sub(r"\\(.)", r"\1", value[1:-1]) if value.startswith("'") else value
    display = _KEYWORD_PASSWORD.sub(lambda m: m.group(1) + MASK, text)
    return Target("postgres", None, text, display, password)


def _mask_any(text: str) -> str:
    text = _KEYWORD_PASSWORD.sub(lambda m: m.group(1) + MASK, text)
    return re.sub(r"(://[^/:@]*):[^@/]*@", r"\1:" + MASK + "@", text)
