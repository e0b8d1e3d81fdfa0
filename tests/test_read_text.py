"""Reading one description file as bounded, stripped UTF-8 text."""

import logging
import sys
from pathlib import Path

import pytest

from conftest import entries_of, write_corpus

READ = "tarvex.rag_helper._read_text"


def write(tmp_path, data, name="d.txt"):
    return write_corpus(tmp_path, {name: data}) / name


class TrackedPath(type(Path())):
    """A real path that remembers the streams it opened."""

    streams = []

    def open(self, *args, **kwargs):
        stream = super().open(*args, **kwargs)
        TrackedPath.streams.append(stream)
        return stream


@pytest.fixture
def tracked():
    TrackedPath.streams = []
    yield TrackedPath
    TrackedPath.streams = []


# ---------------------------------------------------------------------------
# Real files: limits, decoding, whitespace


@pytest.mark.parametrize(
    "text,limit,expected",
    [
        ("abcde", 5, "abcde"),
        ("abcdef", 5, "abcde"),
        ("a" * 50, 49, "a" * 49),
        ("  abc  ", 5, "abc"),
        ("abc  def", 4, "abc"),
        ("  \n\t x", 3, ""),
        ("abc", 0, ""),
        ("", 0, ""),
        ("abc", 1, "a"),
        ("é" * 10, 3, "ééé"),
        ("\U0001F600" * 5, 2, "\U0001F600\U0001F600"),
        ("aé\u20ac\U0001F600b", 4, "aé\u20ac\U0001F600"),
    ],
)
def test_limit_counts_characters(rag, tmp_path, text, limit, expected):
    assert rag._read_text(write(tmp_path, text), limit) == expected


@pytest.mark.parametrize(
    "text,limit,expected",
    [
        ("abcdef", -1, ""),
        ("abcdef", -2, "abcd"),
        ("  abcdef  ", -3, "abcde"),
        ("abc", -3, ""),
        ("abc", -10, ""),
        ("ab\n\n", -2, "ab"),
    ],
)
def test_negative_limits(rag, tmp_path, text, limit, expected):
    assert rag._read_text(write(tmp_path, text), limit) == expected


def test_default_limit_is_100000(rag, tmp_path):
    path = write(tmp_path, "a" * 100000 + "bcd")
    assert rag._read_text(path) == "a" * 100000
    path = write(tmp_path, "x" * 99999 + " ", name="e.txt")
    assert rag._read_text(path) == "x" * 99999


def test_limit_at_the_edge_of_the_stream_size_range(rag, tmp_path):
    path = write(tmp_path, " whole text ")
    assert rag._read_text(path, sys.maxsize - 1) == "whole text"
    assert rag._read_text(path, sys.maxsize) == ""
    assert rag._read_text(path, 2**100) == ""


def test_undecodable_bytes_are_dropped_and_not_counted(rag, tmp_path):
    path = write(tmp_path, b"a\xffb\xfe\xc3c\x80d")
    assert rag._read_text(path, 3) == "abc"
    assert rag._read_text(path) == "abcd"


def test_multibyte_character_is_never_split(rag, tmp_path):
    path = write(tmp_path, "ab€€€")
    assert [rag._read_text(path, n) for n in range(6)] == ["", "a", "ab", "ab€", "ab€€", "ab€€€"]


def test_byte_order_mark_is_kept(rag, tmp_path):
    path = write(tmp_path, b"\xef\xbb\xbf  hello  \n")
    assert rag._read_text(path) == "\ufeff  hello"
    assert rag._read_text(path, 1) == "\ufeff"


def test_whitespace_only_and_empty_files(rag, tmp_path):
    assert rag._read_text(write(tmp_path, " \n\t\r\n \u3000\u2003")) == ""
    assert rag._read_text(write(tmp_path, "", name="empty.txt")) == ""


def test_line_endings_are_translated(rag, tmp_path):
    path = write(tmp_path, b"a\r\nb\rc\nd\r\n")
    assert rag._read_text(path) == "a\nb\nc\nd"
    # The limit applies to the translated text.
    assert rag._read_text(path, 3) == "a\nb"


# ---------------------------------------------------------------------------
# Failures that become the empty string


def test_unreadable_things_give_empty_string(rag, tmp_path):
    make = write(tmp_path, "real text")
    assert rag._read_text(tmp_path / "missing.txt") == ""
    assert rag._read_text(tmp_path) == ""
    assert rag._read_text(str(make)) == ""
    assert rag._read_text(None) == ""
    assert rag._read_text(42, 3) == ""


