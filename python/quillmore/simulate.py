"""A virtual headset: a seeded generator of realistic streams.

Every second the headset sends 512 raw-sample frames; after the 256th a
standard frame (signal quality, attention, meditation and the powers of the
eight EEG bands over the last 512 samples) and its extended frame (battery,
firmware version, temperature, heart rate and more); every other second a
gyroscope frame; and after every third heartbeat a heart-rate-variability
frame with the last three RR intervals.

The raw signal is a mix of rhythms whose amplitudes follow two slowly
wandering mental states: attention strengthens the beta rhythms and
weakens theta and alpha, meditation strengthens alpha.  White noise, eye
blinks (large slow bumps), jaw clenches (broadband muscle noise) and
episodes of poor electrode contact come on top.  The band powers of each
standard frame are computed from the components that made up the last 512
samples, so they follow what the raw trace shows; attention and meditation
are the two states themselves.

``simulate()`` returns the bytes together with the frames they encode, so a
decoder's output can be checked value for value.  The stream can be
corrupted the way a serial link corrupts it: stray bytes inserted
(``noise``), bytes lost (``drop``) or changed (``substitute``), each as a
rate per byte, and whole read buffers lost (``lose_buffers``).

The sample recording shipped in ``quillmore/data/sample.bin`` was made with::

    quillmore simulate --seed 2024 --duration 60 -o python/quillmore/data/sample.bin
"""

from __future__ import annotations

import collections
import dataclasses
import math
import os
import random
import time
import tty
from collections.abc import Callable, Iterator, Sequence

from .constants import SAMPLES_PER_SECOND
from .encoders import Extended, Frame, Gyro, Hrv, Raw, Standard, Value, encode

SAMPLE_SEED = 2024
SAMPLE_SECONDS = 60

_TWO_PI = 2.0 * math.pi
# Scale from the squared raw units of a component to the headset's band
# power units, which run up to 16,777,215.
_POWER_SCALE = 250.0
_BASE_NOISE = 9.0


@dataclasses.dataclass(frozen=True)
class _Rhythm:
    band: int              # index into the eight bands
    frequency: float       # Hz
    amplitude: float       # raw units at attention = meditation = 50
    attention_gain: float  # relative change per +100 attention
    meditation_gain: float


# One rhythm per band, inside the band's frequency range.
_RHYTHMS = (
    _Rhythm(0, 1.6, 40.0, -0.3, 0.1),    # delta      0.5 - 2.75 Hz
    _Rhythm(1, 5.8, 24.0, -0.6, 0.3),    # theta      3.5 - 6.75 Hz
    _Rhythm(2, 9.0, 18.0, -0.3, 0.9),    # low alpha  7.5 - 9.25 Hz
    _Rhythm(3, 10.5, 24.0, -0.5, 0.8),   # high alpha 10 - 11.75 Hz
    _Rhythm(4, 14.5, 10.0, 0.9, -0.3),   # low beta   13 - 16.75 Hz
    _Rhythm(5, 21.0, 8.0, 0.8, -0.4),    # high beta  18 - 29.75 Hz
    _Rhythm(6, 35.0, 4.0, 0.3, 0.0),     # low gamma  31 - 39.75 Hz
    _Rhythm(7, 45.0, 3.0, 0.2, 0.0),     # mid gamma  41 - 49.75 Hz
)
# Width of each band in Hz, for the share of white noise that falls in it
# (white noise spreads evenly up to 256 Hz, half the sample rate).
_BAND_WIDTHS = (2.25, 3.25, 1.75, 1.75, 3.75, 11.75, 8.75, 8.75)


def _clamp(value: float, low: float, high: float) -> float:
    return low if value < low else high if value > high else value


