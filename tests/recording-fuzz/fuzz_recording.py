"""Coverage-guided fuzzer of the array path (atheris): quillmore._recording
against itself chunked and against the QuillmoreParser module's callbacks.

Each input is a chunking and a stream: the first byte says how many cuts,
then a size for each and a kind (bytes, bytearray, memoryview) for each
chunk, then the stream.  For every input

  * the parts of quillmore.Decoder().feed(chunk) for every chunk, then
    finish(), put together (quillmore.recording.concatenate), equal
    quillmore.read() of the whole stream: raw, raw_time, every row array
    field by field (NaN equal to NaN), loss, duration; and the Decoder's
    sha256 is read()'s;
  * read() holds exactly what the QuillmoreParser module hands its
    callbacks, kind by kind in order: every raw sample, every standard
    frame's fields, every extended frame's fields (the temperature as the
    module hands it for each status: a float reading, the int 0, the float
    0.0), every gyroscope axis and RR interval.

Both modules are built with AddressSanitizer, which sees every access.

    sh tests/recording-fuzz/run.sh [SECONDS]
"""
import sys

import atheris
import numpy as np

with atheris.instrument_imports(include=["quillmore"]):
    import quillmore
    from quillmore import recording as qr

from QuillmoreParser import QuillmoreParser  # noqa: E402 - after atheris, so its coverage counters register

EEG_FIELDS = ("signal", "attention", "meditation", "delta", "theta", "lowAlpha", "highAlpha", "lowBeta",
              "highBeta", "lowGamma", "highGamma")
EXTEND_FIELDS = ("ap", "battery", "version", "gnaw", "heart")
AS_KIND = (bytes, bytearray, lambda chunk: memoryview(bytes(chunk)))


def callbacks_of(stream):
    log = {"raw": [], "eeg": [], "extend": [], "gyro": [], "rr": []}

    def extend(record):
        log["extend"].append(tuple(getattr(record, f) for f in EXTEND_FIELDS)
                             + (record.temperature, type(record.temperature)))

    parser = QuillmoreParser(
        eeg_callback=lambda r: log["eeg"].append(tuple(getattr(r, f) for f in EEG_FIELDS)),
        extend_eeg_callback=extend,
        gyro_callback=lambda *xyz: log["gyro"].append(xyz),
        rr_callback=lambda *rr: log["rr"].append(rr),
        raw_callback=log["raw"].append)
    parser.parse(stream)
    return log


def assert_same(a, b):
    np.testing.assert_array_equal(a.raw, b.raw)
    np.testing.assert_array_equal(a.raw_time, b.raw_time)
    for kind in qr.ROW_KINDS:
        assert a.rows(kind).dtype == b.rows(kind).dtype, kind
        for name in a.rows(kind).dtype.names:
            np.testing.assert_array_equal(a.rows(kind)[name], b.rows(kind)[name], err_msg=f"{kind}.{name}")
    assert a.loss == b.loss, (a.loss, b.loss)
    assert a.duration == b.duration, (a.duration, b.duration)


def as_handed(status, temperature):
    """A temperature as the module hands it: the reading (float), the int 0
    for no reading, the float 0.0 for no temperature row."""
    return {qr.TEMPERATURE_MEASURED: float(temperature), qr.TEMPERATURE_NO_READING: 0,
            qr.TEMPERATURE_NO_ROW: 0.0}[int(status)]


def assert_holds(whole, log):
    assert whole.raw.tolist() == log["raw"], "raw"
    assert [tuple(row) for row in whole.eeg[list(EEG_FIELDS)].tolist()] == log["eeg"], "eeg"
    got = []
    for row in whole.extend:
        temperature = as_handed(row["temperature_status"], row["temperature"])
        got.append(tuple(row[f].item() for f in EXTEND_FIELDS) + (temperature, type(temperature)))
    assert got == log["extend"], "extend"
    assert [tuple(row) for row in whole.gyro[["x", "y", "z"]].tolist()] == log["gyro"], "gyro"
    assert [tuple(row) for row in whole.rr[["rr1", "rr2", "rr3"]].tolist()] == log["rr"], "rr"


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    sizes = [fdp.ConsumeIntInRange(0, 512) for _ in range(fdp.ConsumeIntInRange(0, 12))]
    kinds = [fdp.ConsumeIntInRange(0, 2) for _ in range(len(sizes) + 1)]
    stream = fdp.ConsumeBytes(fdp.remaining_bytes())

    decoder = quillmore.Decoder()
    parts, at = [], 0
    for size, kind in zip(sizes + [len(stream)], kinds):
        parts.append(decoder.feed(AS_KIND[kind](stream[at:at + size])))
        at += size
    parts.append(decoder.finish())
    whole = quillmore.read(stream, allow_empty=True)
    assert_same(qr.concatenate(parts), whole)
    assert decoder.sha256 == whole.source_sha256
    assert_holds(whole, callbacks_of(stream))


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
