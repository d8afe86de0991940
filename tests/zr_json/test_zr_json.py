import datetime as dt
import math
import traceback
import types

import pytest
import simplejson
from hypothesis import given, settings, strategies as st

from morvel.ostra import const
from morvel.ostra.utils import zr_json

BUY = const.SIDE.BUY


def _missing_member_message():
    try:
        _ = const.SIDE.NOPE
    except AttributeError as e:
        return str(e)


MISSING_MEMBER = _missing_member_message()

UTC8 = dt.timezone(dt.timedelta(hours=8))


class Stamp(dt.datetime):
    """A datetime subclass, as framework code sometimes hands in."""


# ---------------------------------------------------------------- reference
# The same steps in plain Python, run through simplejson the same way.  The
# year is always padded here, so it also checks the native module's handling
# of years below 1000 against a different route to the same text.

def ref_encode(obj):
    if isinstance(obj, dt.datetime):
        return {"__datetime__": True,
                "as_str": "%04d" % obj.year + obj.strftime("%m%dT%H:%M:%S.%f")}
    if isinstance(obj, dt.date):
        return {"__date__": True, "as_str": "%04d" % obj.year + obj.strftime("%m%d")}
    if isinstance(obj, const.CustomEnum):
        return {"__enum__": True, "as_str": str(obj)}
    raise TypeError("Unserializable object {} of type {}".format(obj, type(obj)))


def ref_decode(obj):
    if "__datetime__" in obj:
        return dt.datetime.strptime(obj["as_str"], "%Y%m%dT%H:%M:%S.%f")
    if "__date__" in obj:
        return dt.datetime.strptime(obj["as_str"], "%Y%m%d").date()
    if "__enum__" in obj:
        parts = obj["as_str"].split(".")
        if len(parts) > 2:
            raise ValueError("too many values to unpack (expected 2)")
        if len(parts) < 2:
            raise ValueError("need more than %d value%s to unpack"
                             % (len(parts), "" if len(parts) == 1 else "s"))
        class_name, member_name = parts
        return getattr(getattr(const, class_name), member_name)
    return obj


def ref_loads(text):
    return simplejson.loads(text, object_hook=ref_decode)


def outcome(f, *args):
    try:
        return "ok", f(*args)
    except Exception as e:  # compared by type and text below
        return type(e), str(e)


MEMBERS = [m for cls in (const.SIDE, const.EXCHANGE, const.DEFAULT_ACCOUNT_TYPE) for m in cls]

leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.text(),
    st.floats(allow_nan=False),  # NaN is checked on its own: it never equals itself
    st.datetimes(timezones=st.none() | st.just(dt.timezone.utc) | st.just(UTC8)),
    st.datetimes().map(lambda d: Stamp.combine(d.date(), d.time())),
    st.dates(),
    st.sampled_from(MEMBERS),
)
# Keys may be tag names: such objects must fail or decode the same way.
keys = st.text() | st.sampled_from(["__datetime__", "__date__", "__enum__", "as_str"])
nested = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4)
                      | st.dictionaries(keys, inner, max_size=4), max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(nested)
def test_matches_reference_on_generated_data(value):
    text = zr_json.convert_dict_to_json(value)
    assert text == simplejson.dumps(value, default=ref_encode)
    assert outcome(zr_json.convert_json_to_dict, text) == \
        outcome(ref_loads, text)


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(keys, st.text() | st.booleans() | st.none(), max_size=3))
def test_decodes_arbitrary_objects_like_reference(obj):
    # Hand-made objects with stray tags and texts, which encoding never writes.
    text = simplejson.dumps({"outer": [obj]})
    assert outcome(zr_json.convert_json_to_dict, text) == \
        outcome(ref_loads, text)


# ---------------------------------------------------------------- written texts

# Texts shaped like the written forms, valid or not: strptime's verdict on each
# (value or error) is what decoding must give, however it gets there.
date_chars = st.sampled_from("0123456789") | st.sampled_from("T:. t٣")
written_like = st.one_of(
    st.tuples(st.integers(0, 9999), st.integers(0, 19), st.integers(0, 39)).map(
        lambda ymd: "%04d%02d%02d" % ymd),
    st.tuples(st.integers(0, 9999), st.integers(0, 13), st.integers(0, 32), st.integers(0, 25),
              st.integers(0, 61), st.integers(0, 61), st.integers(0, 999999)).map(
        lambda f: "%04d%02d%02dT%02d:%02d:%02d.%06d" % f),
    st.text(date_chars, min_size=6, max_size=26),
)


