"""A plain Python decoder for the headset's serial stream.

This is the decoder a host would write without the extension module: the
same eleven-state machine, walked one byte at a time, with the payload
decoders and records in ordinary Python.  It is kept deliberately simple
(no tricks for speed) and serves as the baseline in the throughput
benchmark and as an independent reference when comparing callback logs.

Stream framing, byte by byte:

    AA AA 20  32 payload bytes + checksum    standard frame
    AA AA 04  4 payload bytes + checksum     raw sample
    AA AA 07  8 bytes, no checksum           gyroscope
    AA BB 0C  13 bytes, own checksum         heart-rate variability
    06 ...    up to the next AA AA           extended frame (only right
                                             after a standard frame)
"""

PAYLOAD_SIZE = 1024

# Machine states.
HUNT = 1              # waiting for the first AA
SYNC = 2              # one AA seen
LENGTH = 3            # AA AA seen, next byte is the length
STANDARD = 4          # collecting a standard frame
AFTER_STANDARD = 5    # standard frame done; an extended frame may follow
RAW = 6               # collecting a raw-sample frame
EXTENDED = 7          # collecting an extended frame
EXTENDED_SYNC = 8     # extended frame, last byte was AA
GYRO = 9              # collecting a gyroscope frame
HRV_LENGTH = 10       # AA BB seen, waiting for 0C
HRV = 11              # collecting a heart-rate-variability frame


class QuillmoreData:
    """One standard EEG frame."""
    signal = 0
    attention = 0
    meditation = 0
    delta = 0
    theta = 0
    lowAlpha = 0
    highAlpha = 0
    lowBeta = 0
    highBeta = 0
    lowGamma = 0
    highGamma = 0


class QuillmoreExtendData:
    """One extended frame."""
    ap = 0
    battery = 0
    version = 0.0
    gnaw = 0
    temperature = 0.0
    heart = 0


def _decimal_nibbles(byte):
    """Reads a byte holding two decimal digits, one per nibble (0x12 -> 12)."""
    return (byte >> 4) * 10 + (byte & 0x0F)


