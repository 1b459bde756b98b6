"""Version values and result objects of the host SDK stand-in."""

import pytest

from orbisk import VornPublic, VornUtils
from orbisk.VornUtils import VER, RetCode, RetType


@pytest.mark.parametrize(
    "lower, higher",
    [
        ("0.1.0.5", "0.1.0.6"),
        ("0.1.0.6", "0.2.0.0"),
        ("0.1.0.9", "0.1.0.10"),  # numeric, not text, comparison
        ("1.2", "1.2.0.1"),
        ("9.9.9", "10"),
    ],
)
def test_ver_orders_field_by_field(lower, higher):
    lo, hi = VER(lower), VER(higher)
    assert lo < hi and lo <= hi and hi > lo and hi >= lo and lo != hi
    assert not (lo > hi or lo >= hi or hi < lo or lo == hi)


@pytest.mark.parametrize("a, b", [("0.1.0.6", "0.1.0.6"), ("1.2", "1.2.0"), (" 3.04 ", "3.4")])
def test_ver_equal_versions_compare_and_hash_alike(a, b):
    va, vb = VER(a), VER(b)
    assert va == vb and va <= vb and va >= vb and not va < vb
    assert hash(va) == hash(vb)
    assert len({va, vb}) == 1


def test_ver_text_round_trip():
    assert str(VER("0.1.0.6")) == "0.1.0.6"
    assert str(VER("  1.20\n")) == "1.20"
    assert repr(VER("0.1.0.6")) == "VER('0.1.0.6')"


@pytest.mark.parametrize("text", ["", "   ", "abc", "1..2", "1.-2", "1.2a", ".1", "1.", "1 .2", "v1.2", "١.٢"])
def test_ver_rejects_non_versions(text):
    with pytest.raises(ValueError, match="not a version"):
        VER(text)


@pytest.mark.parametrize("value", [None, 1, 1.2, b"1.2"])
def test_ver_rejects_non_text(value):
    with pytest.raises(TypeError):
        VER(value)


def test_retcode_is_reexported_from_utils():
    assert VornUtils.RetCode is VornPublic.RetCode


def test_rettype_construction():
    default = RetType()
    assert (default.RetCode, default.RetMsg, default.RetData) == (RetCode.OK, "", None)

    err = RetType(RetCode.ERROR, "device busy")
    assert (err.RetCode, err.RetMsg, err.RetData) == (RetCode.ERROR, "device busy", None)

    payload = [1, 2]
    ok = RetType(data=payload)
    assert ok.RetCode is RetCode.OK and ok.RetData is payload

    text = repr(RetType(RetCode.WARNING, "low power", data=3))
    assert "WARNING" in text and "low power" in text and "3" in text
    assert RetType() != RetType()  # identity semantics