@settings(max_examples=400, deadline=None)
@given(written_like, st.sampled_from(["__datetime__", "__date__"]))
def test_decoded_dates_are_what_strptime_makes_of_the_text(text, tag):
    obj = {tag: True, "as_str": text}
    assert outcome(zr_json.custom_decode, obj) == outcome(ref_decode, obj)


@pytest.mark.parametrize("text", ["20240229", "20230229", "00010101", "99991231", "20241231"])
def test_calendar_edges_decode_like_strptime(text):
    obj = {"__date__": True, "as_str": text}
    assert outcome(zr_json.custom_decode, obj) == outcome(ref_decode, obj)


@pytest.mark.parametrize("value, text", [
    (dt.datetime(2024, 1, 2, 3, 4, 5, 6),
     '{"__datetime__": true, "as_str": "20240102T03:04:05.000006"}'),
    (dt.datetime(2024, 1, 2, 3, 4, 5),
     '{"__datetime__": true, "as_str": "20240102T03:04:05.000000"}'),
    (dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC8),
     '{"__datetime__": true, "as_str": "20240102T03:04:05.000006"}'),
    (Stamp(2024, 1, 2, 3, 4, 5, 6),
     '{"__datetime__": true, "as_str": "20240102T03:04:05.000006"}'),
    (dt.date(2024, 1, 2), '{"__date__": true, "as_str": "20240102"}'),
    (dt.date(999, 1, 2), '{"__date__": true, "as_str": "09990102"}'),
    (dt.date(1, 1, 1), '{"__date__": true, "as_str": "00010101"}'),
    (dt.datetime(45, 6, 7, 8, 9, 10), '{"__datetime__": true, "as_str": "00450607T08:09:10.000000"}'),
    (BUY, '{"__enum__": true, "as_str": "SIDE.BUY"}'),
    ({"when": [dt.date(2024, 1, 2)]}, '{"when": [{"__date__": true, "as_str": "20240102"}]}'),
    ([float("nan"), float("inf"), -float("inf")], "[NaN, Infinity, -Infinity]"),
], ids=["datetime", "no-micro", "aware", "subclass", "date", "year-999", "year-1",
        "datetime-year-45", "enum", "nested", "nan-inf"])
def test_written_text(value, text):
    assert zr_json.convert_dict_to_json(value) == text


# ---------------------------------------------------------------- round trips

def test_round_trip_at_every_depth():
    value = [
        {"a": [dt.datetime(2024, 1, 2, 3, 4, 5, 6), {"b": [dt.date(2024, 1, 2), BUY]}]},
        [[{"aware": dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC8)}]],
        {"sub": Stamp(2020, 2, 29, 23, 59, 59, 999999), "plain": {"x": 1, "y": [None, "s"]}},
    ]
    back = zr_json.convert_json_to_dict(zr_json.convert_dict_to_json(value))

    assert back == [
        {"a": [dt.datetime(2024, 1, 2, 3, 4, 5, 6), {"b": [dt.date(2024, 1, 2), BUY]}]},
        [[{"aware": dt.datetime(2024, 1, 2, 3, 4, 5)}]],   # the zone is lost
        {"sub": dt.datetime(2020, 2, 29, 23, 59, 59, 999999), "plain": {"x": 1, "y": [None, "s"]}},
    ]
    assert back[0]["a"][1]["b"][1] is BUY
    assert type(back[0]["a"][1]["b"][0]) is dt.date
    assert type(back[2]["sub"]) is dt.datetime
    assert back[1][0][0]["aware"].tzinfo is None


@pytest.mark.parametrize("value", [
    dt.date(999, 1, 2), dt.date(1, 1, 1), dt.date(9, 9, 9), dt.date(9999, 12, 31),
    dt.datetime(999, 12, 31, 23, 59, 59, 999999), dt.datetime(1, 1, 1),
], ids=str)
def test_early_years_come_back_as_the_same_date(value):
    back = zr_json.convert_json_to_dict(zr_json.convert_dict_to_json([value]))
    assert back == [value] and type(back[0]) is type(value)


def test_every_enum_member_comes_back_identical():
    members = [m for name in dir(const) if isinstance(getattr(const, name), type)
               and issubclass(getattr(const, name), const.CustomEnum)
               for m in getattr(const, name)]
    back = zr_json.convert_json_to_dict(zr_json.convert_dict_to_json(members))
    assert len(back) == len(members) and all(b is m for b, m in zip(back, members, strict=True))