class PurePythonParser:
    def __init__(self, eeg_callback=None, extend_eeg_callback=None,
                 gyro_callback=None, rr_callback=None, raw_callback=None):
        self.eeg_callback = eeg_callback
        self.extend_eeg_callback = extend_eeg_callback
        self.gyro_callback = gyro_callback
        self.rr_callback = rr_callback
        self.raw_callback = raw_callback
        self.state = HUNT
        self.byteOffset = 0
        self.payload = bytearray(PAYLOAD_SIZE)

    def _collect(self, byte):
        self.payload[self.byteOffset] = byte
        self.byteOffset += 1

    def parse(self, byteData):
        for byte in byteData:
            b = byte & 0xFF
            state = self.state

            if state == EXTENDED and self.byteOffset >= len(self.payload):
                # An extended frame that fills the whole buffer is garbage:
                # drop it and look at this byte afresh.
                self.state = state = HUNT
                self.byteOffset = 0

            if state == HUNT:
                if b == 0xAA:
                    self.state = SYNC

            elif state == SYNC:
                if b == 0xAA:
                    self.state = LENGTH
                elif b == 0xBB:
                    self.state = HRV_LENGTH
                else:
                    self.state = HUNT

            elif state == LENGTH:
                if b == 0x20:
                    self.state = STANDARD
                    self.byteOffset = 0
                elif b == 0x04:
                    self.state = RAW
                    self.byteOffset = 0
                elif b == 0x07:
                    self.state = GYRO
                    self.byteOffset = 0
                else:
                    self.state = HUNT

            elif state == STANDARD:
                self._collect(byte)
                if self.byteOffset > 32:
                    self.state = AFTER_STANDARD
                    if (~sum(self.payload[0:32]) & 0xFF) == b:
                        self._parse_standard_payload()

            elif state == AFTER_STANDARD:
                if b == 0x06:
                    self.state = EXTENDED
                    self.byteOffset = 1
                    self.payload[0] = 6
                elif b == 0xAA:
                    self.state = SYNC

            elif state == RAW:
                self._collect(byte)
                if self.byteOffset > 4:
                    self.state = HUNT
                    if (~sum(self.payload[0:4]) & 0xFF) == b:
                        raw = (self.payload[2] << 8) | self.payload[3]
                        if raw >= 0x8000:
                            raw -= 0x10000
                        if self.raw_callback:
                            self.raw_callback(raw)

            elif state == EXTENDED:
                self._collect(byte)
                if b == 0xAA:
                    self.state = EXTENDED_SYNC

            elif state == EXTENDED_SYNC:
                if b == 0xAA:
                    self._parse_extend_payload()
                    self.state = LENGTH
                elif b == 0xBB:
                    self.state = HRV_LENGTH
                else:
                    # the byte after a lone AA inside the frame is dropped
                    self.state = EXTENDED

            elif state == GYRO:
                self._collect(byte)
                if self.byteOffset > 7:
                    self.state = HUNT
                    x, y, z = self.payload[2], self.payload[4], self.payload[6]
                    # only the low byte of each axis counts; above 180 wraps negative
                    x = 180 - x if x > 180 else x
                    y = 180 - y if y > 180 else y
                    z = 180 - z if z > 180 else z
                    if self.gyro_callback:
                        self.gyro_callback(x, y, z)

            elif state == HRV_LENGTH:
                self.byteOffset = 0
                if b == 0x0C:
                    self.state = HRV

            elif state == HRV:
                self._collect(byte)
                if self.byteOffset > 12:
                    self.state = HUNT
                    self._parse_hrv_payload()

    def _parse_standard_payload(self):
        p = self.payload
        signal = attention = meditation = 0
        bands = [0] * 8
        i = 0
        while i < 32:
            code = p[i]
            i += 1
            if code == 0x02:
                signal = p[i]
                i += 1
            elif code == 0x83:
                eegLength = p[i]
                i += 1
                if eegLength == 24:
                    for k in range(8):
                        bands[k] = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2]
                        i += 3
            elif code == 0x04:
                attention = p[i]
                i += 1
            elif code == 0x05:
                meditation = p[i]
                i += 1

        record = QuillmoreData()
        record.signal = signal
        record.attention = attention
        record.meditation = meditation
        (record.delta, record.theta, record.lowAlpha, record.highAlpha,
         record.lowBeta, record.highBeta, record.lowGamma, record.highGamma) = bands
        if self.eeg_callback:
            self.eeg_callback(record)

    def _parse_extend_payload(self):
        p = self.payload
        ap = battery = gnaw = heart = 0
        version = 0.0
        temperature = 0.0
        i = 0
        while i < 12:
            code = p[i]
            i += 1
            if code == 0x06:
                ap = p[i]
                i += 1
            elif code == 0x07:
                battery = p[i]
                i += 1
            elif code == 0x08:
                mainVersion, gnaw, secondaryVersion, intTemp, decTemp, heart = p[i:i + 6]
                i += 6
                version = (_decimal_nibbles(mainVersion) * 100 + _decimal_nibbles(secondaryVersion)) / 1000.0
                if intTemp == 255:
                    temperature = 0  # the sensor's "no reading"
                else:
                    temperature = intTemp + decTemp / 10.0

        record = QuillmoreExtendData()
        record.ap = ap
        record.battery = battery
        record.version = version
        record.gnaw = gnaw
        record.temperature = temperature
        record.heart = heart
        if self.extend_eeg_callback:
            self.extend_eeg_callback(record)

    def _parse_hrv_payload(self):
        p = self.payload
        if (12 + sum(p[0:9])) & 0xFF != p[9]:
            return
        rr1 = (p[0] << 8) | p[1]
        rr2 = (p[2] << 8) | p[3]
        rr3 = (p[4] << 8) | p[5]
        if self.rr_callback:
            self.rr_callback(rr1, rr2, rr3)
