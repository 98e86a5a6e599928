"""Decode a recording of the headset's serial stream and print what it holds.

    python examples/decode.py recording.bin     # a file of raw serial bytes
    python examples/decode.py - < recording.bin # standard input
    python examples/decode.py                   # a short built-in demo stream
"""
import collections
import sys

from QuillmoreParser import QuillmoreParser


def demo_stream() -> bytes:
    """A few seconds' worth of frames of every kind."""
    def raw(sample):
        payload = bytes([0x80, 0x02, (sample >> 8) & 0xFF, sample & 0xFF])
        return b"\xaa\xaa\x04" + payload + bytes([~sum(payload) & 0xFF])

    bands = b"".join(v.to_bytes(3, "big") for v in (120000, 80000, 30000, 20000, 15000, 9000, 4000, 2500))
    payload = bytes([0x02, 0x00, 0x83, 0x18]) + bands + bytes([0x04, 61, 0x05, 47])
    standard = b"\xaa\xaa\x20" + payload + bytes([~sum(payload) & 0xFF])
    extended = bytes([0x06, 0x11, 0x07, 0x5A, 0x08, 0x12, 0x03, 0x34, 0x24, 0x05, 0x48])
    gyro = b"\xaa\xaa\x07" + bytes([0x00, 0x00, 10, 0x00, 200, 0x00, 90, 0x00])
    hrv_payload = bytes([0x03, 0x20, 0x03, 0x52, 0x03, 0x84, 0, 0, 0])
    hrv = b"\xaa\xbb\x0c" + hrv_payload + bytes([(12 + sum(hrv_payload)) & 0xFF, 0, 0, 0])
    second = b"".join(raw(int(800 * ((i % 64) - 32) / 32)) for i in range(512))
    return (second + standard + extended + second + gyro + hrv) * 3


def main(argv):
    if len(argv) > 1:
        source = sys.stdin.buffer if argv[1] == "-" else open(argv[1], "rb")
    else:
        source = None
    counts: collections.Counter[str] = collections.Counter()
    shown: collections.Counter[str] = collections.Counter()

    def show(kind, value):
        counts[kind] += 1
        if shown[kind] < 2:
            shown[kind] += 1
            print(f"{kind:7} {value}")

    parser = QuillmoreParser(
        eeg_callback=lambda r: show("eeg", vars(r)),
        extend_eeg_callback=lambda r: show("extend", vars(r)),
        gyro_callback=lambda x, y, z: show("gyro", (x, y, z)),
        rr_callback=lambda a, b, c: show("rr", (a, b, c)),
        raw_callback=lambda raw: show("raw", raw),
    )
    if source is None:
        parser.parse(demo_stream())
    else:
        with source:
            while chunk := source.read(4096):
                parser.parse(chunk)
    print("decoded:", ", ".join(f"{n} {kind}" for kind, n in sorted(counts.items())) or "nothing")


if __name__ == "__main__":
    main(sys.argv)
