"""quillmore view in a real browser (headless Chromium driven by selenium):
the page draws what the decoder decoded, filtered as a live consumer would,
shows contact, loss and reconnects as the recording has them, survives a
closed tab, and the server ends on SIGINT.  The page's data is read from
its ColumnDataSources through BokehJS (``Bokeh.documents[0]``)."""
import ctypes
import datetime
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

import numpy as np
import pytest

import quillmore
from quillmore import cli
from quillmore.capture_timing import TimingLog
from quillmore.constants import VOLTS_PER_COUNT
from quillmore.simulate import chunks, simulate

MICROVOLTS = VOLTS_PER_COUNT * 1e6


def _missing():
    missing = [name for name in ("bokeh", "scipy", "selenium") if importlib.util.find_spec(name) is None]
    missing += [name for name in ("chromium", "chromedriver") if not _program(name)]
    return missing


def _program(name):
    found = shutil.which(name) or shutil.which(f"{name}-browser")
    return found or next((p for p in (f"/usr/lib/chromium/{name}",) if os.path.exists(p)), None)


@pytest.fixture(scope="module")
def browser():
    if hasattr(ctypes.CDLL(None), "__asan_init"):
        pytest.skip("Chromium does not run with AddressSanitizer preloaded")
    missing = _missing()
    if missing:
        message = f"the view's browser tests need {', '.join(missing)}"
        if os.environ.get("CI"):
            pytest.fail(message + " (tests/run.sh installs them)")
        pytest.skip(message)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1200,860"):
        options.add_argument(argument)
    options.binary_location = _program("chromium")
    driver = webdriver.Chrome(options=options, service=Service(_program("chromedriver")))
    yield driver
    driver.quit()


def view(*argv):
    """``quillmore view ... --no-browser``; returns the process and its URL."""
    process = subprocess.Popen([sys.executable, "-m", "quillmore", "view", "--no-browser", *argv],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = process.stdout.readline().strip()
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+/", url), (url, process.stderr.read() if not url else "")
    return process, url


def stop(process):
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=15)
    return process.returncode, err


def js(driver, expression, *args):
    return driver.execute_script(
        "const doc = Bokeh.documents[0]; const model = name => doc.get_model_by_name(name);"
        f" return {expression};", *args)


def open_page(driver, url):
    driver.get(url)
    until(lambda: js(driver, "model('trace').data.t.length > 0"), "the page to load")


def until(condition, what, timeout=20.0):
    from selenium.common.exceptions import JavascriptException

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = condition()
        except JavascriptException:   # the page is not there yet
            value = None
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def trace(driver):
    t, y = js(driver, "[Array.from(model('trace').data.t), Array.from(model('trace').data.y)]")
    t, y = np.array(t, float), np.array([np.nan if v is None else v for v in y], float)
    drawn = ~np.isnan(y)   # NaN points break the line where samples were lost
    return t[drawn], y[drawn]


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    """A live capture with its timing file: 12 s over a link that loses a
    byte now and then, unplugged from 5 s to 6.5 s, then 1.25 s of a headset just put
    on, off the head (signal 200) at its end."""
    path = tmp_path_factory.mktemp("view") / "session.bin"
    log = TimingLog(str(path), clock=lambda: 0.0, clock_name="test")
    start = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    arrival = 1000.0
    unplugged = False
    with open(path, "wb") as out:
        pieces = list(chunks(12, seed=11, drop=0.0003)) + [(12 + 1.25, simulate(1.25, seed=12).data)]
        for due, data in pieces:
            if 5.0 <= due < 6.5:
                if not unplugged:
                    log.event("lost", (arrival + 0.1, start))
                unplugged = True
                continue
            arrival = 1000.0 + due
            if unplugged:
                log.event("back", (arrival, start))
                unplugged = False
            out.write(data)
            log.read(len(data), (arrival, start))
    log.close()
    return path


