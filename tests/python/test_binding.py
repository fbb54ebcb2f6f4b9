"""The Python face of quorle_ext: names, signatures, conversions, errors."""

import collections
import os
import pathlib
import random
import types

import pytest

import quorle_ext
from quorle_ext import Inf

ARGS = (
    "filepath",
    "delimiter",
    "col_type_patterns",
    "na_values",
    "multithreading",
    "save_types_file",
    "types_filepath",
    "rolling_cache_window",
)

VALUES = {
    "filepath": "in.csv",
    "delimiter": ";",
    "col_type_patterns": {"int": [r"[0-9]+"], "word": [r"[a-z]+", r"[A-Z]+"]},
    "na_values": {"NA", ""},
    "multithreading": True,
    "save_types_file": True,
    "types_filepath": "out.txt",
    "rolling_cache_window": 17,
}

SIGNATURES = {
    "__init__": "__init__(self: quorle_ext.Inf, filepath: str, delimiter: str, "
    "col_type_patterns: Dict[str, List[str]], na_values: Set[str], multithreading: bool, "
    "save_types_file: bool, types_filepath: str, rolling_cache_window: int) -> None",
    "infer_types": "infer_types(self: quorle_ext.Inf) -> None",
    "set_col_type_patterns": "set_col_type_patterns(self: quorle_ext.Inf, "
    "arg0: Dict[str, List[str]]) -> None",
    "set_na_values": "set_na_values(self: quorle_ext.Inf, arg0: Set[str]) -> None",
    "set_filepath": "set_filepath(self: quorle_ext.Inf, arg0: str) -> None",
    "set_delimiter": "set_delimiter(self: quorle_ext.Inf, arg0: str) -> None",
    "set_multithreading": "set_multithreading(self: quorle_ext.Inf, arg0: bool) -> None",
    "set_save_types_file": "set_save_types_file(self: quorle_ext.Inf, arg0: bool) -> None",
    "set_types_filepath": "set_types_filepath(self: quorle_ext.Inf, arg0: str) -> None",
    "set_rolling_cache_window": "set_rolling_cache_window(self: quorle_ext.Inf, arg0: int) -> None",
    "get_col_type_patterns": "get_col_type_patterns(self: quorle_ext.Inf) -> Dict[str, List[str]]",
    "get_na_values": "get_na_values(self: quorle_ext.Inf) -> Set[str]",
    "get_filepath": "get_filepath(self: quorle_ext.Inf) -> str",
    "get_delimiter": "get_delimiter(self: quorle_ext.Inf) -> str",
    "get_multithreading": "get_multithreading(self: quorle_ext.Inf) -> bool",
    "get_save_types_file": "get_save_types_file(self: quorle_ext.Inf) -> bool",
    "get_types_filepath": "get_types_filepath(self: quorle_ext.Inf) -> str",
    "get_rolling_cache_window": "get_rolling_cache_window(self: quorle_ext.Inf) -> int",
    "get_col_type_candidates": "get_col_type_candidates(self: quorle_ext.Inf) "
    "-> Dict[str, Dict[str, int]]",
}

PROPERTY_GETTERS = {
    "num_rows": "(arg0: quorle_ext.Inf) -> int",
    "col_names": "(arg0: quorle_ext.Inf) -> List[str]",
}

# Setter name -> (getter name, a valid value, the value the getter returns).
SETTERS = {
    "set_col_type_patterns": ("get_col_type_patterns", {"t": ["a", "b"]}, {"t": ["a", "b"]}),
    "set_na_values": ("get_na_values", {"-", "n/a"}, {"-", "n/a"}),
    "set_filepath": ("get_filepath", "x.csv", "x.csv"),
    "set_delimiter": ("get_delimiter", "|", "|"),
    "set_multithreading": ("get_multithreading", True, True),
    "set_save_types_file": ("get_save_types_file", True, True),
    "set_types_filepath": ("get_types_filepath", "t.txt", "t.txt"),
    "set_rolling_cache_window": ("get_rolling_cache_window", 5, 5),
}

GETTER_OF = {name: getter for name, (getter, _, _) in SETTERS.items()}
ARG_OF_SETTER = {f"set_{arg}": arg for arg in ARGS if arg != "col_type_patterns"}
ARG_OF_SETTER["set_col_type_patterns"] = "col_type_patterns"