class Headset:
    """The frames a headset sends, sample by sample, from a seed.

    With ``restarts`` the headset restarts its one-second cadence when
    contact is made (``signal`` drops from 200), as real headsets do: the
    standard frame then comes after fewer than 512 raw samples, and the
    ones after it a second apart from there.  With ``ramp`` each raw sample
    carries its own index in the stream (modulo 65536, as int16) instead of
    the signal, so a decoder's output can be aligned with what was sent
    whatever was lost (``ramp_indices``)."""

    def __init__(self, seed: int | None = None, restarts: bool = False, ramp: bool = False) -> None:
        rng = self._rng = random.Random(seed)
        self._restarts = random.Random(None if seed is None else f"restarts {seed}") if restarts else None
        self._ramp = ramp
        # Raw samples since the last standard frame, and the count at which
        # the next one is due.
        self._since_standard = SAMPLES_PER_SECOND // 2
        self._standard_due = SAMPLES_PER_SECOND
        self._off_head = True
        self._attention = rng.uniform(35.0, 65.0)
        self._meditation = rng.uniform(35.0, 65.0)
        self._ap = rng.uniform(20.0, 80.0)
        self._amplitudes = [self._rhythm_amplitude(r) for r in _RHYTHMS]
        self._phases = [rng.uniform(0.0, _TWO_PI) for _ in _RHYTHMS]
        # Contact settles during the first seconds: signal 200 (off the
        # skin), then poor, then good.
        self._contact = [200, 80, 26]
        self._gnaw_seconds = 0
        self._baseline = 0.0
        self._blink_left = 0
        self._blink_length = 1
        self._blink_height = 0.0
        self._blink_strength = 0
        self._heart_rate = rng.uniform(60.0, 78.0)
        self._resting_rate = self._heart_rate
        self._next_beat = rng.uniform(0.2, 1.0)
        self._rr: list[int] = []
        self._recent_rr: list[int] = []
        self._orientation = [rng.uniform(0.0, 20.0), rng.uniform(-10.0, 10.0), rng.uniform(60.0, 120.0)]
        self._battery = 100 - rng.randint(0, 15)
        self._temperature = rng.uniform(32.0, 33.5)
        self._skin_temperature = rng.uniform(35.0, 36.2)
        # Band energy of the samples since the last standard frame.
        self._energy = [0.0] * 8
        self._energy_samples = 0

    def _rhythm_amplitude(self, rhythm: _Rhythm) -> float:
        a = (self._attention - 50.0) / 100.0
        m = (self._meditation - 50.0) / 100.0
        level = 1.0 + rhythm.attention_gain * a + rhythm.meditation_gain * m
        jitter = math.exp(self._rng.gauss(0.0, 0.15))
        return rhythm.amplitude * max(0.2, level) * jitter

    def groups(self) -> Iterator[list[Frame]]:
        """One list per raw sample: the frames sent just before it, then its
        own raw frame.  Endless; cutting the stream between two groups never
        leaves an extended frame without the sync bytes that end it."""
        rng = self._rng
        second = 0
        sent = 0
        while True:
            signal = self._new_second(second)
            if self._restarts is not None and self._off_head and signal < 200:
                # Contact made: the cadence starts again from here.
                last = SAMPLES_PER_SECOND - 1
                self._standard_due = self._restarts.randint(min(self._since_standard + 1, last), last)
            self._off_head = signal >= 200
            targets = [self._rhythm_amplitude(r) for r in _RHYTHMS]
            starts = self._amplitudes
            contact_noise = signal / 200.0
            noise = _BASE_NOISE * (1.0 + 5.0 * contact_noise) + (35.0 if self._gnaw_seconds else 0.0)
            # A loose electrode makes the baseline wander; it settles back
            # once contact is good.
            base_from = self._baseline
            base_to = self._baseline = 300.0 * contact_noise * rng.uniform(-1.0, 1.0)
            ramp = base_to - base_from
            ramp_power = ramp * ramp / 12.0
            steps = [_TWO_PI * r.frequency * (1.0 + rng.gauss(0.0, 0.01)) / SAMPLES_PER_SECOND for r in _RHYTHMS]
            noise_power = [noise * noise * width / 256.0 for width in _BAND_WIDTHS]
            for k in range(SAMPLES_PER_SECOND):
                group: list[Frame] = []
                t = second + k / SAMPLES_PER_SECOND
                if t >= self._next_beat:
                    rr = self._beat(t)
                    if rr is not None:
                        group.append(rr)
                if k == 64 and second % 2 == 0:
                    group.append(self._gyro())
                if self._since_standard >= self._standard_due:
                    # Sent together, and the raw frame after them supplies
                    # the AA AA that ends the extended frame.
                    group.append(self._standard(signal))
                    group.append(self._extended())
                    self._since_standard = 0
                    self._standard_due = SAMPLES_PER_SECOND
                self._since_standard += 1
                frac = k / SAMPLES_PER_SECOND
                value = base_from + ramp * frac + rng.gauss(0.0, noise)
                energy = self._energy
                for i in range(8):
                    amplitude = starts[i] + (targets[i] - starts[i]) * frac
                    self._phases[i] += steps[i]
                    value += amplitude * math.sin(self._phases[i])
                    energy[i] += 0.5 * amplitude * amplitude + noise_power[i]
                blink = self._blink_sample()
                value += blink
                # A blink is slow: most of its power lies in delta, the rest
                # in theta; so does the wandering baseline.
                slow = blink * blink + ramp_power
                energy[0] += 0.7 * slow
                energy[1] += 0.3 * slow
                self._energy_samples += 1
                if self._ramp:
                    group.append(Raw((sent + 32768) % 65536 - 32768))
                else:
                    group.append(Raw(int(_clamp(round(value), -32767, 32767))))
                sent += 1
                yield group
            for phase_index, phase in enumerate(self._phases):
                self._phases[phase_index] = math.fmod(phase, _TWO_PI)
            self._amplitudes = targets
            second += 1

    # ------------------------------------------------------------ per second

    def _new_second(self, second: int) -> int:
        """Moves the slow states on by one second; returns the signal value."""
        rng = self._rng
        # Attention and meditation wander around 50 and pull back to it.
        self._attention = _clamp(self._attention + 0.08 * (50.0 - self._attention) + rng.gauss(0.0, 6.0), 1, 100)
        self._meditation = _clamp(self._meditation + 0.08 * (50.0 - self._meditation) + rng.gauss(0.0, 6.0), 1, 100)
        self._ap = _clamp(self._ap + rng.gauss(0.0, 3.0), 0, 100)
        if self._gnaw_seconds:
            self._gnaw_seconds -= 1
        elif rng.random() < 1 / 40:
            self._gnaw_seconds = rng.randint(1, 3)
        if not self._contact and rng.random() < 1 / 90:
            # The electrode slips: a few seconds of poor contact.
            self._contact = sorted((rng.randint(26, 200) for _ in range(rng.randint(2, 5))), reverse=True)
        self._temperature += (self._skin_temperature - self._temperature) / 120.0 + rng.gauss(0.0, 0.02)
        if second and second % 150 == 0:
            self._battery = max(0, self._battery - 1)
        return self._contact.pop(0) if self._contact else 0

    def _standard(self, signal: int) -> Standard:
        rng = self._rng
        samples = max(1, self._energy_samples)
        bands = []
        for energy in self._energy:
            power = energy / samples * _POWER_SCALE * math.exp(rng.gauss(0.0, 0.1))
            bands.append(int(_clamp(power, 0, 0xFFFFFF)))
        self._energy = [0.0] * 8
        self._energy_samples = 0
        # Without contact the headset cannot judge either state.
        off = signal >= 200
        return Standard(signal, 0 if off else round(self._attention), 0 if off else round(self._meditation), *bands)

    def _extended(self) -> Extended:
        tenths = round(self._temperature * 10)
        if self._recent_rr:
            heart = 60000.0 / (sum(self._recent_rr) / len(self._recent_rr))
        else:
            heart = self._heart_rate
        return Extended(
            ap=round(self._ap), battery=self._battery, main_version=13, gnaw=min(self._gnaw_seconds, 3),
            secondary_version=2, int_temp=tenths // 10, dec_temp=tenths % 10,
            # 170 (0xAA) would end the extended frame; no resting heart gets there.
            heart=int(_clamp(round(heart), 30, 160)))

    def _gyro(self) -> Gyro:
        rng = self._rng
        centres = (10.0, 0.0, 90.0)
        values = []
        for axis, centre in enumerate(centres):
            angle = self._orientation[axis]
            angle += 0.1 * (centre - angle) + rng.gauss(0.0, 3.0)
            self._orientation[axis] = angle = _clamp(angle, -75, 180)
            values.append(round(angle))
        return Gyro(*values)

    # ------------------------------------------------------------ per sample

    def _beat(self, t: float) -> Hrv | None:
        """A heartbeat at ``t``; every third one sends the last three RR
        intervals."""
        rng = self._rng
        self._heart_rate += 0.05 * (self._resting_rate - self._heart_rate) + rng.gauss(0.0, 0.8)
        # Breathing speeds the heart up and slows it down (about 4.5 s a breath).
        rr = 60000.0 / self._heart_rate + 30.0 * math.sin(_TWO_PI * t / 4.5) + rng.gauss(0.0, 12.0)
        interval = int(_clamp(round(rr), 400, 1500))
        self._next_beat = t + interval / 1000.0
        self._rr.append(interval)
        self._recent_rr = (self._recent_rr + [interval])[-3:]
        if len(self._rr) < 3:
            return None
        frame = Hrv(rr1=self._rr[0], rr2=self._rr[1], rr3=self._rr[2], blink=self._blink_strength)
        self._rr = []
        self._blink_strength = 0
        return frame

    def _blink_sample(self) -> float:
        if self._blink_left == 0:
            if self._rng.random() >= 0.2 / SAMPLES_PER_SECOND:   # one blink in 5 s
                return 0.0
            self._blink_length = self._blink_left = self._rng.randint(120, 200)
            self._blink_height = self._rng.uniform(250.0, 600.0)
            self._blink_strength = min(255, round(self._blink_height / 3))
        self._blink_left -= 1
        phase = 1.0 - self._blink_left / self._blink_length
        return self._blink_height * math.sin(math.pi * phase) ** 2


