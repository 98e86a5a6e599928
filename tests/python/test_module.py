"""The module object, its classes and method objects, and import rules."""
import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

from support import DATA_FIELDS, EXTEND_FIELDS, QuillmoreData, QuillmoreExtendData, QuillmoreParser, module

PARSER_ENTRIES = ["_QuillmoreParser__state", "_QuillmoreParser__payloadLength", "_QuillmoreParser__payload",
                  "_QuillmoreParser__byteOffset", "__init__", "parse", "_QuillmoreParser__parsePackagePayload",
                  "_QuillmoreParser__parseExtendPackagePayload", "_QuillmoreParser__parseHRVPackagePayload"]
CLASSES = [QuillmoreParser, QuillmoreExtendData, QuillmoreData]

# name, qualname, parameters and defaults of each method object
METHODS = {
    "__init__": ("__init__", ["self", "eeg_callback", "extend_eeg_callback", "gyro_callback", "rr_callback",
                              "raw_callback"], (None,) * 5),
    "parse": ("parse", ["self", "byteData"], None),
    "_QuillmoreParser__parsePackagePayload": ("__parsePackagePayload", ["self"], None),
    "_QuillmoreParser__parseExtendPackagePayload": ("__parseExtendPackagePayload", ["self"], None),
    "_QuillmoreParser__parseHRVPackagePayload": ("__parseHRVPackagePayload", ["self"], None),
}


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


# ---------------------------------------------------------------- namespace

def test_module_namespace():
    names = list(vars(module))
    assert names[-5:] == ["__builtins__", "QuillmoreParser", "QuillmoreExtendData", "QuillmoreData", "__test__"]
    assert set(names[:-5]) >= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert module.__doc__ is None
    assert type(module.__test__) is dict and module.__test__ == {}
    assert module.__builtins__ is __import__("builtins")
    assert module.__name__ == "QuillmoreParser"


def _what_type_adds():
    # The classes are made by calling type(), so compare with a class made
    # that way: from 3.13 a class statement adds entries of its own.
    reference = type("Reference", (), {"__module__": __name__, "field": 0})
    return list(vars(reference))[2:]


@pytest.mark.parametrize("cls, entries", [(QuillmoreParser, PARSER_ENTRIES), (QuillmoreExtendData, EXTEND_FIELDS),
                                          (QuillmoreData, DATA_FIELDS)], ids=lambda v: getattr(v, "__name__", ""))
def test_class_dict_order(cls, entries):
    assert list(vars(cls)) == ["__module__", *entries, *_what_type_adds()]


def test_parser_class_members():
    ns = vars(QuillmoreParser)
    assert ns["_QuillmoreParser__state"] == 1 and type(ns["_QuillmoreParser__state"]) is int
    assert ns["_QuillmoreParser__payloadLength"] == 0 and ns["_QuillmoreParser__byteOffset"] == 0
    assert type(ns["_QuillmoreParser__payload"]) is bytearray and ns["_QuillmoreParser__payload"] == bytearray(1024)
    assert not hasattr(QuillmoreParser, "__parsePackagePayload")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_plain_classes(cls):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__doc__ is None
    assert cls.__module__ == "QuillmoreParser"
    assert cls.__qualname__ == cls.__name__
    obj = cls()
    obj.anything = 1
    assert vars(obj)["anything"] == 1
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj
    assert ref() is None

    class Sub(cls):
        extra = 2

    assert Sub().extra == 2 and isinstance(Sub(), cls)


def test_subclass_shares_the_class_members():
    class Sub(QuillmoreParser):
        pass

    assert Sub._QuillmoreParser__payload is QuillmoreParser._QuillmoreParser__payload
    assert Sub.parse is QuillmoreParser.parse


@pytest.mark.parametrize("cls", [QuillmoreData, QuillmoreExtendData], ids=lambda c: c.__name__)
def test_records_take_no_arguments(cls):
    with pytest.raises(TypeError, match=rf"^{cls.__name__}\(\) takes no arguments$"):
        cls(1)
    with pytest.raises(TypeError):
        cls(signal=1)


# ---------------------------------------------------------------- method objects