def settings(inf):
    """Every setting as the getters report it."""
    return {arg: getattr(inf, GETTER_OF[setter])() for setter, arg in ARG_OF_SETTER.items()}


def results(inf):
    return inf.get_col_type_candidates(), inf.col_names, inf.num_rows


@pytest.fixture
def inf(make_inf):
    return make_inf("in.csv")


@pytest.fixture
def passed(make_inf, write_csv):
    """A session that has run one pass over a small file."""
    session = make_inf(write_csv([["a", "b"], ["1", "x"], ["2", "NA"]]))
    session.infer_types()
    return session


def test_module_doc_and_contents():
    assert quorle_ext.__doc__ == "The quorle Python interface"
    assert [n for n in dir(quorle_ext) if not n.startswith("_")] == ["Inf"]
    assert Inf.__module__ == "quorle_ext"
    assert Inf.__qualname__ == "Inf"
    assert Inf.__doc__ is None
    assert type(Inf).__name__ == "pybind11_type"
    assert [c.__name__ for c in Inf.__mro__] == ["Inf", "pybind11_object", "object"]


def test_bound_names_in_definition_order():
    bound = [n for n in vars(Inf) if n == "__init__" or not n.startswith("_")]
    assert bound == [*SIGNATURES, *PROPERTY_GETTERS]


@pytest.mark.parametrize("name", SIGNATURES)
def test_published_signature(name):
    assert getattr(Inf, name).__doc__.splitlines()[0] == SIGNATURES[name]


@pytest.mark.parametrize("name", PROPERTY_GETTERS)
def test_property_getter_doc(name):
    prop = vars(Inf)[name]
    assert isinstance(prop, property)
    assert prop.fset is None and prop.fdel is None
    assert prop.fget.__doc__.splitlines()[0] == PROPERTY_GETTERS[name]
    assert prop.__doc__ == ""


def test_construction_by_position():
    inf = Inf(*(VALUES[a] for a in ARGS))
    assert settings(inf) == VALUES


@pytest.mark.parametrize("seed", range(4))
def test_construction_by_keyword_in_any_order(seed):
    order = list(ARGS)
    random.Random(seed).shuffle(order)
    inf = Inf(**{a: VALUES[a] for a in order})
    assert settings(inf) == VALUES


def test_construction_mixing_position_and_keyword():
    inf = Inf(*(VALUES[a] for a in ARGS[:3]), **{a: VALUES[a] for a in reversed(ARGS[3:])})
    assert settings(inf) == VALUES


@pytest.mark.parametrize("count", range(len(ARGS)))
def test_too_few_arguments(count):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        Inf(*(VALUES[a] for a in ARGS[:count]))


@pytest.mark.parametrize(
    "call",
    [
        lambda: Inf(*(VALUES[a] for a in ARGS), 0),
        lambda: Inf(**VALUES, extra=1),
        lambda: Inf(*(VALUES[a] for a in ARGS[:7]), filepath="x", rolling_cache_window=1),
    ],
    ids=["surplus", "unknown-keyword", "duplicate"],
)
def test_constructor_refuses_bad_argument_lists(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("setter", SETTERS)
def test_setter_positional_only_and_arity(inf, setter):
    getter, value, expected = SETTERS[setter]
    before = getattr(inf, getter)()
    with pytest.raises(TypeError, match=rf"{setter}\(\): incompatible function arguments"):
        getattr(inf, setter)(arg0=value)
    with pytest.raises(TypeError):
        getattr(inf, setter)()
    with pytest.raises(TypeError):
        getattr(inf, setter)(value, value)
    assert getattr(inf, getter)() == before
    assert getattr(inf, setter)(value) is None
    assert getattr(inf, getter)() == expected


@pytest.mark.parametrize("getter", [g for g in SIGNATURES if g.startswith("get_")])
def test_getters_take_no_argument(inf, getter):
    with pytest.raises(TypeError):
        getattr(inf, getter)(1)


def test_infer_types_takes_no_argument(inf):
    with pytest.raises(TypeError):
        inf.infer_types(1)


@pytest.mark.parametrize("arg", ["filepath", "types_filepath"])
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("dir/ä.csv", "dir/ä.csv"),
        (b"dir/x.csv", "dir/x.csv"),
        ("\u20ac\U0001f600", "\u20ac\U0001f600"),
        (b"\xe2\x82\xac", "\u20ac"),
        ("", ""),
        (bytearray(b"ba.csv"), "ba.csv"),
    ],
    ids=["str", "bytes", "non-latin", "utf8-bytes", "empty", "bytearray"],
)
def test_string_argument_accepted(make_inf, arg, value, expected):
    inf = make_inf(**{arg: value})
    assert getattr(inf, f"get_{arg}")() == expected
    inf2 = make_inf()
    getattr(inf2, f"set_{arg}")(value)
    assert getattr(inf2, f"get_{arg}")() == expected