class Corruptor:
    """Damages a byte stream as a poor serial link and a busy host do, each
    model apart, as a rate per byte: before each byte a stray byte arrives
    with probability ``noise`` (possibly several); each byte is lost with
    probability ``drop``, or turned into another with probability
    ``substitute``; and each read buffer of ``buffer_size`` bytes of what
    arrived is lost whole with probability ``lose_buffers`` (a host that
    fell behind).  Keeps its place across calls, so a stream corrupted in
    pieces is corrupted as one."""

    def __init__(self, noise: float, drop: float, seed: int | None = None, substitute: float = 0.0,
                 lose_buffers: float = 0.0, buffer_size: int = 512) -> None:
        rates = (("noise", noise), ("drop", drop), ("substitute", substitute), ("lose_buffers", lose_buffers))
        for name, rate in rates:
            if not 0.0 <= rate < 1.0:
                raise ValueError(f"{name} rate must be at least 0 and below 1, not {rate}")
        if buffer_size < 1:
            raise ValueError(f"buffer size must be at least 1, not {buffer_size}")
        # Generators of their own, so that corruption leaves the signal as
        # it was, and each model leaves the others' events where they were.
        self._rng = random.Random(None if seed is None else f"corruption {seed}")
        self._substitutions = random.Random(None if seed is None else f"substitution {seed}")
        self._buffers = random.Random(None if seed is None else f"buffers {seed}")
        self._noise = noise
        self._drop = drop
        self._substitute = substitute
        self._lose_buffers = lose_buffers
        self._buffer_size = buffer_size
        self._position = 0
        self._next_noise = self._gap(noise)
        self._next_drop = self._gap(drop)
        self._next_substitute = self._gap(substitute, self._substitutions)
        # Of what arrived: bytes so far, and whether the current buffer is lost.
        self._arrived = 0
        self._buffer_lost = False

    def _gap(self, rate: float, rng: random.Random | None = None) -> float:
        """Bytes until the next event: geometric with ``rate`` per byte."""
        if rate == 0.0:
            return math.inf
        return math.floor(math.log(1.0 - (rng or self._rng).random()) / math.log(1.0 - rate))

    def __call__(self, data: bytes) -> bytes:
        out = self._link(data)
        return self._host(out) if self._lose_buffers else out

    def _link(self, data: bytes) -> bytes:
        start = self._position
        end = start + len(data)
        self._position = end
        if self._noise == 0.0 and self._drop == 0.0 and self._substitute == 0.0:
            return data
        out = bytearray()
        cursor = start
        while True:
            event = min(self._next_noise, self._next_drop, self._next_substitute)
            if event >= end:
                break
            position = int(event)
            out += data[cursor - start:position - start]
            cursor = position
            if self._next_noise == event:
                out.append(self._rng.randrange(256))
                self._next_noise = position + self._gap(self._noise)
            elif self._next_drop == event:
                cursor = position + 1
                self._next_drop = position + 1 + self._gap(self._drop)
                if self._next_substitute == event:
                    self._next_substitute = position + 1 + self._gap(self._substitute, self._substitutions)
            else:
                out.append(data[position - start] ^ self._substitutions.randrange(1, 256))
                cursor = position + 1
                self._next_substitute = position + 1 + self._gap(self._substitute, self._substitutions)
        out += data[cursor - start:]
        return bytes(out)

    def _host(self, data: bytes) -> bytes:
        out = bytearray()
        at = 0
        while at < len(data):
            if self._arrived % self._buffer_size == 0:
                self._buffer_lost = self._buffers.random() < self._lose_buffers
            take = min(len(data) - at, self._buffer_size - self._arrived % self._buffer_size)
            if not self._buffer_lost:
                out += data[at:at + take]
            at += take
            self._arrived += take
        return bytes(out)


