"""Time and peak memory of the command-line tool against the input's length.

    python bench/cli_scaling.py [--long] [--runs N] [--dir DIR]

Simulated recordings of 1 hour and 10 hours (``quillmore simulate --seed 1``;
with --long also 100 hours, ten copies of the 10-hour stream one after the
other, which the decoder reads as one stream of 100 hours) are made once
into a temporary directory (or DIR, where files already there are used
again).  Then each command runs --runs times (default 3) as a child
process of the interpreter running this script:

  decode FILE --out-dir D                      (CSV, every kind, raw included)
  decode FILE --format parquet --out-dir D
  info FILE
  plot FILE -o P.png

and the table shows the median wall time and the median peak resident
memory of the child (its ru_maxrss from wait4).  Time that grows with the
input's length and memory that does not is what the tool aims at.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HOURS = (1, 10)
LONG_HOURS = 100
# Each command's arguments, and what its row adds to them.
COMMANDS = (
    (["decode", "{input}", "--out-dir", "{out}"], " (CSV)"),
    (["decode", "{input}", "--format", "parquet", "--out-dir", "{out}"], ""),
    (["info", "{input}"], ""),
    (["plot", "{input}", "-o", "{out}.png"], ""),
)


def label(template, note):
    return "`quillmore " + " ".join(template).format(input="FILE", out="D") + "`" + note


def tool(*args):
    return [sys.executable, "-m", "quillmore", *args]


def make_recordings(folder, hours):
    paths = {}
    for h in hours:
        path = os.path.join(folder, f"{h}h.bin")
        paths[h] = path
        if os.path.exists(path):
            continue
        print(f"simulating {h} h into {path} ...", file=sys.stderr, flush=True)
        partial = path + ".partial"
        if h == LONG_HOURS:
            with open(partial, "wb") as out:
                for _ in range(LONG_HOURS // 10):
                    with open(paths[10], "rb") as piece:
                        shutil.copyfileobj(piece, out, 1 << 22)
        else:
            subprocess.run(tool("simulate", "--duration", str(h * 3600), "--seed", "1", "-o", partial), check=True)
        os.replace(partial, path)
    return paths


def measure(argv):
    """(seconds, peak resident bytes) of one run of ``argv`` as a child."""
    started = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if child.returncode:
        sys.exit(f"{' '.join(argv)} failed ({child.returncode}): {error.strip()}")
    return elapsed, usage.ru_maxrss * 1024


def run(argv_template, path, scratch, runs):
    times, peaks = [], []
    for index in range(runs):
        out = os.path.join(scratch, f"out{index}")
        argv = tool(*(arg.format(input=path, out=out) for arg in argv_template))
        elapsed, peak = measure(argv)
        times.append(elapsed)
        peaks.append(peak)
        shutil.rmtree(out, ignore_errors=True)
        if os.path.exists(out + ".png"):
            os.unlink(out + ".png")
    return statistics.median(times), statistics.median(peaks)


def cell(seconds, peak):
    return f"{seconds:.2f} s, {peak / 1e6:.0f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--long", action="store_true", help="add a 100-hour recording")
    parser.add_argument("--runs", type=int, default=3, help="runs of each command (default: 3)")
    parser.add_argument("--dir", help="keep the recordings here (made when missing)")
    args = parser.parse_args()
    hours = HOURS + ((LONG_HOURS,) if args.long else ())
    folder = args.dir or tempfile.mkdtemp(prefix="quillmore-scaling-")
    os.makedirs(folder, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="quillmore-scaling-out-")
    try:
        paths = make_recordings(folder, hours)
        sizes = {h: os.path.getsize(p) for h, p in paths.items()}
        header = "| Command | " + " | ".join(f"{h} h ({sizes[h] / 1e6:.0f} MB)" for h in hours) + " |"
        lines = [header, "|---" * (len(hours) + 1) + "|"]
        for template, note in COMMANDS:
            name = label(template, note)
            cells = []
            for h in hours:
                seconds, peak = run(template, paths[h], scratch, args.runs)
                cells.append(cell(seconds, peak))
                print(f"{name}, {h} h: {cells[-1]}", file=sys.stderr, flush=True)
            lines.append(f"| {name} | " + " | ".join(cells) + " |")
        print(f"\nMedians of {args.runs} runs: wall time, peak resident memory of the child process.\n")
        print("\n".join(lines))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        if not args.dir:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
