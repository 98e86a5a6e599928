"""How fast and light ``quillmore view`` is, measured in a real browser.

Starts ``quillmore view FILE --no-browser`` (default: the bundled sample,
replayed at the headset's pace, 512 samples a second), opens the page in
headless Chromium and, for SECONDS, watches from inside the page (a
requestAnimationFrame loop injected through selenium; the page itself has no
JavaScript of ours) the trace's source, whose points carry when their bytes
arrived:

* latency: from the arrival of the newest bytes (the server's wall clock,
  time.time(), noted when the chunk reached the decoder) to the first
  animation frame that holds them (the browser's Date.now(), the same clock
  on this machine); the pixel is on screen at that frame's paint, within
  one frame (16.7 ms at 60 Hz) after;
* redraws: updates of the trace that reached the page, per second (each
  new data makes Bokeh draw the plot again);
* the server's CPU time (user + system, /proc) over the same seconds, as a
  share of one core, its resident memory and the page's JavaScript heap at
  the start and the end.

    python bench/view_latency.py [--seconds 20] [--speed 1] [FILE | --pty]

--pty views a virtual headset on a pseudo-terminal (quillmore simulate
--pty) as a port, read as the bytes come.

A long --speed run (e.g. --speed 30 --seconds 120: an hour of recording)
shows whether memory stays flat.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

WATCH = """
window.benchLatencies = []; window.benchUpdates = [];
let last = null;
const trace = Bokeh.documents[0].get_model_by_name('trace');
function frame() {
  const arrival = trace.data.arrival, newest = arrival[arrival.length - 1];
  if (newest !== last) {
    last = newest;
    const now = Date.now();
    window.benchUpdates.push(now);
    window.benchLatencies.push(now - newest * 1000);
  }
  requestAnimationFrame(frame);
}
requestAnimationFrame(frame);
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", nargs="?", help="recording to replay (default: the bundled sample)")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--pty", action="store_true", help="view a virtual headset's port")
    args = parser.parse_args()
    headset = None
    if args.pty:
        headset = subprocess.Popen([sys.executable, "-m", "quillmore", "simulate", "--pty", "--seed", "1"],
                                   stderr=subprocess.PIPE, text=True)
        source = ["--port", headset.stderr.readline().strip()]
    else:
        source = [args.input] if args.input else ["--sample"]
        source += ["--speed", str(args.speed)]
    server = subprocess.Popen([sys.executable, "-m", "quillmore", "view", *source, "--no-browser", "-q"],
                              stdout=subprocess.PIPE, text=True)
    url = server.stdout.readline().strip()
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,860"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium")
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    try:
        driver.get(url)
        deadline = time.monotonic() + 20
        while not driver.execute_script("try { return Bokeh.documents[0].get_model_by_name('trace').data.t.length > 0 }"
                                        " catch (e) { return false }"):
            if time.monotonic() > deadline:
                raise SystemExit("the page did not load")
            time.sleep(0.1)
        time.sleep(1.0)   # past the page's first full window
        driver.execute_script(WATCH)
        heap = "return performance.memory.usedJSHeapSize / 1048576"   # Chromium's
        rss_start, heap_start = rss_mib(server.pid), driver.execute_script(heap)
        cpu_start, wall_start = cpu_seconds(server.pid), time.monotonic()
        time.sleep(args.seconds)
        cpu = (cpu_seconds(server.pid) - cpu_start) / (time.monotonic() - wall_start)
        latencies, updates = driver.execute_script("return [window.benchLatencies, window.benchUpdates]")
        rss_end, heap_end = rss_mib(server.pid), driver.execute_script(heap)
    finally:
        driver.quit()
        server.send_signal(signal.SIGINT)
        server.wait(15)
        if headset is not None:
            headset.send_signal(signal.SIGINT)
            headset.wait(15)
    span = (updates[-1] - updates[0]) / 1000 if len(updates) > 1 else float("nan")
    what = "a port" if args.pty else f"{args.speed:g}x"
    print(f"{args.seconds:g} s at {what} ({512 * (1 if args.pty else args.speed):g} samples/s): "
          f"{(len(updates) - 1) / span:.1f} updates/s drawn; arrival to frame: median {percentile(latencies, 0.5):.0f} ms,"
          f" 95% {percentile(latencies, 0.95):.0f} ms, max {max(latencies):.0f} ms ({len(latencies)} updates);"
          f" server CPU {cpu:.1%} of one core; server memory {rss_start:.0f} -> {rss_end:.0f} MiB;"
          f" the page's JavaScript heap {heap_start:.0f} -> {heap_end:.0f} MiB")


if __name__ == "__main__":
    main()
