"""Plots by envelope: what a stream is reduced to while it is read holds
what the whole recording holds, whatever the chunking and the window;
damaged rows are marks, not values; kinds without data get no panel."""
import random

import numpy as np
import pytest

import quillmore
from quillmore import plot
from quillmore.encoders import encode
from quillmore.simulate import simulate

COLUMNS = 256   # 512 bins: a window of 4 s gives bins of 1/128 s, on sample times exactly


def _envelope(data, piece, start=None, end=None):
    envelope = plot.Envelope(COLUMNS, start, end)
    decoder = quillmore.Decoder()
    rng = random.Random(piece)
    at = 0
    while at < len(data):
        size = piece or rng.randint(1, 9000)
        envelope.add(decoder.feed(data[at:at + size]))
        at += size
    envelope.add(decoder.finish())
    return envelope


def _bins(envelope, times, values=None):
    """Count, first time, least and greatest per bin, worked out directly on
    the envelope's final bins."""
    grid = envelope.grid
    inside = grid.within(times)
    times = times[inside]
    bins = grid.index(times)
    count = np.bincount(bins, minlength=grid.size)
    first = np.full(grid.size, np.inf)
    np.minimum.at(first, bins, times)
    if values is None:
        return count, first
    values = np.asarray(values, float)[inside].reshape(len(times), -1)
    low = np.full((grid.size, values.shape[1]), np.inf)
    high = np.full((grid.size, values.shape[1]), -np.inf)
    np.fmin.at(low, bins, values)
    np.fmax.at(high, bins, values)
    return count, first, low, high


def _check(series, expected):
    count, first, *extremes = expected
    np.testing.assert_array_equal(series.count, count)
    np.testing.assert_array_equal(series.first, first)
    if extremes:
        np.testing.assert_array_equal(series.low, extremes[0])
        np.testing.assert_array_equal(series.high, extremes[1])


@pytest.fixture(scope="module")
def recordings():
    return {"clean": simulate(40, seed=5).data,
            "damaged": simulate(40, seed=6, damage=0.03, noise=0.0005, drop=0.0005).data}


@pytest.mark.parametrize("name", ["clean", "damaged"])
@pytest.mark.parametrize("piece, start, end", [
    (1 << 22, None, None),   # one part; the bins merge nine times
    (0, None, None),         # thousands of small parts, bins merging between them
    (0, 11.0, 15.0),         # a window: bins of a fixed width
    (0, 30.0, None),         # from a time on
])
def test_envelope_holds_what_the_recording_holds(recordings, name, piece, start, end):
    data = recordings[name]
    rec = quillmore.read(data)
    envelope = _envelope(data, piece, start, end)
    assert envelope.counts == rec.counts() and envelope.duration == pytest.approx(rec.duration)

    _check(envelope.raw, _bins(envelope, rec.raw_time, rec.raw))
    bands = np.column_stack([rec.eeg[band] for band in plot.BANDS]).astype(float)
    bands[bands == 0] = np.nan
    _check(envelope.bands, _bins(envelope, rec.eeg["time"], bands))
    _check(envelope.mind, _bins(envelope, rec.eeg["time"], np.column_stack((rec.eeg["attention"],
                                                                             rec.eeg["meditation"]))))
    # Damaged rows are counted as marks and never reach the values.
    extend, gyro = rec.extend, rec.gyro
    good = extend[~extend["damaged"] & (extend["heart"] != 0)]
    _check(envelope.heart, _bins(envelope, good["time"], good["heart"]))
    _check(envelope.heart_damaged, _bins(envelope, extend["time"][extend["damaged"]]))
    good = gyro[~gyro["damaged"]]
    _check(envelope.gyro, _bins(envelope, good["time"], np.column_stack((good["x"], good["y"], good["z"]))))
    if name == "damaged" and start is None:
        assert envelope.heart_damaged.count.sum() == np.count_nonzero(extend["damaged"]) > 0

    # Lost time: the gaps in the raw samples' times, cut to the window.
    times = rec.raw_time
    step = np.diff(times)
    gaps = np.flatnonzero(step > 1.5 / 512)
    low = np.maximum(times[gaps] + 1 / 512, start or 0.0)
    high = times[gaps + 1] if end is None else np.minimum(times[gaps + 1], end)
    assert envelope.lost.seconds.sum() == pytest.approx(np.clip(high - low, 0, None).sum(), abs=1e-9)
    if start is None and end is None:
        assert envelope.lost.seconds.sum() * 512 == pytest.approx(rec.loss.raw_missing)
    assert (envelope.lost.seconds <= envelope.grid.width * (1 + 1e-9)).all()
    shaded = sum(width for _, width in envelope.lost.spans())
    assert shaded == pytest.approx(envelope.lost.seconds.sum())
    assert (name == "damaged") == (shaded > 0)


@pytest.mark.parametrize("gaps", [[], [1], [4095], [4096], [4097], [8191], [9999], [1, 4096, 8192, 9999]])
def test_gaps_found_in_blocks_are_every_gap(gaps):
    steps = np.ones(10000)
    steps[gaps] = 3
    times = np.cumsum(steps) / 512
    np.testing.assert_array_equal(plot._gaps(times), np.flatnonzero(np.diff(times) > 1.5 / 512) + 1)


@pytest.mark.parametrize("kinds, panels", [
    ({"raw", "eeg", "extend", "gyro", "rr"}, ["Raw EEG", "EEG band powers", "Attention", "Heart rate", "Gyroscope"]),
    ({"raw", "eeg"}, ["Raw EEG", "EEG band powers", "Attention"]),
    ({"eeg", "rr"}, ["EEG band powers", "Attention", "Heart rate"]),
    ({"raw", "gyro"}, ["Raw EEG", "Gyroscope"]),
])
def test_only_kinds_with_data_get_a_panel(kinds, panels):
    pytest.importorskip("matplotlib")
    frames = [frame for frame in simulate(8, seed=2).frames if frame.kind in kinds]
    envelope = _envelope(encode(frames), 1 << 16)
    figure = plot.figure(envelope, "title")
    titles = [axes.get_title(loc="left") for axes in figure.axes]
    assert [title.split(" (")[0].split(" and")[0] for title in titles] == panels
