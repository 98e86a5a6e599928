"""A capture with its timing file: read() sizes a reconnect as the live
session did and dates every sample on the host's clock; a killed writer
costs at most its last line."""
import datetime
import json

import numpy as np
import pytest

import quillmore
from quillmore import cli
from quillmore.capture_timing import SUFFIX, TimingLog
from quillmore.errors import QuillmoreError
from quillmore.simulate import chunks, ramp_indices

PPM = 200
START = datetime.datetime(2026, 12, 10, 9, 30, tzinfo=datetime.timezone.utc)


def capture(tmp_path, unplug=None, kill=False):
    """20 s from a headset 200 ppm fast, read 16 samples at a time, each read
    arriving 2 ms plus up to 3 ms after it was sent (host clock 1000 s at
    the start); bytes sent while unplugged (`unplug`: from, to in seconds)
    never arrive."""
    path = tmp_path / "session.bin"
    log = TimingLog(str(path), clock=lambda: 0.0, clock_name="test")
    rng = np.random.default_rng(1)
    last = None
    with open(path, "wb") as out:
        for due, data in chunks(20, seed=4, ramp=True, clock_ppm=PPM):
            if unplug and unplug[0] <= due < unplug[1]:
                if last is not None:
                    log.event("lost", (last + 0.3, START))
                    last = None
                continue
            arrival = 1000.0 + due + 0.002 + rng.uniform(0, 0.003)
            if unplug and last is None and due >= unplug[1]:
                log.event("back", (arrival, START))
            out.write(data)
            log.read(len(data), (arrival, START + datetime.timedelta(seconds=arrival - 1000.0)))
            last = arrival
    log.close()
    if kill:   # the writer died between the bytes and the end of their line
        timing = tmp_path / ("session.bin" + SUFFIX)
        timing.write_text(timing.read_text()[:-20])
    return path


@pytest.mark.parametrize("unplug,kill", [(None, False), ((8.0, 10.0), False), ((8.0, 10.0), True)])
def test_samples_are_dated_on_the_host_clock(tmp_path, unplug, kill):
    rec = quillmore.read(capture(tmp_path, unplug, kill))
    rate = 512 * (1 + PPM * 1e-6)
    index = np.array(ramp_indices(rec.raw), dtype=float)
    sent = 1000.0 + index / rate
    error = rec.host_time() - sent
    after = sent > 11.0 + 1000.0
    assert np.all(np.abs(error[after] - 0.002) < 0.005)
    assert rec.loss.link_gaps == (1 if unplug else 0)
    assert abs((rec.start_time - START).total_seconds()) < 0.01
    # Rows are on the same clock as the samples.
    assert np.all(np.diff(rec.host_time("eeg")) > 0.9)


def test_a_timing_file_that_is_not_one_is_refused(tmp_path):
    path = tmp_path / "a.bin"
    path.write_bytes(b"")
    (tmp_path / ("a.bin" + SUFFIX)).write_text("event,offset,size,host_clock,utc\nread,5,1,1.0,x\n")
    with pytest.raises(QuillmoreError, match=":2: cannot read"):
        quillmore.read(path)


def test_exports_carry_the_start_and_host_times(tmp_path):
    rec = quillmore.read(capture(tmp_path))
    frame = rec.to_pandas("eeg")
    assert frame["host_time"].tolist() == rec.host_time("eeg").tolist()
    pq = pytest.importorskip("pyarrow.parquet")
    rec.to_parquet(tmp_path / "p")
    metadata = pq.read_schema(tmp_path / "p" / "raw.parquet").metadata
    assert datetime.datetime.fromisoformat(metadata[b"quillmore.start_time"].decode()) == rec.start_time
    pytest.importorskip("mne")
    assert rec.to_mne().info["meas_date"] == rec.start_time
    edfio = pytest.importorskip("edfio")
    rec.to_edf(tmp_path / "r.edf")
    edf = edfio.read_edf(tmp_path / "r.edf")
    assert (edf.startdate, edf.starttime.replace(microsecond=0)) == \
        (rec.start_time.date(), rec.start_time.time().replace(microsecond=0, tzinfo=None))


def test_the_tool_decodes_a_capture_as_read_does(tmp_path):
    path = capture(tmp_path, unplug=(8.0, 10.0))
    assert cli.main(["decode", str(path), "--out-dir", str(tmp_path / "out"), "-q"]) == 0
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    loss = quillmore.read(path).loss
    assert loss.link_gaps == 1 and manifest["loss"]["raw_missing"] == loss.raw_missing > 0