def ramp_indices(raw: Sequence[int], longest_gap: int = 16384) -> list[int | None]:
    """The index in the sent stream of each raw sample a decoder delivered
    from a ``ramp`` headset: the 16-bit values unwrapped along the stream.
    A value is taken when it steps forward by at most ``longest_gap`` and
    the value after it steps on from it by at most a second's samples;
    any other is not one that was sent (bytes of its frame changed and its
    8-bit checksum still held): None."""
    values = [int(v) % 65536 for v in raw]
    indices: list[int | None] = []
    last = -1
    for k, value in enumerate(values):
        step = (value - last) % 65536
        follows = k + 1 == len(values) or 0 < (values[k + 1] - value) % 65536 <= SAMPLES_PER_SECOND
        if step == 0 or step > longest_gap or not follows:
            indices.append(None)
            continue
        last += step
        indices.append(last)
    return indices


@dataclasses.dataclass
class Simulation:
    """A simulated recording: its bytes and the frames they were made from,
    in stream order.  Without corruption a correct decoder delivers exactly
    these frames' ``fields()``; ``damaged`` lists the positions in ``frames``
    of the frames sent with a broken checksum (see ``simulate``)."""

    data: bytes
    frames: list[Frame]
    damaged: list[int] = dataclasses.field(default_factory=list)

    def truth(self, kind: str) -> list[dict[str, Value]]:
        """The values of every frame of ``kind`` sent, as a decoder names
        them."""
        return [frame.fields() for frame in self.frames if frame.kind == kind]


