"""Argument binding of the five methods, the TypeError texts of misuse, and
the traceback entries that methods add to exceptions leaving them."""
import ctypes
import itertools
import traceback

import pytest

from support import CALLBACK_KEYWORDS, OFFSET, STATE, QuillmoreParser, extended, gyro_frame, hrv_frame, module, \
    raw_frame, standard, state_line

P = QuillmoreParser
p = P()
f = print  # any callable
DECODE_STD = "_QuillmoreParser__parsePackagePayload"
DECODE_EXT = "_QuillmoreParser__parseExtendPackagePayload"
DECODE_HRV = "_QuillmoreParser__parseHRVPackagePayload"


def count(name, qualifier, meant, given):
    return f"{name}() takes {qualifier} {meant} positional argument{'' if meant == 1 else 's'} ({given} given)"


MISUSE = [
    (lambda: P(f, f, f, f, f, f), count("__init__", "at most", 6, 7)),
    (lambda: P.__init__(p, f, f, f, f, f, f, f), count("__init__", "at most", 6, 8)),
    (lambda: P.__init__(), count("__init__", "at least", 1, 0)),
    (lambda: P.__init__(eeg_callback=f), count("__init__", "at least", 1, 0)),
    (lambda: p.parse(), count("parse", "exactly", 2, 1)),
    (lambda: p.parse(b"", b""), count("parse", "exactly", 2, 3)),
    (lambda: P.parse(), count("parse", "exactly", 2, 0)),
    (lambda: P.parse(self=p), count("parse", "exactly", 2, 1)),
    (lambda: P.parse(byteData=b""), count("parse", "exactly", 2, 0)),
    (lambda: P.parse(b"", self=p), count("parse", "exactly", 2, 1)),
    (lambda: P.parse(p, x=1), count("parse", "exactly", 2, 1)),
    (lambda: p.parse(b"", byteData=b""), "parse() got multiple values for keyword argument 'byteData'"),
    (lambda: P.parse(p, b"", self=p), "parse() got multiple values for keyword argument 'self'"),
    (lambda: P.__init__(p, self=p), "__init__() got multiple values for keyword argument 'self'"),
    (lambda: P(f, eeg_callback=f), "__init__() got multiple values for keyword argument 'eeg_callback'"),
    (lambda: P(f, eeg_callback=f, eeg=f), "__init__() got multiple values for keyword argument 'eeg_callback'"),
    (lambda: P(f, eeg=f, eeg_callback=f), "__init__() got an unexpected keyword argument 'eeg'"),
    (lambda: P(eeg=f), "__init__() got an unexpected keyword argument 'eeg'"),
    (lambda: P(eeg_callback=f, eeg=f), "__init__() got an unexpected keyword argument 'eeg'"),
    (lambda: P(eeg=f, raw_callback=f), "__init__() got an unexpected keyword argument 'eeg'"),
    (lambda: P(f, f, f, f, f, eeg=f), "__init__() got an unexpected keyword argument 'eeg'"),
    (lambda: p.parse(b"", x=1), "parse() got an unexpected keyword argument 'x'"),
    (lambda: P.parse(p, b"", x=1, byteData=2), "parse() got an unexpected keyword argument 'x'"),
    (lambda: P.parse(p, x=1, byteData=2), "parse() got an unexpected keyword argument 'x'"),
    (lambda: getattr(p, DECODE_STD)(1), count("__parsePackagePayload", "exactly", 1, 2)),
    (lambda: getattr(P, DECODE_EXT)(), count("__parseExtendPackagePayload", "exactly", 1, 0)),
    (lambda: getattr(P, DECODE_HRV)(p, p), count("__parseHRVPackagePayload", "exactly", 1, 2)),
    (lambda: getattr(P, DECODE_STD)(x=1), count("__parsePackagePayload", "exactly", 1, 0)),
    (lambda: getattr(p, DECODE_HRV)(x=1), "__parseHRVPackagePayload() got an unexpected keyword argument 'x'"),
    (lambda: getattr(P, DECODE_EXT)(p, self=p), "__parseExtendPackagePayload() got multiple values for keyword "
                                                "argument 'self'"),
]


def method_of(message):
    return message.split("()")[0]


