"""The headset clock fitted to arrival times: stamps evenly spaced at the
headset's true rate, without the reads' jitter, across a reconnect."""
import math
import random

import pytest

from quillmore.clock_fit import ClockFit, PartClock


def arrivals(ppm, seconds, seed, gap_at=None, gap=0.0):
    """Reads of 16 samples from a headset `ppm` fast, each arriving 2 ms
    after its last sample was sent plus a jitter (mostly a few ms, now and
    then 40 ms); a link gap of `gap` seconds after `gap_at` seconds."""
    rng = random.Random(seed)
    rate = 512.0 * (1 + ppm * 1e-6)
    reads = []
    for k in range(1, int(seconds * 32)):
        position = 16 * k
        sent = 100.0 + position / rate
        if gap_at is not None and sent > 100.0 + gap_at:
            position += round(gap * rate)
            sent += gap
        jitter = rng.expovariate(1 / 0.004) + (0.04 if rng.random() < 0.01 else 0.0)
        reads.append((position, sent, sent + 0.002 + jitter))
    return reads, rate


@pytest.mark.parametrize("ppm,gap", [(-200, 0.0), (0, 0.0), (200, 0.0), (200, 2.0)])
def test_stamps_follow_the_headset_clock_not_the_reads(ppm, gap):
    reads, rate = arrivals(ppm, 300, seed=ppm + 1000, gap_at=150.0 if gap else None, gap=gap)
    fit = ClockFit()
    errors = []
    for position, sent, arrived in reads:
        fit.add(position, arrived)
        if sent > 130.0:   # after the window has filled
            errors.append(fit.stamp(position) - sent)
    errors.sort()
    median = errors[len(errors) // 2]
    spread = max(abs(e - median) for e in errors[: int(len(errors) * 0.99)])
    assert 0.0 <= median < 0.004     # the least latency, about 2 ms
    assert spread < 0.001
    assert abs(fit.rate - rate) < 512 * 20e-6


def test_stamps_never_go_back_and_bad_input_is_refused():
    fit = ClockFit()
    with pytest.raises(RuntimeError):
        fit.stamp(0)
    fit.add(512, 10.0)
    fit.add(1024, 11.0)
    first = fit.stamp(1024)
    fit.add(1100, 10.5)          # arrived early: the line moves down by half a second
    assert fit.stamp(1100) == first
    for position, arrival in [(100, 11.0), (math.nan, 11.0), (2000, math.inf)]:
        with pytest.raises(ValueError):
            fit.add(position, arrival)


@pytest.mark.parametrize("drop_ms", [0.5, 18.0, 200.0])
def test_part_stamps_catch_up_a_lowered_line_without_bunching(drop_ms):
    """Reads of 16 samples every 31.25 ms, the first three late by
    ``drop_ms``: the line moves down at the fourth, and the stamps reach it
    by at most 3/4 of a sample per part, each part after the previous one."""
    clock = PartClock()
    stamps = []
    for k in range(1, 200):
        position = 16 * k
        clock.arrived(position, 50.0 + position / 512 + (drop_ms / 1000 if k <= 3 else 0.0))
        stamps.append(clock.stamp(position))
        assert clock.stamp(position) == stamps[-1]          # nothing new released: the same stamp
    firsts = [s - 15 / 512 for s in stamps]
    assert all(first > last for last, first in zip(stamps, firsts[1:]))
    behind = [s - (50.0 + 16 * k / 512) for k, s in enumerate(stamps, 1)]
    catch_up = [a - b for a, b in zip(behind, behind[1:])]
    assert max(catch_up) <= 0.75 / 512 + 1e-12
    assert abs(behind[-1]) < 1e-9