def test_unreadable_file_gives_empty_string(rag, tmp_path):
    import os

    if os.geteuid() != 0:
        path = write(tmp_path, "secret")
        path.chmod(0)
        assert rag._read_text(path) == ""
    # Opens fine but fails when read (address 0 of the process is unmapped).
    mem = Path("/proc/self/mem")
    if not mem.exists():
        pytest.skip("no /proc")
    assert rag._read_text(mem) == ""


def test_failures_are_silent(rag, tmp_path, caplog, capsys):
    with caplog.at_level(logging.DEBUG):
        assert rag._read_text(tmp_path / "missing.txt") == ""
        assert rag._read_text(tmp_path) == ""
        assert rag._read_text(Opener(Stream(error=ValueError("bad")))) == ""
    assert caplog.records == []
    assert capsys.readouterr() == ("", "")


def test_type_errors_are_not_swallowed(rag, tmp_path):
    path = write(tmp_path, "text")
    for bad in (True, None, 100000.0):
        with pytest.raises(TypeError) as excinfo:
            rag._read_text(path, bad)
        assert entries_of(excinfo) == []


# ---------------------------------------------------------------------------
# The file is closed on every way out


def test_file_closed_after_success_and_cut(rag, tmp_path, tracked):
    path = tracked(write(tmp_path, "abcdef"))
    assert rag._read_text(path) == "abcdef"
    assert rag._read_text(path, 2) == "ab"
    assert rag._read_text(path, 2**100) == ""
    assert len(tracked.streams) == 3
    assert all(stream.closed for stream in tracked.streams)


def test_open_arguments(rag, tmp_path, tracked):
    rag._read_text(tracked(write(tmp_path, "x")))
    (stream,) = tracked.streams
    assert stream.encoding == "utf-8"
    assert stream.errors == "ignore"
    assert stream.mode == "r"


# ---------------------------------------------------------------------------
# Objects of other kinds: the context protocol step by step


class Stream:
    def __init__(self, value="text", error=None):
        self.value = value
        self.error = error
        self.requests = []

    def read(self, size):
        self.requests.append(size)
        if self.error is not None:
            raise self.error
        return self.value


class Opener:
    """Path stand-in whose open() returns a context manager around a stream."""

    def __init__(self, stream, exit_result=False, exit_error=None, enter_error=None):
        self.stream = stream
        self.exit_result = exit_result
        self.exit_error = exit_error
        self.enter_error = enter_error
        self.open_calls = []
        self.events = []
        self.exit_calls = []

    def open(self, *args, **kwargs):
        self.open_calls.append((args, list(kwargs.items())))
        return Context(self)


class Context:
    def __init__(self, owner):
        self.owner = owner

    def __enter__(self):
        self.owner.events.append("enter")
        if self.owner.enter_error is not None:
            raise self.owner.enter_error
        return self.owner.stream

    def __exit__(self, exc_type, exc, tb):
        owner = self.owner
        owner.events.append("exit")
        owner.exit_calls.append(
            {
                "args": (exc_type, exc, tb),
                "handled": sys.exception(),
                "entries": module_entries(exc) if exc is not None else None,
            }
        )
        if owner.exit_error is not None:
            raise owner.exit_error
        return owner.exit_result


def module_entries(exc):
    out = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "tarvex/rag_helper":
            out.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def test_open_is_called_with_mode_encoding_errors(rag):
    opener = Opener(Stream("  text  "))
    assert rag._read_text(opener) == "text"
    assert opener.open_calls == [(("r",), [("encoding", "utf-8"), ("errors", "ignore")])]


@pytest.mark.parametrize("limit,requested", [(0, 1), (7, 8), (-1, 0), (-5, -4), (100000, 100001), (2**70, 2**70 + 1)])
def test_stream_is_asked_for_one_more_than_the_limit(rag, limit, requested):
    stream = Stream("")
    rag._read_text(Opener(stream), limit)
    assert stream.requests == [requested]


def test_default_request(rag):
    stream = Stream("")
    rag._read_text(Opener(stream))
    assert stream.requests == [100001]


def test_exit_called_with_nones_after_success_and_result_ignored(rag):
    opener = Opener(Stream(" ok "), exit_result=True)
    assert rag._read_text(opener) == "ok"
    assert opener.events == ["enter", "exit"]
    assert opener.exit_calls[0]["args"] == (None, None, None)


