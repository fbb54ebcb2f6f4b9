"""Where `quorle load` writes: a database named by a URL, as SQLAlchemy spells them.

`sqlite:///relative.db`, `sqlite:////absolute.db`, the same for `duckdb://`;
`postgresql://user@host:port/db` or any libpq keyword string for Postgres, whose
password comes from the URL, PGPASSWORD or ~/.pgpass, as psql takes it. A
password is never shown: `display` and `scrub` keep it out of every message.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from urllib.parse import unquote

FILE_SCHEMES = {"sqlite": "sqlite", "duckdb": "duckdb"}
POSTGRES_SCHEMES = ("postgresql", "postgres")
MEMORY = ":memory:"
MASK = "***"
# A query parameter or keyword whose name holds this (password, sslpassword) is a secret.
SECRET_WORD = "password"
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://")
# A pair of a libpq keyword string, as libpq reads it: a value in single quotes or
# bare up to the next space, a backslash taking the next character as it is.
_KEYWORD_PAIR = re.compile(r"\s*([^=\s]+)\s*=\s*('(?:[^'\\]|\\.)*'|(?!')(?:[^\s\\]|\\.)*\\?)", re.S)
AMBIGUOUS_AT = (
    "--into: the URL's user, password and host are unclear: write an '@' in a password"
    " as %40 (and a '/', '?' or '#' as %2F, %3F, %23)"
)


class TargetError(ValueError):
    """A URL quorle cannot use: a usage error."""


@dataclass(frozen=True)
class Target:
    dialect: str  # "sqlite", "duckdb" or "postgres"
    path: str | None  # the database file (or ":memory:") of SQLite and DuckDB
    conninfo: str | None  # what libpq takes, for Postgres
    display: str  # the URL with every password masked
    secrets: tuple[str, ...] = ()  # only to scrub them from messages, longest first

    def scrub(self, message: str) -> str:
        """`message` without the passwords (as given, or URL-decoded)."""
        for secret in self.secrets:
            message = message.replace(secret, MASK)
        return message


def parse_target(url: str) -> Target:
    """The database a URL names; TargetError if it names none quorle can load into."""
    found = _SCHEME.match(url)
    scheme = found.group(1).split("+", 1)[0].lower() if found else ""  # "+psycopg": a driver
    if found and scheme in FILE_SCHEMES:
        return _file_target(FILE_SCHEMES[scheme], url[found.end() :], url)
    if found and scheme in POSTGRES_SCHEMES:
        return _postgres_url(found.group(1), url[found.end() :])
    if not found and "=" in url:
        return _postgres_keywords(url)
    if found:
        shown = f"a {found.group(1)}:// URL"
    else:  # "user:password@host/db" without its scheme shows nothing of itself
        shown = "a URL without its scheme" if "@" in url else repr(url)
    raise TargetError(
        "--into: expected sqlite:///FILE, duckdb:///FILE, postgresql://... or a libpq"
        f" connection string, not {shown}"
    )


def _file_target(dialect: str, rest: str, url: str) -> Target:
    # "sqlite:///a.db" leaves "/a.db": the part after the empty host is the path,
    # relative unless it starts with a further "/".
    if rest in ("", "/"):
        return Target(dialect, MEMORY, None, url)
    if not rest.startswith("/"):
        raise TargetError(f"--into {url}: a file URL has three slashes, as in {dialect}:///FILE")
    path = unquote(rest[1:].split("?", 1)[0])
    return Target(dialect, path or MEMORY, None, url)


def _postgres_url(scheme: str, rest: str) -> Target:
    at = _user_info_end(rest)
    user, colon, password = rest[:at].partition(":") if at >= 0 else ("", "", "")
    secrets = [password] if colon else []
    base, question, query = rest[at + 1 :].partition("?")
    params = []
    for param in query.split("&") if question else []:
        name, equals, value = param.partition("=")
        if equals and SECRET_WORD in unquote(name).lower():
            secrets.append(value)
            param = f"{name}={MASK}"
        params.append(param)
    shown_user = f"{user}:{MASK}@" if colon else f"{user}@" if at >= 0 else ""
    display = f"{scheme}://{shown_user}{base}{question}{'&'.join(params)}"
    # libpq takes "postgresql://" and "postgres://" but not a driver suffix.
    return Target("postgres", None, "postgresql://" + rest, display, _secrets(secrets))


def _user_info_end(rest: str) -> int:
    """Where the user and password end (at an '@'), -1 for a URL without them.

    libpq takes the first '@' before a '/' as that end, and the rest up to a '/' or '?'
    as hosts; TargetError when that differs from a URL's reading (which ends the part at
    '/', '?' or '#'), since the host libpq sees would hold part of a password."""
    before_query = re.split(r"[?#]", rest, maxsplit=1)[0]
    at = rest.split("/", 1)[0].find("@")
    if before_query.count("@") > 1 or before_query.find("@") != at:
        raise TargetError(AMBIGUOUS_AT)
    return at


def _postgres_keywords(text: str) -> Target:
    shown, secrets, start = [], [], 0
    for pair in _keyword_pairs(text):
        if SECRET_WORD in pair.group(1).lower():
            value = pair.group(2)
            secrets += [value, _unescaped(value)]
            shown += [text[start : pair.start(2)], MASK]
            start = pair.end(2)
    display = "".join(shown) + text[start:]
    return Target("postgres", None, text, display, _secrets(secrets))


def _keyword_pairs(text: str) -> list[re.Match[str]]:
    """The keyword=value pairs of a libpq string; TargetError, showing none of it, for
    a string libpq would refuse (its message would show a piece of a password)."""
    pairs: list[re.Match[str]] = []
    end = 0
    while text[end:].strip():
        pair = _KEYWORD_PAIR.match(text, end)
        if pair is None:
            raise TargetError(
                "--into: a libpq connection string is keyword=value pairs, a value with a"
                " space or a quote in single quotes, as in password='it\\'s here'"
            )
        pairs.append(pair)
        end = pair.end()
    return pairs


def _unescaped(value: str) -> str:
    if value.startswith("'"):
        value = value[1:-1]
    return re.sub(r"\\(.?)", r"\1", value, flags=re.S)


def _secrets(values: list[str]) -> tuple[str, ...]:
    """Each password as written and URL-decoded, longest first so that no shorter one
    leaves a piece of a longer one."""
    every = {form for value in values for form in (value, unquote(value)) if form}
    return tuple(sorted(every, key=len, reverse=True))
