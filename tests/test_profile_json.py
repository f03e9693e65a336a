"""The JSON fields of a table profile decode to exactly what json.loads builds.

The endpoint decodes most texts natively and leaves the rest to json.loads;
these differential tests feed generated texts (valid documents in many
layouts, and damaged or random ones) through the endpoint and compare with
json.loads: same types, same values (float bits included), same key order,
shared key objects, and the same exception for invalid text."""

import asyncio
import json
import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import strix.compute.metadata as metadata
import strix.task.docs.api.profile as profile
from test_profile_api import FakeStore, record


@pytest.fixture(scope="module")
def decode():
    """Decodes one text through the "histogram" field of the endpoint."""
    saved = metadata.ProjectMetadataStore
    metadata.ProjectMetadataStore = FakeStore
    profile.set_project_root("/")
    FakeStore.fail = {}

    def run(text):
        FakeStore.instances.clear()
        FakeStore.profiles = [record(histogram=text)]
        coro = profile.get_table_profile("s", "t", None)
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value["columns"][0]["histogram"]
        raise AssertionError("the endpoint suspended")

    yield run
    metadata.ProjectMetadataStore = saved
    profile._project_root = None
    profile._store_initialized = False


def same(a, b, path="$"):
    """Exact sameness of two decoded documents."""
    assert type(a) is type(b), f"{path}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, float):
        assert (math.isnan(a) and math.isnan(b)) or a.hex() == b.hex(), f"{path}: {a!r} != {b!r}"
    elif isinstance(a, dict):
        assert list(a) == list(b), f"{path}: keys {list(a)} != {list(b)}"
        for k in a:
            same(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, list):
        assert len(a) == len(b), f"{path}: length {len(a)} != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    else:
        assert a == b, f"{path}: {a!r} != {b!r}"


def key_sharing(doc):
    """{key text: number of distinct key objects}: json.loads shares keys."""
    ids = {}

    def walk(v):
        if isinstance(v, dict):
            for k, x in v.items():
                ids.setdefault(k, set()).add(id(k))
                walk(x)
        elif isinstance(v, list):
            for x in v:
                walk(x)

    walk(doc)
    return {k: len(s) for k, s in ids.items()}


def check(decode, text):
    try:
        expected = json.loads(text)
    except Exception as e:
        with pytest.raises(type(e)) as info:
            decode(text)
        assert str(info.value) == str(e)
        return
    got = decode(text)
    same(got, expected)
    assert key_sharing(got) == key_sharing(expected)


# --- generated documents -----------------------------------------------------------

texts = st.text(st.characters(codec=None, exclude_categories=()), max_size=12)
keys = st.one_of(texts, st.sampled_from(["count", "value", "bin", "", "é", "\u2603", "\U0001f600", "a\"b"]))
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1e6, max_value=1e6).map(lambda f: round(f, 3)),
    st.sampled_from([0.0, -0.0, 0.1, 1e22, 1e23, 9007199254740993.0, 5e-324, 1.7976931348623157e308]),
)
ints = st.one_of(st.integers(-(2**70), 2**70), st.integers(-1000, 1000),
                 st.sampled_from([10**17, 10**18 - 1, 10**18, -(10**18), 2**63, -(2**63)]))
scalars = st.one_of(st.none(), st.booleans(), ints, floats, texts)
documents = st.recursive(
    scalars,
    lambda children: st.one_of(st.lists(children, max_size=6), st.dictionaries(keys, children, max_size=6)),
    max_leaves=40,
)
layouts = st.fixed_dictionaries({
    "ensure_ascii": st.booleans(),
    "indent": st.one_of(st.none(), st.integers(0, 3), st.sampled_from(["\t", " \r\n"])),
    "separators": st.sampled_from([None, (",", ":"), (" , ", " : "), (",\n", ":\t")]),
    "sort_keys": st.booleans(),
})



@settings(max_examples=1500, deadline=None)
@given(doc=documents, layout=layouts, pad=st.sampled_from(["", " ", "\n\t ", "\r"]))
def test_documents_decode_like_json_loads(decode, doc, layout, pad):
    check(decode, pad + json.dumps(doc, **layout) + pad)