def test_nan_and_infinities_round_trip_as_floats():
    back = zr_json.convert_json_to_dict(zr_json.convert_dict_to_json(
        {"price": float("nan"), "hi": float("inf"), "lo": -float("inf")}))
    assert math.isnan(back["price"]) and back["hi"] == math.inf and back["lo"] == -math.inf


# ---------------------------------------------------------------- decode hook

@pytest.fixture
def recorder(monkeypatch):
    """custom_decode replaced in the module namespace by a recorder that
    forwards to the real hook."""
    real = zr_json.custom_decode
    calls = []

    def record(obj):
        result = real(obj)
        calls.append((obj, result))
        return result
    monkeypatch.setattr(zr_json, "custom_decode", record)
    return calls


@pytest.mark.parametrize("text, value", [
    ("5", 5), ('"20240102"', "20240102"), ("[1, \"a\", null]", [1, "a", None]), ("[]", []),
])
def test_top_level_non_objects_never_reach_the_hook(recorder, text, value):
    assert zr_json.convert_json_to_dict(text) == value
    assert recorder == []


def test_untagged_objects_come_back_as_the_dict_simplejson_built(recorder):
    back = zr_json.convert_json_to_dict('[{"k": {"x": 1, "as_str": "y"}}]')
    assert [obj for obj, _ in recorder] == [{"x": 1, "as_str": "y"}, {"k": {"x": 1, "as_str": "y"}}]
    assert all(result is obj for obj, result in recorder)
    assert back[0] is recorder[-1][0]


@pytest.mark.parametrize("text, expected", [
    ('{"__datetime__": 1, "__date__": 1, "as_str": "20240102T03:04:05.000006"}',
     dt.datetime(2024, 1, 2, 3, 4, 5, 6)),
    ('{"__date__": 1, "__enum__": 1, "as_str": "20240102"}', dt.date(2024, 1, 2)),
    ('{"__enum__": 1, "__datetime__": 1, "as_str": "20240102T03:04:05.000000"}',
     dt.datetime(2024, 1, 2, 3, 4, 5)),
    ('{"__date__": false, "as_str": "20240102"}', dt.date(2024, 1, 2)),
    ('{"__datetime__": null, "as_str": "20240102T00:00:00.000000"}', dt.datetime(2024, 1, 2)),
    ('{"__enum__": false, "as_str": "SIDE.BUY", "extra": [1]}', BUY),
    ('{"as_str": "20240102", "__date__": true}', dt.date(2024, 1, 2)),
], ids=["datetime-over-date", "date-over-enum", "datetime-over-enum", "false-date",
        "null-datetime", "false-enum-extra", "tag-second"])
def test_tag_priority_and_presence(text, expected):
    got = zr_json.convert_json_to_dict(text)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("text, error, message", [
    ('{"__datetime__": true}', KeyError, "'as_str'"),
    ('{"__enum__": true, "As_str": "SIDE.BUY"}', KeyError, "'as_str'"),
    ('{"__date__": true, "as_str": "2024-01-02"}', ValueError,
     "time data '2024-01-02' does not match format '%Y%m%d'"),
    ('{"__date__": true, "as_str": "20240230"}', ValueError, "day is out of range for month"),
    ('{"__datetime__": true, "as_str": "20240102"}', ValueError,
     "time data '20240102' does not match format '%Y%m%dT%H:%M:%S.%f'"),
    ('{"__date__": true, "as_str": 20240102}', TypeError,
     "strptime() argument 1 must be str, not int"),
    ('{"__enum__": true, "as_str": "SIDE"}', ValueError, "need more than 1 value to unpack"),
    ('{"__enum__": true, "as_str": ""}', ValueError, "need more than 1 value to unpack"),
    ('{"__enum__": true, "as_str": "SIDE.BUY.X"}', ValueError,
     "too many values to unpack (expected 2)"),
    ('{"__enum__": true, "as_str": "NOPE.BUY"}', AttributeError,
     "module 'morvel.ostra.const' has no attribute 'NOPE'"),
    # the enumeration class's own wording, which changed in 3.12
    ('{"__enum__": true, "as_str": "SIDE.NOPE"}', AttributeError, MISSING_MEMBER),
    ('{"__enum__": true, "as_str": 7}', AttributeError, "'int' object has no attribute 'split'"),
])
def test_decode_failures(text, error, message):
    with pytest.raises(error) as info:
        zr_json.convert_json_to_dict('{"outer": [%s]}' % text)
    assert str(info.value) == message


def test_not_json_raises_the_package_error():
    with pytest.raises(simplejson.JSONDecodeError):
        zr_json.convert_json_to_dict("{not json")