def test_the_page_draws_the_decoded_stream_filtered_and_its_losses(browser, capture, tmp_path):
    rec = quillmore.read(capture)
    assert rec.loss.link_gaps == 1 and rec.loss.raw_missing > 768
    process, url = view(str(capture), "--speed", "3")
    try:
        open_page(browser, url)
        first = browser.get_screenshot_as_png()
        time.sleep(0.4)
        assert browser.get_screenshot_as_png() != first, "the trace does not move"
        seen = set()
        until(lambda: seen.add(js(browser, "model('contact').text")) or "end of the input" in js(
            browser, "model('figures').text"), "the end of the recording")
        assert any("contact: good" in text for text in seen)
        contact = js(browser, "model('contact').text")
        figures = re.sub("<[^>]+>", "", js(browser, "model('figures').text"))
        assert "contact: off the head" in contact and "saturated: 0.0%" in contact
        assert f"lost since the start: {rec.loss.raw_missing} samples" in figures
        assert "reconnects: 1" in figures

        # What the page holds, for each setting of the switches, is the
        # decoded stream in microvolts through filters that ran over the
        # whole of it from the start.
        from quillmore.view_state import Filters, variant

        variants = Filters(512)(rec.raw * MICROVOLTS)
        for band_pass, notch in ((True, 50), (False, 0), (False, 60), (True, 0)):
            js(browser, "(model('bandpass').active = arguments[0], model('notch').active = arguments[1])",
               band_pass, (0, 50, 60).index(notch))
            expected = variants[variant(band_pass, notch)]

            def matches():
                t, y = trace(browser)
                at = np.searchsorted(rec.raw_time, t)
                return (len(t) > 4000 and np.array_equal(rec.raw_time[at], t)
                        and np.allclose(y, expected[at], rtol=1e-5, atol=1e-3))
            until(matches, f"the trace with band-pass {band_pass}, notch {notch}", timeout=5)
        if os.environ.get("QUILLMORE_VIEW_SCREENSHOT"):   # the README's picture, in 256 colours
            from PIL import Image

            js(browser, "(model('bandpass').active = true, model('notch').active = 1)")
            time.sleep(1.0)
            browser.save_screenshot(str(tmp_path / "view.png"))
            Image.open(tmp_path / "view.png").convert("RGB").quantize(256).save(
                os.environ["QUILLMORE_VIEW_SCREENSHOT"], optimize=True)
    finally:
        status, err = stop(process)
    assert status == 0, err


def test_a_reopened_tab_reconnects_and_sigint_ends_the_server(browser):
    process, url = view("--sample")
    try:
        open_page(browser, url)
        original = browser.current_window_handle
        browser.switch_to.new_window("tab")
        spare = browser.current_window_handle
        browser.switch_to.window(original)
        browser.close()
        browser.switch_to.window(spare)
        time.sleep(0.5)
        open_page(browser, url)
        newest = "model('trace').data.t.at(-1)"
        reached = js(browser, newest)
        until(lambda: js(browser, newest) > reached + 0.5, "the reopened page to move")
        # The server serves the page and Bokeh's scripts, nothing of the file system.
        for path in ("etc/passwd", "static/../../../../etc/passwd", "static/%2e%2e/%2e%2e/%2e%2e/etc/passwd"):
            with pytest.raises(urllib.error.HTTPError):
                urllib.request.urlopen(url + path, timeout=5)
    finally:
        status, err = stop(process)
    assert status == 0, err
    assert err.strip().endswith("quillmore: stopped")


def test_an_lsl_stream_is_viewed_in_microvolts_with_derived_band_powers(browser):
    pylsl = pytest.importorskip("pylsl")
    name = f"view test {os.getpid()}"
    info = pylsl.StreamInfo(name, "EEG", 1, 250, "float32", name)
    info.desc().append_child("channels").append_child("channel").append_child_value("unit", "volts")
    outlet = pylsl.StreamOutlet(info)
    process, url = view("--lsl", f"name={name}")
    sent = 0
    try:
        def push():   # 20 µV at 10 Hz (high alpha), in volts
            nonlocal sent
            due = int((time.monotonic() - started) * 250)
            t = np.arange(sent, due) / 250
            outlet.push_chunk((20e-6 * np.sin(2 * np.pi * 10 * t)).reshape(-1, 1).tolist())
            sent = due
        started = time.monotonic()
        browser.get(url)
        until(lambda: push() or js(browser, "model('history').data.t.length >= 2"),
              "band powers derived from the stream")
        js(browser, "(model('bandpass').active = false, model('notch').active = 0)")
        time.sleep(0.3)
        _, y = trace(browser)
        assert 19 < y.max() < 20.01 and -20.01 < y.min() < -19
        powers = js(browser, "['delta', 'theta', 'lowAlpha', 'highAlpha', 'lowBeta'].map("
                             "band => model('history').data[band].at(-1))")
        assert powers[3] > 100 * max(powers[:3] + powers[4:])
    finally:
        status, err = stop(process)
    assert status == 0, err


@pytest.mark.parametrize("argv,message", [
    (["--lsl", "type=EEG", "rec.bin"], "give either FILE or --lsl, not both"),
    (["--port", "/dev/null", "--speed", "2"], "--speed applies to a recording"),
    (["--lsl", "type"], "--lsl wants KEY=VALUE"),
    (["--band-pass", "40,1"], "expected 0 < LOW < HIGH"),
])
def test_view_usage_errors(argv, message, capsys):
    pytest.importorskip("bokeh")
    pytest.importorskip("scipy")
    if argv[0] == "--lsl" and argv[1] == "type":
        pytest.importorskip("pylsl")
    try:
        status = cli.main(["view", "--no-browser", *argv])
    except SystemExit as error:   # argparse's own checks
        status = error.code
    assert status == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err


def test_view_without_bokeh_says_so_in_one_line(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "bokeh", None)
    assert cli.main(["view", "--sample", "--no-browser"]) == 1
    assert capsys.readouterr().err == ("quillmore: error: the live view needs bokeh, which is not installed;"
                                       " install it with: pip install bokeh\n")