# Where each checked frame keeps its checksum byte, counted from its first
# header byte: standard and raw frames end with it, the heart-rate-
# variability frame has it 9 bytes after its length byte.
_CHECKSUM_AT = {"eeg": -1, "raw": -1, "rr": 3 + 9}


def _damaged_stream(frames: list[Frame], rate: float, seed: int | None) -> tuple[bytes, list[int]]:
    """The frames' bytes with the checksum of each checked frame broken with
    probability ``rate``; the frames stay whole, so the decoder loses exactly
    those frames and no others."""
    rng = random.Random(None if seed is None else f"damage {seed}")
    out = bytearray()
    damaged = []
    for position, frame in enumerate(frames):
        data = frame.encode()
        at = _CHECKSUM_AT.get(frame.kind)
        if at is not None and rng.random() < rate:
            broken = bytearray(data)
            broken[at] ^= 0x01
            data = bytes(broken)
            damaged.append(position)
        out += data
    return bytes(out), damaged


def _sample_count(seconds: float) -> int:
    return round(seconds * SAMPLES_PER_SECOND)


def simulate(seconds: float, seed: int | None = None, noise: float = 0.0, drop: float = 0.0,
             damage: float = 0.0, *, substitute: float = 0.0, lose_buffers: float = 0.0,
             restarts: bool = False, ramp: bool = False) -> Simulation:
    """``seconds`` of stream (a multiple of 1/512 s) made in one go.

    Parameters
    ----------
    seconds
        Length of the stream on the headset's clock.
    seed
        Seed of the generators: the same seed gives the same bytes (None:
        a new stream each call).
    noise, drop, substitute, lose_buffers
        The link's damage (``Corruptor``), each a rate per byte: a stray
        byte inserted, a byte lost, a byte changed; a 512-byte read buffer
        lost whole.
    damage
        Breaks the checksum of each standard, raw and heart-rate-variability
        frame with this probability (listed in ``damaged``); the link's
        damage comes on top.
    restarts, ramp
        The ``Headset``'s: cadence restarts when contact is made; raw
        samples that carry their own index.

    Returns
    -------
    Simulation
        The bytes and the frames they encode."""
    frames: list[Frame] = []
    groups = Headset(seed, restarts, ramp).groups()
    for _ in range(_sample_count(seconds)):
        frames += next(groups)
    damaged: list[int] = []
    if damage:
        data, damaged = _damaged_stream(frames, damage, seed)
    else:
        data = encode(frames)
    if noise or drop or substitute or lose_buffers:
        data = Corruptor(noise, drop, seed, substitute, lose_buffers)(data)
    return Simulation(data, frames, damaged)