class Text:
    """An "as_str" value whose split() returns any iterable."""

    def __init__(self, parts):
        self.parts = parts

    def split(self, sep):
        assert sep == "."
        return self.parts


@pytest.mark.parametrize("parts, expected", [
    (iter([]), "need more than 0 values to unpack"),
    (iter(["SIDE"]), "need more than 1 value to unpack"),
    (iter(["SIDE", "BUY", "X"]), "too many values to unpack (expected 2)"),
    (("SIDE",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter(["SIDE", "BUY"]), BUY),
    (("SIDE", "BUY"), BUY),
    ((p for p in ["SIDE", "SELL"]), const.SIDE.SELL),
], ids=["iter-0", "iter-1", "iter-3", "tuple-1", "tuple-0", "iter-2", "tuple-2", "gen-2"])
def test_enum_text_unpacks_any_iterable(parts, expected):
    obj = {"__enum__": True, "as_str": Text(parts)}
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            zr_json.custom_decode(obj)
        assert str(info.value) == expected
    else:
        assert zr_json.custom_decode(obj) is expected


def test_decode_hook_accepts_any_mapping_with_in_and_subscription():
    class Row:
        def __contains__(self, key):
            return key == "__date__"

        def __getitem__(self, key):
            assert key == "as_str"
            return "20240102"
    assert zr_json.custom_decode(Row()) == dt.date(2024, 1, 2)


# ---------------------------------------------------------------- encode hook

@pytest.mark.parametrize("value", [{1, 2}, object(), 1j, frozenset()], ids=repr)
def test_unserializable_values_fail_whole(value):
    message = "Unserializable object {} of type {}".format(value, type(value))
    with pytest.raises(TypeError) as info:
        zr_json.convert_dict_to_json({"ok": dt.date(2024, 1, 2), "bad": [value]})
    assert info.value.args == (message,)
    with pytest.raises(TypeError) as info:
        zr_json.custom_encode(value)
    assert info.value.args == (message,)


class OwnDate(dt.date):
    def strftime(self, fmt):
        return "own:" + fmt


class OwnStamp(dt.datetime):
    def strftime(self, fmt):
        return "own:" + fmt


class PlainDate(dt.date):
    """A subclass that keeps the date type's strftime."""


@pytest.mark.parametrize("value, expected", [
    # A class with its own strftime gets the format text as written.
    (OwnDate(5, 1, 2), {"__date__": True, "as_str": "own:%Y%m%d"}),
    (OwnStamp(5, 1, 2), {"__datetime__": True, "as_str": "own:%Y%m%dT%H:%M:%S.%f"}),
    # The date type's own strftime writes early years with four digits.
    (PlainDate(5, 1, 2), {"__date__": True, "as_str": "00050102"}),
    (Stamp(45, 1, 2, 3, 4, 5, 6), {"__datetime__": True, "as_str": "00450102T03:04:05.000006"}),
], ids=["own-date", "own-datetime", "plain-date-subclass", "plain-datetime-subclass"])
def test_encode_subclasses(value, expected):
    assert zr_json.custom_encode(value) == expected


def test_encode_objects_that_only_claim_to_be_dates(monkeypatch):
    # isinstance goes through __instancecheck__; such an object has no year,
    # and its strftime gets the format text unchanged.
    class Claims(type):
        def __instancecheck__(cls, obj):
            return isinstance(obj, Duck)

    class Duck:
        def strftime(self, fmt):
            return "duck:" + fmt

    module = types.SimpleNamespace(datetime=Claims("datetime", (), {}), date=dt.date)
    monkeypatch.setattr(zr_json, "datetime", module)
    assert zr_json.custom_encode(Duck()) == {"__datetime__": True,
                                             "as_str": "duck:%Y%m%dT%H:%M:%S.%f"}
    # and an exact datetime reaching the date test is written as a date
    module.datetime = Claims("datetime", (), {})
    assert zr_json.custom_encode(dt.datetime(2024, 1, 2, 3, 4)) == {"__date__": True,
                                                                    "as_str": "20240102"}


def test_encode_hook_returns_fresh_tagged_dicts():
    first = zr_json.custom_encode(BUY)
    assert first == {"__enum__": True, "as_str": "SIDE.BUY"} and list(first) == ["__enum__", "as_str"]
    assert zr_json.custom_encode(BUY) is not first


# ---------------------------------------------------------------- namespace

def test_module_namespace():
    names = list(vars(zr_json))
    assert names[-7:] == ["json", "datetime", "const", "convert_dict_to_json",
                          "convert_json_to_dict", "custom_encode", "custom_decode"]
    assert zr_json.json is simplejson and zr_json.datetime is dt and zr_json.const is const
    assert zr_json.__doc__ is None
    for name in names[-4:]:
        f = getattr(zr_json, name)
        assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == \
            (name, name, "morvel.ostra.utils.zr_json", None)


def test_tracebacks_name_the_module_source():
    with pytest.raises(ValueError) as info:
        zr_json.convert_json_to_dict('{"__enum__": 1, "as_str": "X"}')
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    assert ("morvel\\ostra\\utils\\zr_json", "convert_json_to_dict") in frames
    assert ("morvel\\ostra\\utils\\zr_json", "custom_decode") in frames


def test_rebound_json_takes_effect_with_the_call_shapes(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(
        dumps=lambda *a, **k: calls.append(("dumps", a, k)) or "TEXT",
        loads=lambda *a, **k: calls.append(("loads", a, k)) or "VALUE")
    monkeypatch.setattr(zr_json, "json", fake)

    assert zr_json.convert_dict_to_json(dict_obj={"a": 1}) == "TEXT"
    assert zr_json.convert_json_to_dict("[1]") == "VALUE"
    assert calls == [("dumps", ({"a": 1},), {"default": zr_json.custom_encode}),
                     ("loads", ("[1]",), {"object_hook": zr_json.custom_decode})]


def test_rebound_hooks_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(zr_json, "custom_encode", lambda obj: "enc:" + type(obj).__name__)
    monkeypatch.setattr(zr_json, "custom_decode", lambda obj: sorted(obj))
    assert zr_json.convert_dict_to_json([{1}]) == '["enc:set"]'
    assert zr_json.convert_json_to_dict('{"b": 1, "a": 2}') == ["a", "b"]


def test_rebound_const_takes_effect(monkeypatch):
    class Other:
        def __str__(self):
            return "Colour.RED"

    fake_const = types.SimpleNamespace(CustomEnum=Other,
                                       Colour=types.SimpleNamespace(RED="red!"))
    monkeypatch.setattr(zr_json, "const", fake_const)
    assert zr_json.convert_dict_to_json(Other()) == '{"__enum__": true, "as_str": "Colour.RED"}'
    assert zr_json.convert_json_to_dict('{"__enum__": true, "as_str": "Colour.RED"}') == "red!"
    with pytest.raises(TypeError, match="^Unserializable object SIDE.BUY of type"):
        zr_json.convert_dict_to_json(BUY)


def test_rebound_datetime_takes_effect(monkeypatch):
    class Day(dt.date):
        pass

    # A module whose `datetime` is the date class: every date now counts
    # as a datetime, and decoding parses with the replacement's strptime.
    fake = types.SimpleNamespace(datetime=Day, date=dt.date)
    monkeypatch.setattr(zr_json, "datetime", fake)
    assert zr_json.convert_dict_to_json(Day(2024, 1, 2)) == \
        '{"__datetime__": true, "as_str": "20240102T00:00:00.000000"}'
    with pytest.raises(AttributeError, match="strptime"):
        zr_json.convert_json_to_dict('{"__date__": true, "as_str": "20240102"}')


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(zr_json, "json")
    with pytest.raises(NameError, match="^name 'json' is not defined$"):
        zr_json.convert_dict_to_json({})


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("call, message", [
    (lambda: zr_json.custom_encode(), "custom_encode() takes exactly 1 positional argument (0 given)"),
    (lambda: zr_json.custom_decode({}, {}), "custom_decode() takes exactly 1 positional argument (2 given)"),
    (lambda: zr_json.convert_dict_to_json({}, dict_obj={}),
     "convert_dict_to_json() got multiple values for keyword argument 'dict_obj'"),
    (lambda: zr_json.convert_json_to_dict(text="{}"),
     "convert_json_to_dict() takes exactly 1 positional argument (0 given)"),
    (lambda: zr_json.custom_encode(obj=1, extra=2),
     "custom_encode() got an unexpected keyword argument 'extra'"),
    (lambda: zr_json.convert_json_to_dict("{}", sort_keys=True),
     "convert_json_to_dict() got an unexpected keyword argument 'sort_keys'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_parameters_by_keyword():
    assert zr_json.convert_json_to_dict(json_str='{"a": 1}') == {"a": 1}
    assert zr_json.custom_encode(obj=dt.date(2024, 1, 2)) == {"__date__": True, "as_str": "20240102"}
    assert zr_json.custom_decode(obj={"__enum__": 1, "as_str": "SIDE.BUY"}) is BUY