@pytest.mark.parametrize("arg", ["filepath", "types_filepath"])
@pytest.mark.parametrize(
    "value",
    [None, 1, pathlib.Path("x.csv"), pathlib.PurePosixPath("x.csv"), ["x"], "\udc80"],
    ids=["None", "int", "Path", "PurePath", "list", "lone-surrogate"],
)
def test_string_argument_refused(make_inf, arg, value):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        make_inf(**{arg: value})
    inf = make_inf(**{arg: "keep"})
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(inf, f"set_{arg}")(value)
    assert getattr(inf, f"get_{arg}")() == "keep"


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (",", ","),
        ("\t", "\t"),
        (b";", ";"),
        ("\x00", "\x00"),
        ("\x7f", "\x7f"),
        ("\u00e9", "\u00e9"),
        ("\u0080", "\u0080"),
        ("\u00ff", "\u00ff"),
        (b"\xe9", "\u00e9"),
        (b"\xc3\xa9", "\u00e9"),
    ],
    ids=["comma", "tab", "bytes", "nul", "del", "e-acute", "u80", "uff", "byte-e9", "utf8-e9"],
)
def test_delimiter_accepted(make_inf, value, expected):
    assert make_inf(delimiter=value).get_delimiter() == expected
    inf = make_inf()
    inf.set_delimiter(value)
    assert inf.get_delimiter() == expected


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (None, "Cannot convert None to a character"),
        ("", "Cannot convert empty string to a character"),
        (b"", "Cannot convert empty string to a character"),
        ("ab", "Expected a character, but multi-character string found"),
        (b"ab", "Expected a character, but multi-character string found"),
        ("\u00e9\u00e9", "Expected a character, but multi-character string found"),
        ("\u20ac", "Character code point not in range(0x100)"),
        ("\u0100", "Character code point not in range(0x100)"),
        ("\U0001f600", "Character code point not in range(0x100)"),
    ],
    ids=["None", "empty", "empty-bytes", "two", "two-bytes", "two-latin", "euro", "u100", "emoji"],
)
def test_delimiter_refused(make_inf, value, message):
    with pytest.raises(ValueError) as info:
        make_inf(delimiter=value)
    assert str(info.value) == message
    inf = make_inf(delimiter="|")
    with pytest.raises(ValueError) as info:
        inf.set_delimiter(value)
    assert str(info.value) == message
    assert inf.get_delimiter() == "|"


@pytest.mark.parametrize("value", [1, [","], 44], ids=["int", "list", "code"])
def test_delimiter_of_wrong_type(make_inf, value):
    with pytest.raises(TypeError):
        make_inf(delimiter=value)


def test_latin1_delimiter_is_one_byte(make_inf, write_csv):
    # If the character were stored as its two UTF-8 bytes, no field would split.
    path = write_csv(raw=b"a\xe9b\n1\xe9x\n")
    inf = make_inf(path, delimiter="\u00e9")
    inf.infer_types()
    assert inf.col_names == ["a", "b"]
    assert inf.get_col_type_candidates()["b"]["word"] == 1


@pytest.mark.parametrize("arg", ["multithreading", "save_types_file"])
@pytest.mark.parametrize(
    ("value", "expected"),
    [(True, True), (False, False), (None, False), (0, False), (0.0, False), (2, True), (0.5, True)],
    ids=["True", "False", "None", "zero", "zero-float", "two", "half"],
)
def test_bool_accepted(make_inf, arg, value, expected):
    inf = make_inf(**{arg: value})
    assert getattr(inf, f"get_{arg}")() is expected
    getattr(inf, f"set_{arg}")(not expected)
    getattr(inf, f"set_{arg}")(value)
    assert getattr(inf, f"get_{arg}")() is expected


@pytest.mark.parametrize("arg", ["multithreading", "save_types_file"])
@pytest.mark.parametrize("value", ["yes", "", [], {}, b"1"], ids=repr)
def test_bool_refused(make_inf, arg, value):
    with pytest.raises(TypeError):
        make_inf(**{arg: value})
    inf = make_inf(**{arg: True})
    with pytest.raises(TypeError):
        getattr(inf, f"set_{arg}")(value)
    assert getattr(inf, f"get_{arg}")() is True


