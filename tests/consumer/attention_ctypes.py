import ctypes
import sys


class Eeg(ctypes.Structure):  # quillmore_eeg: eleven uint32_t fields
    _fields_ = [(name, ctypes.c_uint32) for name in ("signal", "attention", "meditation", "delta", "theta",
                                                     "lowAlpha", "highAlpha", "lowBeta", "highBeta",
                                                     "lowGamma", "highGamma")]


OnEeg = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Eeg))
OnRaw = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)


class Settings(ctypes.Structure):  # quillmore_settings; the callbacks left out stay NULL
    _fields_ = [("on_eeg", OnEeg), ("on_extend", ctypes.c_void_p), ("on_raw", OnRaw),
                ("on_gyro", ctypes.c_void_p), ("on_rr", ctypes.c_void_p)]


lib = ctypes.CDLL(sys.argv[1])  # libquillmore.so, libquillmore.dylib or quillmore.dll
lib.quillmore_parser_new.restype = ctypes.c_void_p
lib.quillmore_parser_new.argtypes = [ctypes.POINTER(Settings), ctypes.c_void_p]
lib.quillmore_parse.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p]
lib.quillmore_parser_free.argtypes = [ctypes.c_void_p]

samples = 0


def on_raw(user, raw):
    global samples
    samples += 1
    return 0  # non-zero: quillmore_parse() returns right after this frame


def on_eeg(user, eeg):
    print("attention", eeg.contents.attention, "meditation", eeg.contents.meditation)
    return 0


# The settings object keeps the two callback objects alive as long as it lives.
settings = Settings(on_eeg=OnEeg(on_eeg), on_raw=OnRaw(on_raw))
parser = lib.quillmore_parser_new(ctypes.byref(settings), None)
with open(sys.argv[2], "rb") as stream:
    while chunk := stream.read(512):
        lib.quillmore_parse(parser, chunk, len(chunk), None)
lib.quillmore_parser_free(parser)
print("raw samples", samples)