def chunks(seconds: float | None, seed: int | None = None, noise: float = 0.0, drop: float = 0.0,
           samples_per_chunk: int = 16, *, substitute: float = 0.0, lose_buffers: float = 0.0,
           restarts: bool = False, ramp: bool = False, clock_ppm: float = 0.0,
           samples: Callable[[int, list[int]], None] | None = None) -> Iterator[tuple[float, bytes]]:
    """The stream in pieces of ``samples_per_chunk`` raw samples, each with
    the time (seconds) at which its last byte is due, for a headset whose
    crystal runs ``clock_ppm`` parts per million fast (slow when negative).
    ``samples`` is told each piece's raw samples (the index of the first
    in the stream, and their values) before the piece is made.  Endless
    when ``seconds`` is None."""
    if not -10000.0 <= clock_ppm <= 10000.0:
        raise ValueError(f"clock_ppm must be within 10000 of 0, not {clock_ppm}")
    rate = SAMPLES_PER_SECOND * (1.0 + clock_ppm * 1e-6)
    corrupt = Corruptor(noise, drop, seed, substitute, lose_buffers)
    total = None if seconds is None else _sample_count(seconds)
    sent = 0
    groups = Headset(seed, restarts, ramp).groups()
    while total is None or sent < total:
        count = samples_per_chunk if total is None else min(samples_per_chunk, total - sent)
        frames: list[Frame] = []
        for _ in range(count):
            frames += next(groups)
        if samples is not None:
            samples(sent, [frame.sample for frame in frames if isinstance(frame, Raw)])
        sent += count
        yield sent / rate, corrupt(encode(frames))