@pytest.mark.parametrize(
    ("value", "expected"),
    [(2147483647, 2147483647), (-2147483648, -2147483648), (0, 0), (-1, -1), (True, 1)],
    ids=["max", "min", "zero", "minus-one", "True"],
)
def test_int_accepted(make_inf, value, expected):
    inf = make_inf(rolling_cache_window=value)
    assert inf.get_rolling_cache_window() == expected
    inf.set_rolling_cache_window(7)
    inf.set_rolling_cache_window(value)
    assert inf.get_rolling_cache_window() == expected


@pytest.mark.parametrize("value", [2147483648, -2147483649, 2**64, 3.0, 1.5, "1", None], ids=repr)
def test_int_refused(make_inf, value):
    with pytest.raises(TypeError):
        make_inf(rolling_cache_window=value)
    inf = make_inf(rolling_cache_window=9)
    with pytest.raises(TypeError):
        inf.set_rolling_cache_window(value)
    assert inf.get_rolling_cache_window() == 9


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ({}, {}),
        ({"t": ["a", "b", "a"]}, {"t": ["a", "b", "a"]}),
        ({"t": ("x", "y")}, {"t": ["x", "y"]}),
        ({"t": [], "u": [""]}, {"t": [], "u": [""]}),
        ({b"t": [b"[0-9]"]}, {"t": ["[0-9]"]}),
        (collections.OrderedDict(t=["z"]), {"t": ["z"]}),
        ({"t": ["1"], b"t": ["2"]}, {"t": ["1"]}),
    ],
    ids=["empty", "list-with-duplicate", "tuple", "empty-lists", "bytes", "subclass", "same-key"],
)
def test_pattern_table_accepted(make_inf, value, expected):
    assert make_inf(col_type_patterns=value).get_col_type_patterns() == expected
    inf = make_inf()
    inf.set_col_type_patterns(value)
    assert inf.get_col_type_patterns() == expected


@pytest.mark.parametrize(
    "value",
    [
        {"t": "[0-9]+"},
        {"t": b"[0-9]+"},
        {"t": {"a"}},
        {"t": (c for c in "ab")},
        {"t": [1]},
        {1: ["a"]},
        {"t": None},
        types.MappingProxyType({"t": ["a"]}),
        [("t", ["a"])],
    ],
    ids=["str", "bytes", "set", "generator", "int-item", "int-key", "None", "proxy", "pairs"],
)
def test_pattern_table_refused(make_inf, value):
    with pytest.raises(TypeError):
        make_inf(col_type_patterns=value)
    inf = make_inf(col_type_patterns={"keep": ["k"]})
    with pytest.raises(TypeError):
        inf.set_col_type_patterns(value)
    assert inf.get_col_type_patterns() == {"keep": ["k"]}


class SetSubclass(set):
    pass


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (set(), set()),
        ({"NA", "", "null"}, {"NA", "", "null"}),
        ({b"-", "-"}, {"-"}),
        (SetSubclass({"x"}), {"x"}),
        (frozenset({"f"}), {"f"}),
    ],
    ids=["empty", "strings", "bytes", "subclass", "frozenset"],
)
def test_na_values_accepted(make_inf, value, expected):
    assert make_inf(na_values=value).get_na_values() == expected
    inf = make_inf()
    inf.set_na_values(value)
    assert inf.get_na_values() == expected


@pytest.mark.parametrize(
    "value",
    [["NA"], ("NA",), {"NA": 1}, "NA", None, {1}],
    ids=["list", "tuple", "dict", "str", "None", "int-item"],
)
def test_na_values_refused(make_inf, value):
    with pytest.raises(TypeError):
        make_inf(na_values=value)
    inf = make_inf(na_values={"keep"})
    with pytest.raises(TypeError):
        inf.set_na_values(value)
    assert inf.get_na_values() == {"keep"}


def test_refused_argument_runs_no_engine_code(make_inf):
    # All arguments convert before the engine runs: a bad pattern next to a
    # bad window must give TypeError, not the regex error.
    with pytest.raises(TypeError):
        make_inf(col_type_patterns={"t": ["("]}, rolling_cache_window=1.0)
    with pytest.raises(TypeError):
        make_inf(col_type_patterns={"t": ["("]}, delimiter=1)


