"""compute_file_hash: truncated SHA-256 of the UTF-8 text, compared with hashlib."""
import hashlib

import pytest

import vantrel_native as vn


def reference(text):
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


@pytest.mark.parametrize(
    "text",
    [
        "",
        "abc",
        "é",
        "def f():\n    return 1\n",
        "def f():\r\n    return 1\r\n",
        "\ufeffbom kept",
        "日本語のテキスト 🎉 \U0010ffff",
        "x" * 55, "x" * 56, "x" * 63, "x" * 64, "x" * 65,  # SHA-256 padding boundaries
        ("line of code = value  # comment\n" * 100_000),  # ~3 MB
        "ü" * (3 << 20),  # 6 MB of two-byte characters
    ],
    ids=lambda t: repr(t[:12]) + f"..{len(t)}",
)
def test_matches_hashlib(text):
    assert vn.compute_file_hash(text) == reference(text)


def test_known_values_and_line_endings():
    assert vn.compute_file_hash("") == "e3b0c44298fc1c14"
    assert vn.compute_file_hash("abc") == "ba7816bf8f01cfea"
    assert vn.compute_file_hash("é") == "4a99557e4033c353"
    assert vn.compute_file_hash("a\r\nb") != vn.compute_file_hash("a\nb")


def test_result_is_sixteen_lowercase_hex_digits():
    result = vn.compute_file_hash(content="keyword argument")
    assert type(result) is str and len(result) == 16
    assert set(result) <= set("0123456789abcdef")


def test_str_subclass_is_hashed_as_its_text():
    class Source(str):
        pass

    assert vn.compute_file_hash(Source("abc")) == "ba7816bf8f01cfea"


def test_lone_surrogate_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        vn.compute_file_hash("ok \ud800 not ok")
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [b"abc", bytearray(b"abc"), None, 5])
def test_non_str_is_refused(value):
    with pytest.raises(TypeError) as info:
        vn.compute_file_hash(value)
    kind = type(value).__qualname__
    assert str(info.value) == f"argument 'content': '{kind}' object cannot be cast as 'str'"