@pytest.mark.parametrize("entry", METHODS)
def test_method_objects(entry):
    name, params, defaults = METHODS[entry]
    function = vars(QuillmoreParser)[entry]
    assert getattr(QuillmoreParser, entry) is function  # no wrapping through the class
    assert function.__name__ == name
    assert function.__qualname__ == "QuillmoreParser." + name
    assert function.__module__ == "QuillmoreParser"
    assert function.__doc__ is None
    assert function.__defaults__ == defaults
    assert function.__globals__ is vars(module)
    assert list(inspect.signature(function).parameters) == params
    assert [p.default for p in inspect.signature(function).parameters.values()][1:] == \
        list(defaults or [inspect.Parameter.empty] * (len(params) - 1))
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values())

    parser = QuillmoreParser()
    bound = getattr(parser, entry)
    assert bound.__self__ is parser and bound.__func__ is function
    assert list(inspect.signature(bound).parameters) == params[1:]


def test_constructor_signature_through_the_class():
    assert str(inspect.signature(QuillmoreParser)) == (
        "(eeg_callback=None, extend_eeg_callback=None, gyro_callback=None, rr_callback=None, raw_callback=None)")


@pytest.mark.parametrize("entry", METHODS)
def test_methods_return_none(entry):
    parser = QuillmoreParser()
    args = (b"\xaa",) if entry == "parse" else ()
    assert getattr(parser, entry)(*args) is None


# ---------------------------------------------------------------- import

def test_import_again_yields_the_same_module():
    classes = tuple(CLASSES)
    payload = QuillmoreParser._QuillmoreParser__payload
    saved = sys.modules.pop("QuillmoreParser")
    try:
        again = importlib.import_module("QuillmoreParser")
    finally:
        sys.modules["QuillmoreParser"] = saved
    assert again is module
    assert importlib.reload(module) is module
    assert (module.QuillmoreParser, module.QuillmoreExtendData, module.QuillmoreData) == classes
    assert module.QuillmoreParser._QuillmoreParser__payload is payload
    assert list(vars(module))[-5:] == ["__builtins__", "QuillmoreParser", "QuillmoreExtendData", "QuillmoreData",
                                       "__test__"]


def test_import_issues_no_warning():
    result = run_python("""
        import warnings
        warnings.simplefilter("error")
        import QuillmoreParser
        print(QuillmoreParser.QuillmoreParser.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "QuillmoreParser\n" and result.stderr == ""


INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


# Subinterpreters through the interpreter's private module, whose name and
# calls differ between versions.  From 3.12 a subinterpreter has its own GIL
# unless made with the legacy settings, and the interpreter itself refuses
# modules such as this one there; with the legacy settings the module's own
# rule applies.  run(sub, code) gives the error text, or None.
SUBINTERPRETERS = {
    (3, 11): """
        import _xxsubinterpreters as interpreters
        def create():
            return interpreters.create()
        def run(sub, code):
            try:
                interpreters.run_string(sub, code)
            except interpreters.RunFailedError as error:
                return str(error).replace("<class 'ImportError'>", "ImportError")
        """,
    (3, 12): """
        import _xxsubinterpreters as interpreters
        def create():
            return interpreters.create(isolated=False)
        def run(sub, code):
            try:
                interpreters.run_string(sub, code)
            except interpreters.RunFailedError as error:
                return str(error).replace("<class 'ImportError'>", "ImportError")
        """,
    (3, 13): """
        import _interpreters as interpreters
        def create():
            return interpreters.create(interpreters.new_config("legacy"))
        def run(sub, code):
            failure = interpreters.run_string(sub, code)
            return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
        """,
}


@pytest.mark.skipif(sys.version_info[:2] not in SUBINTERPRETERS, reason="no known way to make a subinterpreter")
def test_second_interpreter_cannot_import():
    helpers = textwrap.dedent(SUBINTERPRETERS[sys.version_info[:2]])
    result = run_python(helpers + textwrap.dedent("""
        import QuillmoreParser
        sub = create()
        print(run(sub, "import QuillmoreParser"))
        interpreters.destroy(sub)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"ImportError: {INTERPRETER_CHANGE}\n"

    # A subinterpreter that imported first keeps the module to itself, also
    # after it has been destroyed.
    result = run_python(helpers + textwrap.dedent("""
        sub = create()
        print(run(sub, "import QuillmoreParser; QuillmoreParser.QuillmoreParser().parse(b'\\\\xaa')"))
        interpreters.destroy(sub)
        try:
            import QuillmoreParser
            print("imported")
        except ImportError as error:
            print(error)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"None\n{INTERPRETER_CHANGE}\n"