def test_arguments_are_copied_in(write_csv):
    patterns = {"int": ["[0-9]+"]}
    na_values = {"NA"}
    inf = Inf("f.csv", ",", patterns, na_values, False, False, "t.txt", 10)
    patterns["int"].append("x")
    patterns["new"] = []
    na_values.add("y")
    assert inf.get_col_type_patterns() == {"int": ["[0-9]+"]}
    assert inf.get_na_values() == {"NA"}


def test_results_are_copied_out(passed):
    candidates = passed.get_col_type_candidates()
    expected = {k: dict(v) for k, v in candidates.items()}
    candidates["a"]["int"] = 99
    candidates["zzz"] = {}
    assert passed.get_col_type_candidates() == expected

    names = passed.col_names
    names.append("c")
    names[0] = "z"
    assert passed.col_names == ["a", "b"]

    patterns = passed.get_col_type_patterns()
    patterns["int"].clear()
    patterns["new"] = ["x"]
    assert passed.get_col_type_patterns() == {"int": [r"-?[0-9]+"], "word": [r"[a-z]+"]}

    na_values = passed.get_na_values()
    na_values.add("other")
    assert passed.get_na_values() == {"NA"}

    assert passed.get_col_type_candidates() is not passed.get_col_type_candidates()
    assert passed.col_names is not passed.col_names


def test_result_types(passed):
    assert type(passed.num_rows) is int
    assert passed.num_rows == 2
    assert all(type(n) is str for n in passed.col_names)
    for col, counts in passed.get_col_type_candidates().items():
        assert type(col) is str
        assert all(type(t) is str and type(c) is int for t, c in counts.items())
    assert type(passed.get_delimiter()) is str
    assert type(passed.get_na_values()) is set
    assert type(passed.get_rolling_cache_window()) is int


def test_fresh_object_reports_empty_results(inf):
    assert inf.get_col_type_candidates() == {}
    assert inf.col_names == []
    assert inf.num_rows == 0


def test_missing_input_file(make_inf, tmp_path):
    inf = make_inf(str(tmp_path / "missing.csv"))
    with pytest.raises(quorle_ext._StreamError) as info:
        inf.infer_types()
    assert isinstance(info.value, RuntimeError)
    assert str(info.value) == "Something is wrong with input stream"
    assert results(inf) == ({}, [], 0)


def test_missing_input_after_a_pass_keeps_results_but_row_count(passed, tmp_path):
    candidates, names, _ = results(passed)
    passed.set_filepath(str(tmp_path / "missing.csv"))
    with pytest.raises(RuntimeError, match="^Something is wrong with input stream$"):
        passed.infer_types()
    assert results(passed) == (candidates, names, 0)


def test_missing_input_leaves_types_file_alone(make_inf, tmp_path, types_path):
    pathlib.Path(types_path).write_text("keep me\n")
    inf = make_inf(str(tmp_path / "missing.csv"), save_types_file=True)
    with pytest.raises(RuntimeError):
        inf.infer_types()
    assert pathlib.Path(types_path).read_text() == "keep me\n"


@pytest.mark.parametrize(
    "patterns",
    [{"t": ["("]}, {"t": ["[a-"]}, {"t": ["ok", "*"]}, {"ok": ["a"], "bad": ["a{2,1}"]}],
    ids=["paren", "bracket", "second-source", "second-type"],
)
def test_bad_pattern_from_constructor(make_inf, patterns):
    with pytest.raises(RuntimeError, match="error occurred while parsing the regular expression"):
        make_inf(col_type_patterns=patterns)


def test_bad_pattern_from_setter_keeps_what_compiled_before(inf):
    with pytest.raises(RuntimeError, match="regular expression"):
        inf.set_col_type_patterns({"t": ["a+", "b", "(", "c"]})
    assert inf.get_col_type_patterns() == {"t": ["a+", "b"]}
    inf.set_col_type_patterns({"u": ["x"]})
    assert inf.get_col_type_patterns() == {"u": ["x"]}