# Numbers written in every way the grammar allows.
number_texts = st.builds(
    lambda sign, whole, frac, exp: sign + whole + frac + exp,
    st.sampled_from(["", "-"]),
    st.one_of(st.just("0"), st.from_regex(r"[1-9][0-9]{0,25}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,25}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"[eE][+-]?[0-9]{1,4}", fullmatch=True)),
)


@settings(max_examples=1500, deadline=None)
@given(number=number_texts, wrap=st.sampled_from(["{}", "[{}]", '{{"k": {}}}', "[1, {}, 2]"]))
@example(number="2.2250738585072011e-308", wrap="{}")
@example(number="0.1e-999", wrap="{}")
@example(number="1e400", wrap="[{}]")
@example(number="123456789012345678", wrap="{}")
@example(number="1234567890123456789", wrap="{}")
@example(number="9007199254740993.0", wrap="{}")
@example(number="-0.0", wrap="{}")
def test_numbers_decode_like_json_loads(decode, number, wrap):
    check(decode, wrap.format(number))


# --- damaged and random text ------------------------------------------------------------

JSONISH = '{}[]",:0123456789.eE+-tfnaulrsINy \t\n\r\\u/bdDC\x00\x1f\x7f\u00e9\ud800\U0001f600'


@settings(max_examples=1500, deadline=None)
@given(doc=documents, data=st.data())
def test_damaged_documents(decode, doc, data):
    text = json.dumps(doc, ensure_ascii=data.draw(st.booleans()))
    for _ in range(data.draw(st.integers(1, 3))):
        i = data.draw(st.integers(0, len(text)))
        edit = data.draw(st.sampled_from(["delete", "insert", "replace"]))
        ch = data.draw(st.sampled_from(JSONISH))
        if edit == "delete":
            text = text[:i] + text[i + 1:]
        elif edit == "insert":
            text = text[:i] + ch + text[i:]
        else:
            text = text[:i] + ch + text[i + 1:]
    if text:
        check(decode, text)


@settings(max_examples=1500, deadline=None)
@given(text=st.text(st.sampled_from(JSONISH), min_size=1, max_size=30))
def test_random_text(decode, text):
    check(decode, text)


ESCAPES = [
    r'"\ud83d\ude00"', r'"\ud83d"', r'"\ude00\ud83d"', r'"\ud83d\u0041"', r'"\ud83dx\ude00"',
    r'"\ud83d\ude0"', r'"\ud83d\uzzzz"', r'"\ud83d\\"', r'"\u00e9\u00E9"', r'"\"\\\/\b\f\n\r\t"', r'"\x"',
    r'{"\u0061": 1, "a": 2}', r'{"k\u00e9": 1, "ké": 2, "k\u00e9": 3}', '"\ud800"', '"tab\there"', '"\x7f"',
    "\ufeff[]", "[1,]", '{"a":1,}', "[01]", "-", "1.", ".5", "1e", "1e+", "+1", "NaN", "[-Infinity]",
    "Infinity", "nul", "[true false]", '{"a" 1}', "{1: 2}", "[" * 150 + "]" * 150, "[" * 99 + "]" * 99,
    "   ", '""', '"a"', "0", "-0", "[[[]]]", '{"": {"": []}}',
]


@pytest.mark.parametrize("text", ESCAPES)
def test_edge_texts(decode, text):
    check(decode, text)


def test_keys_are_shared_within_one_text(decode):
    doc = decode(json.dumps([{"count": i, "n\u00e9": i, "k\\": i} for i in range(200)]
                            + [{f"k{i}": i for i in range(300)}]))
    assert len({id(k) for d in doc[:200] for k in d}) == 3


def test_non_str_and_custom_loads(decode, monkeypatch):
    check(decode, b'{"bytes": [1, 2.5]}')
    check(decode, bytearray(b"[null]"))
    with pytest.raises(TypeError):
        decode(42)
    monkeypatch.setattr(json, "loads", lambda text: ("custom", text))
    assert decode("[1]") == ("custom", "[1]")
    monkeypatch.undo()
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=str))
    assert decode("[1.5]") == ["1.5"]


@pytest.mark.parametrize(
    "text, native",
    [
        ('[{"bin": "0-10", "count": 4, "share": 0.25}, {"bin": "10-20", "count": 6, "share": 0.75}]', True),
        ('{"caf\\u00e9": ["\\ud83d\\ude00", -1.5e-3, 123456789012345678, true, null]}', True),
        ("[1.7976931348623157e308, 5e-324, 0.30000000000000004]", True),
        ("[NaN]", False),
        ("[12345678901234567890]", False),
        ("[1,]", False),
    ],
)
def test_which_texts_are_left_to_json_loads(decode, monkeypatch, text, native):
    """Counts the calls that reach the standard decoder (json.loads hands
    str texts to json._default_decoder.decode)."""
    calls = []
    real = json._default_decoder.decode
    monkeypatch.setattr(json._default_decoder, "decode", lambda s: calls.append(s) or real(s), raising=False)
    try:
        decode(text)
    except ValueError:
        pass
    assert calls == ([] if native else [text])