def pace(pieces: Iterator[tuple[float, bytes]], write: Callable[[bytes], object], realtime: bool,
         clock: Callable[[], float] = time.monotonic, sleep: Callable[[float], None] = time.sleep,
         sent: Callable[[float, float], None] | None = None) -> float:
    """Hands every piece to ``write``, at its due time when ``realtime``,
    then tells ``sent`` the piece's due time and when that was on
    ``clock``.  Returns the stream time sent."""
    started = clock()
    done = 0.0
    for due, data in pieces:
        if realtime:
            delay = started + due - clock()
            if delay > 0:
                sleep(delay)
        write(data)
        if sent is not None:
            sent(due, started + due)
        done = due
    return done


class Truth:
    """The truth file of a simulated stream: a CSV line per raw sample sent,
    ``index,raw,sent``: its index in the stream (before any corruption), its
    value, and when it was sent.  Without ``clock``, ``sent`` is seconds on
    the headset's crystal from the start (sample i at (i + 1) / rate, when
    its frame is complete); with one (a stream served live), when it was
    due on that clock: the schedule the virtual headset keeps, which a write
    the system delayed does not move (``pace`` keeps it on
    ``time.monotonic()``, the same clock as LSL's on Linux and macOS).
    Never writes over a file."""

    def __init__(self, path: str, clock: Callable[[], float] | None = None, clock_ppm: float = 0.0) -> None:
        self._stream = open(path, "x", encoding="ascii", newline="\n")
        self._stream.write("index,raw,sent\n")
        # From pace()'s clock to this one.
        self._offset = None if clock is None else clock() - time.monotonic()
        self._rate = SAMPLES_PER_SECOND * (1.0 + clock_ppm * 1e-6)
        self._pending: collections.deque[tuple[int, list[int]]] = collections.deque()

    def queue(self, first: int, values: list[int]) -> None:
        """A piece's raw samples, about to be sent."""
        self._pending.append((first, values))

    def sent(self, due: float, scheduled: float) -> None:
        """The oldest piece queued was written: ``due`` on the headset's
        crystal, ``scheduled`` on ``pace``'s clock."""
        first, values = self._pending.popleft()
        last = due if self._offset is None else scheduled + self._offset
        count = len(values)
        self._stream.write("".join(f"{first + k},{value},{last - (count - 1 - k) / self._rate:.6f}\n"
                                   for k, value in enumerate(values)))

    def close(self) -> None:
        """Closes the file."""
        self._stream.close()


class PseudoTerminal:
    """A pseudo-terminal that a host opens like the headset's serial port.

    We write into the master side; the host opens the slave device (its
    path is ``name``).  The slave is set to raw mode (no echo, no line
    editing, all eight bits) and we keep it open, so its settings stay
    while hosts come and go.  Like a serial line, it loses what nobody
    reads: bytes that do not fit in the terminal's buffer are dropped and
    counted, rather than stalling the headset."""

    def __init__(self) -> None:
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.name = os.ttyname(self.slave)
        self.lost = 0

    def write(self, data: bytes) -> None:
        """Sends ``data`` to the host side, losing what does not fit."""
        try:
            written = os.write(self.master, data)
        except BlockingIOError:
            written = 0
        self.lost += len(data) - written

    def close(self) -> None:
        """Closes both sides; hosts that hold the device see it go away."""
        os.close(self.master)
        os.close(self.slave)