@pytest.mark.parametrize(
    "where",
    ["missing-folder", "empty", "folder", "input-file"],
)
def test_unopenable_types_file(passed, tmp_path, where):
    input_path = passed.get_filepath()
    content = pathlib.Path(input_path).read_bytes()
    target = {
        "missing-folder": str(tmp_path / "no" / "such" / "types.txt"),
        "empty": "",
        "folder": str(tmp_path),
        "input-file": input_path,
    }[where]
    candidates, names, _ = results(passed)
    passed.set_save_types_file(True)
    passed.set_types_filepath(target)
    with pytest.raises(quorle_ext._TypesFileError) as info:
        passed.infer_types()
    assert isinstance(info.value, RuntimeError)
    message = str(info.value)
    assert message.startswith("Cannot open types file: ")
    assert target in message
    assert results(passed) == (candidates, names, 0)
    assert pathlib.Path(input_path).read_bytes() == content
    # The session is still usable once the path is fixed.
    passed.set_types_filepath(str(tmp_path / "ok.txt"))
    passed.infer_types()
    assert results(passed) == (candidates, names, 2)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_failed_types_file_write(make_inf, write_csv):
    path = write_csv([["a"], *([str(i)] for i in range(50_000))])
    inf = make_inf(path, save_types_file=True, types_filepath="/dev/full")
    with pytest.raises(RuntimeError) as info:
        inf.infer_types()
    assert str(info.value).startswith("Cannot write types file: ")
    assert "/dev/full" in str(info.value)
    assert inf.num_rows == 50_000
    assert inf.col_names == ["a"]
    assert inf.get_col_type_candidates() == {"a": {"int": 50_000, "word": 0, "other": 0, "NA": 0}}


def test_invalid_utf8_paths(make_inf, tmp_path):
    name = os.fsencode(str(tmp_path)) + b"/\xff\xfe.csv"
    with open(name, "wb") as f:
        f.write(b"a\n1\n")
    inf = make_inf(name, types_filepath=b"\xff.txt")
    with pytest.raises(UnicodeDecodeError):
        inf.get_filepath()
    with pytest.raises(UnicodeDecodeError):
        inf.get_types_filepath()
    # The bytes reach the file system unchanged.
    inf.infer_types()
    assert inf.num_rows == 1
    assert inf.col_names == ["a"]


def test_invalid_utf8_strings_in_sets_and_patterns(make_inf):
    inf = make_inf(na_values={b"\xff"}, col_type_patterns={b"\xfe": [b"\xff"]})
    with pytest.raises(UnicodeDecodeError):
        inf.get_na_values()
    with pytest.raises(UnicodeDecodeError):
        inf.get_col_type_patterns()


def test_invalid_utf8_header(make_inf, write_csv):
    inf = make_inf(write_csv(raw=b"ok,bad\xff\n1,2\n"))
    inf.infer_types()
    assert inf.num_rows == 1
    with pytest.raises(UnicodeDecodeError):
        inf.col_names  # noqa: B018
    with pytest.raises(UnicodeDecodeError):
        inf.get_col_type_candidates()


def test_invalid_utf8_fields_only_affect_counts_not_decoding(make_inf, write_csv):
    inf = make_inf(write_csv(raw=b"a\n\xff\xfe\n"))
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"a": {"int": 0, "word": 0, "other": 1, "NA": 0}}


@pytest.mark.parametrize("name", ["num_rows", "col_names"])
def test_properties_are_read_only(inf, name):
    with pytest.raises(AttributeError):
        setattr(inf, name, 1)
    with pytest.raises(AttributeError):
        delattr(inf, name)


def test_no_instance_dict(inf):
    assert not hasattr(inf, "__dict__")
    with pytest.raises(AttributeError):
        inf.extra = 1
    with pytest.raises(AttributeError):
        inf.get_filepath = None


def test_second_init_changes_nothing(passed):
    before = settings(passed), results(passed)
    assert passed.__init__("other.csv", "|", {}, set(), True, True, "x.txt", 3) is None
    assert (settings(passed), results(passed)) == before


def test_python_subclass(make_inf, write_csv):
    class Session(Inf):
        def __init__(self, path):
            super().__init__(path, ",", {"int": ["[0-9]+"]}, set(), False, False, "", 0)
            self.label = "mine"

        def summary(self):
            self.infer_types()
            return self.num_rows, self.col_names

    session = Session(write_csv([["a", "b"], ["1", "2"]]))
    assert isinstance(session, Inf)
    assert session.label == "mine"
    assert session.summary() == (1, ["a", "b"])
    assert session.get_col_type_candidates()["b"]["int"] == 1


def test_subclass_must_call_base_init():
    class Broken(Inf):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="__init__"):
        Broken()
