"""The engine's bounded read against the reference reader."""

import hashlib
import os
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tarvex._index_engine import Scanner, read_with_real_path
from tarvex.rag_helper import _read_text

# Pieces that stress decoding, line ends and stripping, mixed with random bytes.
PIECES = [b"a", b"Z", b" ", b"\t", b"\n", b"\r", b"\r\n", b"\x0b", b"\x1c", b"\xef\xbb\xbf", b"\xc3\xa9",
          b"\xc3", b"\xa9", b"\xe2\x80", b"\xe2\x80\xa8", b"\xe3\x80\x80", b"\xc2\x85", b"\xc2\xa0",
          b"\xe2\x80\x8b", b"\xf0\x9f\x98\x80", b"\xf0\x9f", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe0\x80\xaf",
          b"\xc0\xaf", b"\xff", b"\x00", b"\x80"]
contents = st.lists(st.one_of(st.sampled_from(PIECES), st.binary(max_size=6)), max_size=40).map(b"".join)
limits = st.one_of(st.sampled_from([100000, 0, -1, -2, -3, 1, 2, 3]), st.integers(-40, 40))


def engine_text(path, *max_chars):
    return read_with_real_path(path, *max_chars)[0]


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=contents, max_chars=limits)
def test_read_matches_reference_on_random_bytes(tmp_path, data, max_chars):
    path = tmp_path / "d.txt"
    path.write_bytes(data)
    assert read_with_real_path(str(path), max_chars) == (_read_text(path, max_chars), os.path.realpath(path))
    # A scanner's read gives the same text, hashed as its UTF-8 encoding.
    scanner = Scanner(str(tmp_path))
    scanner.scan()
    ((_, _, text, text_hash),) = scanner.read([str(path)])
    assert text == _read_text(path)
    assert text_hash == (hashlib.sha256(text.encode()).digest() if text else None)


@pytest.mark.parametrize("size", [99_998, 99_999, 100_000, 100_001, 300_000])
def test_cut_at_the_default_limit_across_read_chunks(tmp_path, size):
    """Multi-byte characters and CR LF pairs straddle the cut and every chunk border."""
    unit = "é\r\n€x\r😀 "
    text = (unit * (size // len(unit) + 1))[:size]
    path = tmp_path / "big.txt"
    path.write_bytes(text.encode("utf-8") + b"\xff")
    assert engine_text(str(path)) == _read_text(path)


def test_extreme_limits_and_odd_paths(tmp_path):
    path = tmp_path / "d.txt"
    path.write_text("  some text\r\nmore  ")
    folder = tmp_path / "folder"
    folder.mkdir()
    for max_chars in [sys.maxsize, sys.maxsize - 1, -sys.maxsize - 1, -sys.maxsize - 2, 2**100, -(2**100)]:
        assert engine_text(str(path), max_chars) == _read_text(path, max_chars), max_chars
    for spelling in [str(path) + "/", str(path).replace("/", "//"), str(folder), str(tmp_path / "missing"), "",
                     str(path) + "\0", "\ud800.txt", "/"]:
        assert engine_text(spelling) == _read_text(Path(spelling)), spelling
    link = tmp_path / "link.txt"
    link.symlink_to(path)
    assert engine_text(str(link)) == _read_text(link) == "some text\nmore"


def test_whitespace_is_what_str_strip_strips(tmp_path):
    path = tmp_path / "d.txt"
    candidates = [chr(c) for c in range(0x110000) if chr(c).isspace()] + ["\u200b", "\ufeff", "\u180e", "\x00", "x"]
    for c in candidates:
        path.write_text(f"{c}{c}mid{c}dle{c}", encoding="utf-8", errors="surrogatepass", newline="")
        assert engine_text(str(path)) == _read_text(path), hex(ord(c))


def test_a_large_file_is_read_only_as_far_as_needed(tmp_path):
    path = tmp_path / "large.txt"
    path.write_bytes(b"word " * 4_000_000)  # 20 MB

    def bytes_read():
        with open("/proc/self/io") as io:
            return int(next(line for line in io if line.startswith("rchar:")).split()[1])

    before = bytes_read()
    text = engine_text(str(path), 1000)
    assert len(text) == 999  # the cut ends with a space, which the strip drops
    assert bytes_read() - before < 256 * 1024


def test_no_blocking_on_a_fifo(tmp_path):
    fifo = tmp_path / "pipe.txt"
    os.mkfifo(fifo)
    assert engine_text(str(fifo)) == ""  # the reference would wait for a writer


def test_wrong_argument_types():
    for args in [(None,), (b"x.txt",), ("x.txt", 1.0), ("x.txt", None), ("x.txt", "5"), ("x.txt", 5, 6)]:
        with pytest.raises(TypeError):
            read_with_real_path(*args)
