"""Shared builders: CSV files in a temp dir, Inf sessions, types-file reader."""

import contextlib
import csv
import io
import pathlib
import signal
import sqlite3

import pytest
from load_databases import DIALECTS, Database

import quorle_ext

DEFAULT_PATTERNS = {"int": [r"-?[0-9]+"], "word": [r"[a-z]+"]}

# A suite started as a background job (`make test &`) inherits an ignored Ctrl-C, and so would
# every command it starts: the tests that stop a command with SIGINT would wait on it forever.
# A handler, unlike an ignored signal, is not inherited across exec.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def sqlite_memory():
    """An in-memory SQLite database, closed after the test: CPython 3.13 warns
    of a connection left to the garbage collector, and warnings fail the suite."""
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        yield con


@pytest.fixture
def write_csv(tmp_path):
    """Writes a file into the test's temp dir and returns its path as str.

    Give either `rows` (lists of field texts, quoted where needed) or `raw`
    (str or bytes, written unchanged).
    """
    counter = iter(range(1_000_000))

    def write(rows=None, *, raw=None, name=None, delimiter=",", lineterminator="\n"):
        if (rows is None) == (raw is None):
            raise ValueError("give exactly one of rows and raw")
        if raw is None:
            buf = io.StringIO()
            writer = csv.writer(buf, delimiter=delimiter, lineterminator=lineterminator)
            writer.writerows(rows)
            raw = buf.getvalue()
        if isinstance(raw, str):
            raw = raw.encode("utf-8")
        path = tmp_path / (name or f"data{next(counter)}.csv")
        path.write_bytes(raw)
        return str(path)

    return write


@pytest.fixture
def types_path(tmp_path):
    return str(tmp_path / "types.txt")


@pytest.fixture
def make_inf(types_path):
    """Builds an Inf from keyword overrides of sensible defaults."""

    def make(filepath="", **overrides):
        settings = {
            "filepath": filepath,
            "delimiter": ",",
            "col_type_patterns": {k: list(v) for k, v in DEFAULT_PATTERNS.items()},
            "na_values": {"NA"},
            "multithreading": False,
            "save_types_file": False,
            "types_filepath": types_path,
            "rolling_cache_window": 1000,
        }
        unknown = set(overrides) - set(settings)
        if unknown:
            raise TypeError(f"unknown settings: {sorted(unknown)}")
        settings.update(overrides)
        return quorle_ext.Inf(**settings)

    return make


@pytest.fixture
def read_types():
    """Returns the lines of a types file; every line must end with a line feed."""

    def read(path):
        data = pathlib.Path(path).read_bytes()
        if not data:
            return []
        assert data.endswith(b"\n"), data[-20:]
        return data[:-1].decode("utf-8").split("\n")

    return read


@pytest.fixture(scope="session")
def dask_client():
    """A real two-worker Dask cluster on loopback, started on first use and stopped at the
    end of the session."""
    distributed = pytest.importorskip("distributed")
    import dask

    # A task whose worker dies fails at once, so the retry is ours alone to make.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with (
            distributed.LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                host="127.0.0.1",
                dashboard_address=None,
                # The scheduler's HTTP routes listen even without a dashboard: on a free port, not
                # on 8787, which another run on this machine may hold.
                scheduler_kwargs={"dashboard_address": ":0"},
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            yield client


@pytest.fixture(scope="session")
def postgres():
    """A real PostgreSQL server for the whole session (see postgres_server.py);
    skips, saying so, only where the server's binaries are absent."""
    from postgres_server import start_server

    server = start_server()
    if server is None:
        pytest.skip("PostgreSQL server binaries absent (Debian package postgresql)")
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(params=DIALECTS)
def database(request, tmp_path):
    """A database of each dialect, its tables dropped after the test (a file goes with
    tmp_path)."""
    server = request.getfixturevalue("postgres") if request.param == "postgres" else None
    db = Database(request.param, tmp_path, server)
    yield db
    if server is not None:
        for table in db.tables():
            db.run(f'DROP TABLE "{table}"')