@pytest.mark.parametrize("call, message", MISUSE, ids=[m for _, m in MISUSE])
def test_misuse_messages_and_one_traceback_entry(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    entries = traceback.extract_tb(info.value.__traceback__)  # this test, the lambda, then the method
    assert [e.name for e in entries[2:]] == ["QuillmoreParser.QuillmoreParser." + method_of(message)]
    assert entries[-1].filename == "QuillmoreParser"
    function = next(v for k, v in vars(P).items() if getattr(v, "__name__", None) == method_of(message))
    assert entries[-1].lineno == function.__code__.co_firstlineno


def test_misuse_changes_nothing():
    calls = []
    parser = P(eeg_callback=calls.append)
    parser.parse(standard()[:-1])
    before = (state_line(parser), dict(vars(parser)))
    with pytest.raises(TypeError):
        parser.parse(standard()[-1:], byteData=b"")
    with pytest.raises(TypeError):
        parser.__init__(eeg=None)
    with pytest.raises(TypeError):
        getattr(parser, DECODE_STD)(None)
    assert (state_line(parser), dict(vars(parser))) == before and calls == []
    parser.parse(byteData=standard()[-1:])
    assert len(calls) == 1


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        p.parse(b"", **{1: 2})
    with pytest.raises(TypeError, match="keywords must be strings"):
        P(**{1: 2})


def vectorcall(callable_, args, kwnames):
    """Calls through the fast calling convention with any keyword names,
    which a Python-level call would not let through."""
    function = ctypes.pythonapi.PyObject_Vectorcall
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(args))(*args)
    return function(callable_, array, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("callable_, args, kwnames, message", [
    (P.__init__, [p, f], (1,), "__init__() keywords must be strings"),
    (P.__init__, [p, f, f], ("eeg_callback", 1), "__init__() keywords must be strings"),
    (P.__init__, [p, f, f], (1, "eeg"), "__init__() keywords must be strings"),
    (P.__init__, [p, f, f], ("eeg", 1), "__init__() got an unexpected keyword argument 'eeg'"),
    (P.parse, [p, b"", f], (1,), "parse() keywords must be strings"),
    (P.parse, [p, f], (1,), count("parse", "exactly", 2, 1)),
])
def test_non_string_keyword_names(callable_, args, kwnames, message):
    with pytest.raises(TypeError) as info:
        vectorcall(callable_, args, kwnames)
    assert str(info.value) == message


# ---------------------------------------------------------------- binding

def test_constructor_binds_positional_and_keyword_callbacks():
    for n in range(6):
        for keywords in itertools.chain.from_iterable(
                itertools.combinations(CALLBACK_KEYWORDS[n:], k) for k in range(6 - n)):
            values = {name: object() for name in CALLBACK_KEYWORDS}
            args = [values[name] for name in CALLBACK_KEYWORDS[:n]]
            parser = P(*args, **{name: values[name] for name in reversed(keywords)})
            stored = {name: vars(parser)["_QuillmoreParser__" + name] for name in CALLBACK_KEYWORDS}
            given = set(CALLBACK_KEYWORDS[:n]) | set(keywords)
            assert stored == {name: values[name] if name in given else None for name in CALLBACK_KEYWORDS}


def test_constructor_stores_raw_callback_first():
    assert list(vars(P(f, f, f, f, f)))[:5] == ["_QuillmoreParser__" + name for name in (
        "raw_callback", "eeg_callback", "extend_eeg_callback", "gyro_callback", "rr_callback")]


def test_keywords_match_equal_strings():
    class Name(str):
        pass

    built = "".join(["eeg_", "callback"])
    parser = P(**{built: f, Name("raw_callback"): len})
    assert vars(parser)["_QuillmoreParser__eeg_callback"] is f
    assert vars(parser)["_QuillmoreParser__raw_callback"] is len
    P.parse(**{Name("self"): parser, "".join(["byte", "Data"]): b"\xaa"})
    assert getattr(parser, STATE) == 2


def test_self_by_keyword():
    parser = P()
    P.__init__(self=parser, raw_callback=f)
    assert vars(parser)["_QuillmoreParser__raw_callback"] is f
    P.parse(self=parser, byteData=b"\xaa\xaa")
    P.parse(byteData=b"\x04", self=parser)
    getattr(P, DECODE_HRV)(self=parser)
    assert (getattr(parser, STATE), getattr(parser, OFFSET)) == (6, 0)


# ---------------------------------------------------------------- traceback entries

def entry(method):
    return "QuillmoreParser.QuillmoreParser." + method


@pytest.mark.parametrize("keyword, data, through", [
    ("eeg_callback", standard(), ["parse", "__parsePackagePayload"]),
    ("extend_eeg_callback", extended(), ["parse", "__parseExtendPackagePayload"]),
    ("rr_callback", hrv_frame(1, 2, 3), ["parse", "__parseHRVPackagePayload"]),
    ("raw_callback", raw_frame(0, 1), ["parse"]),
    ("gyro_callback", gyro_frame(1, 2, 3), ["parse"]),
])
def test_callback_exception_passes_through_the_methods(keyword, data, through):
    error = LookupError("from the callback")

    def callback(*args):
        raise error

    parser = P(**{keyword: callback})
    with pytest.raises(LookupError) as info:
        parser.parse(data)
    assert info.value is error
    entries = traceback.extract_tb(info.value.__traceback__)
    assert [e.name for e in entries] == ["test_callback_exception_passes_through_the_methods",
                                         *map(entry, through), "callback"]
    assert [e.filename for e in entries[1:-1]] == ["QuillmoreParser"] * len(through)
    tb = info.value.__traceback__.tb_next
    while tb.tb_frame.f_code.co_name != "callback":
        assert tb.tb_frame.f_globals is vars(module)
        tb = tb.tb_next


def test_decoder_called_by_hand_adds_its_own_entry():
    def callback(record):
        raise KeyError("x")

    parser = P(callback)
    with pytest.raises(KeyError) as info:
        getattr(parser, DECODE_STD)()
    assert [e.name for e in traceback.extract_tb(info.value.__traceback__)][1:] == [
        entry("__parsePackagePayload"), "callback"]


def test_bad_element_adds_the_parse_entry():
    with pytest.raises(TypeError) as info:
        P().parse([0xAA, "x"])
    assert [e.name for e in traceback.extract_tb(info.value.__traceback__)][1:] == [entry("parse")]


def test_constructor_failure_adds_the_init_entry():
    class Refusing(P):
        def __setattr__(self, name, value):
            raise AttributeError(name)

    with pytest.raises(AttributeError, match="_QuillmoreParser__raw_callback") as info:
        Refusing()
    assert [e.name for e in traceback.extract_tb(info.value.__traceback__)][1:] == [entry("__init__"), "__setattr__"]
