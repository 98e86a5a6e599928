"""Uses of the QuillmoreParser module for a type checker to judge.

A line that must be reported ends in an ``E:`` comment that holds the error
code in brackets and a part of the message that the checker must report on
that line.  Every other line must pass, so the right uses are checked too.
test_stubs.py runs mypy over this file.
"""
from QuillmoreParser import QuillmoreData, QuillmoreExtendData, QuillmoreParser

# ---------------------------------------------------------------- right


def on_eeg(record: QuillmoreData) -> None:
    print(record.signal, record.attention, record.lowAlpha + record.highGamma)


def on_extend(record: QuillmoreExtendData) -> str:  # what a callback returns is ignored
    celsius: float = record.temperature  # a float, or the int 0
    return f"{record.version:.3f} {celsius} {record.battery}"


samples: list[int] = []
parser = QuillmoreParser(on_eeg, on_extend, gyro_callback=lambda x, y, z: None, rr_callback=None,
                         raw_callback=samples.append)
parser.parse(b"\xaa\xaa\x04")
parser.parse(bytearray(4))
parser.parse(memoryview(b"\x80"))
parser.parse([0x00, 0x01])
parser.parse(range(256))
state: int = parser._QuillmoreParser__state
offset: int = parser._QuillmoreParser__byteOffset
parser._QuillmoreParser__raw_callback = None
QuillmoreParser(raw_callback=print)

# ---------------------------------------------------------------- wrong


def on_gyro(x: int, y: int) -> None:  # one axis short
    pass


def on_raw(raw: str) -> None:
    pass


def on_extend_misspelt(record: QuillmoreExtendData) -> None:
    print(record.temprature)  # E: [attr-defined] "temprature"


QuillmoreParser(gyro_callback=on_gyro)  # E: [arg-type] "gyro_callback"
QuillmoreParser(raw_callback=on_raw)  # E: [arg-type] "raw_callback"
QuillmoreParser(extend_eeg_callback=on_eeg)  # E: [arg-type] "extend_eeg_callback"
QuillmoreParser(eeg_callback=on_eeg, eeg=on_eeg)  # E: [call-arg] Unexpected keyword argument "eeg"
QuillmoreParser(on_eeg, on_extend, None, None, None, None)  # E: [call-arg] Too many arguments
parser.parse("AA AA 04")  # E: [arg-type] "str"
parser.parse(0xAA)  # E: [arg-type] "int"
parser.parse([1.5, 2.5])  # E: [list-item] "float"
parser.parse()  # E: [call-arg] "byteData"
result = parser.parse(b"")  # E: [func-returns-value] does not return a value
record = QuillmoreData()
print(record.lowalpha)  # E: [attr-defined] "lowalpha"
record.signal = "strong"  # E: [assignment] Incompatible types in assignment
QuillmoreData(signal=1)  # E: [call-arg] "signal"
parser._QuillmoreParser__state = "hunting"  # E: [assignment] Incompatible types in assignment
parser._QuillmoreParser__gyro_callback = on_raw  # E: [assignment] Incompatible types in assignment