def test_exit_failing_after_success_gives_empty_string(rag):
    opener = Opener(Stream("text"), exit_error=OSError("close failed"))
    assert rag._read_text(opener) == ""
    assert opener.events == ["enter", "exit"]


def test_exit_interrupted_after_success_passes_on(rag):
    opener = Opener(Stream("text"), exit_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._read_text(opener)
    assert entries_of(excinfo) == [(READ, 37)]


def test_enter_failing_gives_empty_string_without_exit(rag):
    opener = Opener(Stream("text"), enter_error=ValueError("no enter"))
    assert rag._read_text(opener) == ""
    assert opener.events == ["enter"]


def test_enter_interrupted_passes_on_without_exit(rag):
    opener = Opener(Stream("text"), enter_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._read_text(opener)
    assert entries_of(excinfo) == [(READ, 37)]
    assert opener.events == ["enter"]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_open_failing_outside_exception_passes_on(rag, error):
    class Refusing:
        def open(self, *args, **kwargs):
            raise error

    with pytest.raises(type(error)) as excinfo:
        rag._read_text(Refusing())
    assert excinfo.value is error
    assert entries_of(excinfo) == [(READ, 37)]


def test_keyboard_interrupt_while_reading(rag):
    interrupt = KeyboardInterrupt()
    opener = Opener(Stream(error=interrupt))
    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._read_text(opener)
    assert excinfo.value is interrupt
    # Pushed at the read (38) when the context's exit takes hold of it, then
    # again at the with statement (37) when it leaves the function.
    assert entries_of(excinfo) == [(READ, 37), (READ, 38)]
    assert opener.events == ["enter", "exit"]
    (call,) = opener.exit_calls
    assert call["args"][0] is KeyboardInterrupt
    assert call["args"][1] is interrupt
    assert call["args"][2] is not None
    assert call["handled"] is interrupt
    assert call["entries"] == [(READ, 38)]


def test_keyboard_interrupt_while_reading_a_real_file(rag, tmp_path):
    real = write(tmp_path, "text").open("r", encoding="utf-8")

    class Interrupting:
        def read(self, size):
            raise KeyboardInterrupt

    class Wrapper:
        def __enter__(self):
            real.__enter__()
            return Interrupting()

        def __exit__(self, *exc):
            return real.__exit__(*exc)

    class RealPath:
        def open(self, *args, **kwargs):
            return Wrapper()

    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._read_text(RealPath())
    assert entries_of(excinfo) == [(READ, 37), (READ, 38)]
    assert real.closed


def test_exit_suppressing_gives_none(rag):
    opener = Opener(Stream(error=ValueError("bad")), exit_result=True)
    assert rag._read_text(opener) is None
    opener = Opener(Stream(error=KeyboardInterrupt()), exit_result=1)
    assert rag._read_text(opener) is None


def test_exception_inside_context_is_seen_by_exit_then_swallowed(rag):
    error = ValueError("bad")
    opener = Opener(Stream(error=error))
    assert rag._read_text(opener) == ""
    (call,) = opener.exit_calls
    assert call["args"][:2] == (ValueError, error)
    assert call["handled"] is error


def test_exit_raising_replaces_the_exception(rag):
    opener = Opener(Stream(error=KeyboardInterrupt()), exit_error=ValueError("exit failed"))
    assert rag._read_text(opener) == ""
    opener = Opener(Stream(error=ValueError("bad")), exit_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._read_text(opener)
    assert entries_of(excinfo)[0] == (READ, 37)


def test_exit_truth_test_failing(rag):
    class BadTruth:
        def __bool__(self):
            raise ValueError("no truth")

    opener = Opener(Stream(error=KeyboardInterrupt()), exit_result=BadTruth())
    assert rag._read_text(opener) == ""


class NoLength:
    def strip(self):
        return "x"


class Unsliceable:
    def __len__(self):
        return 10

    def strip(self):
        return "x"


class StripsToBytes:
    def __len__(self):
        return 0

    def strip(self):
        return b"x"


class StripsToNone:
    def __len__(self):
        return 0

    def strip(self):
        return None


class StripsToSubclass:
    def __len__(self):
        return 0

    def strip(self):
        class Text(str):
            pass

        return Text("x")


@pytest.mark.parametrize(
    "value,line,message",
    [
        (NoLength(), 39, "object of type 'NoLength' has no len()"),
        (Unsliceable(), 40, "'Unsliceable' object is unsliceable"),
        (StripsToBytes(), 41, "Expected str, got bytes"),
        (StripsToSubclass(), 41, "Expected str, got Text"),
        (b"  abc  ", 41, "Expected str, got bytes"),
    ],
)
def test_failing_steps_inside_the_context(rag, value, line, message):
    opener = Opener(Stream(value))
    assert rag._read_text(opener, 3) == ""
    (call,) = opener.exit_calls
    assert call["args"][0] is TypeError
    assert str(call["args"][1]) == message
    assert call["entries"] == [(READ, line)]


def test_text_of_exactly_the_limit_is_not_cut(rag):
    class ExactlyThree(Unsliceable):
        def __len__(self):
            return 3

    assert rag._read_text(Opener(Stream(ExactlyThree())), 3) == "x"
    assert rag._read_text(Opener(Stream(ExactlyThree())), 2) == ""


def test_strip_may_return_none(rag):
    assert rag._read_text(Opener(Stream(StripsToNone()))) is None


def test_exit_and_enter_are_looked_up_on_the_type_exit_first(rag):
    order = []

    class Recorded:
        def __init__(self, name, function):
            self.name = name
            self.function = function

        def __get__(self, instance, owner):
            order.append(self.name)
            return self.function.__get__(instance, owner)

    class Manager:
        __enter__ = Recorded("__enter__", lambda self: Stream(" text "))
        __exit__ = Recorded("__exit__", lambda self, *exc: False)

    manager = Manager()
    manager.__enter__ = manager.__exit__ = None  # instance attributes are not consulted

    class Opening:
        def open(self, *args, **kwargs):
            return manager

    assert rag._read_text(Opening()) == "text"
    assert order == ["__exit__", "__enter__"]


def test_not_a_context_manager_gives_empty_string(rag):
    class OnlyExit:
        def __exit__(self, *exc):
            raise AssertionError("must not be called")

    class OnlyEnter:
        def __enter__(self):
            raise AssertionError("must not be called")

    for manager in (object(), OnlyExit(), OnlyEnter()):
        class Opening:
            def open(self, *args, **kwargs):
                return manager

        assert rag._read_text(Opening()) == ""


# ---------------------------------------------------------------------------
# The thread's handled exception is left as it was


def test_handled_exception_restored(rag, tmp_path):
    cases = [
        Opener(Stream(" text ")),
        Opener(Stream(error=ValueError("bad"))),
        Opener(Stream(error=ValueError("bad")), exit_result=True),
        Opener(Stream("text"), exit_error=OSError("close")),
        tmp_path / "missing.txt",
    ]
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        for case in cases:
            rag._read_text(case)
            assert sys.exception() is outer
    assert sys.exception() is None
    for case in cases:
        rag._read_text(case)
        assert sys.exception() is None


def test_handled_exception_restored_after_interrupt(rag):
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        with pytest.raises(KeyboardInterrupt):
            rag._read_text(Opener(Stream(error=KeyboardInterrupt())))
        assert sys.exception() is outer


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp_path: Opener(Stream(" text ")),
        lambda tmp_path: Opener(Stream(error=ValueError("bad"))),
        lambda tmp_path: Opener(Stream(error=ValueError("bad")), exit_result=True),
        lambda tmp_path: tmp_path / "missing.txt",
        lambda tmp_path: write(tmp_path, "real"),
    ],
    ids=["success", "swallowed", "suppressed", "missing", "real file"],
)
def test_generator_keeps_its_own_handled_exception(rag, tmp_path, make):
    # A generator has its own handled-exception slot; while it runs inside an
    # outer except block, that outer exception is visible but must not be
    # written into the generator's slot, or it would still show after the
    # outer block has ended.
    path = make(tmp_path)

    def reader():
        rag._read_text(path)
        yield sys.exception()
        yield sys.exception()

    generator = reader()
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        assert next(generator) is outer
    assert next(generator) is None


def test_generator_keeps_its_own_handled_exception_after_interrupt(rag):
    def reader():
        with pytest.raises(KeyboardInterrupt):
            rag._read_text(Opener(Stream(error=KeyboardInterrupt())))
        yield sys.exception()
        yield sys.exception()

    generator = reader()
    try:
        raise LookupError("outer")
    except LookupError:
        next(generator)
    assert next(generator) is None
