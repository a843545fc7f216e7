"""Reading a large recording: the time and peak resident memory of `summary`, `jsonl` and the
start of a replay, each as a ratio to reading the file's bytes once (sha256 over it in 1 MiB
reads), each in a fresh process.

    .venv/bin/python bench/recording_bench.py [--mb 400] [--operations 500000] [--file PATH]
                                              [--no-jsonl]

The recording is made by the mixed stress run (tests/stress.py) through the recorder in front of
the stand-in (`--operations` of it), then brought to `--mb` megabytes by writing its frames
again and again after it (the same frames, checksums and all; the closing note last): the stress
run alone writes about 9 MB a hundred thousand operations, which would take minutes for a few
hundred MB. An existing `--file` is used as it is. Peak memory is given above that of an
interpreter that imported the reader and did nothing (the baseline row).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "standin", "host")


def make(path, operations, megabytes):
    from qvsdk_standin import recording

    base = path + ".stress"
    env = recording.environment(base, base=os.environ.items())
    env.update(PYTHONPATH=HOST, QVSDK_RECORD_BUFFER=str(1 << 20))
    subprocess.run([sys.executable, os.path.join(ROOT, "tests", "stress.py"), str(operations)],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    with open(base, "rb") as f:
        data = f.read()
    os.unlink(base)
    # The frames between the header and the closing note, and the note.
    at, frames = 48, []
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "little")
        frames.append((at, at + 8 + n))
        at += 8 + n
    body = data[48:frames[-1][0]]
    note = data[frames[-1][0]:]
    with open(path, "wb") as f:
        f.write(data[:48])
        written = 48
        while written + len(body) + len(note) <= megabytes * 1_000_000 or written == 48:
            f.write(body)
            written += len(body)
        f.write(note)


PEAK = """
import sys
with open("/proc/self/status") as status:
    sys.stderr.write(next(l for l in status if l.startswith("VmHWM:")).split()[1])
"""


def measure(code, *args):
    """Seconds and peak resident memory (KiB, the process's own high-water mark) of a fresh
    interpreter running `code`."""
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", code + PEAK, *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=HOST))
    seconds = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {code}\n{proc.stderr}")
    return seconds, int(proc.stderr.split()[-1])


BASELINE = "import qvsdk_standin.recording"
HASH = """
import hashlib, sys
import qvsdk_standin.recording
h = hashlib.sha256()
with open(sys.argv[1], "rb", buffering=0) as f:
    while chunk := f.read(1 << 20):
        h.update(chunk)
"""
SUMMARY = """
import sys
from qvsdk_standin import recording
recording.main(["summary", sys.argv[1]])
"""
JSONL = """
import sys
from qvsdk_standin import recording
recording.write_jsonl(recording.read(sys.argv[1]), sys.stdout)
"""
REPLAY = """
import sys
import qvsdk_standin as sdk
from qvsdk_standin import replaying
r = sdk.replay(sys.argv[1])
print(r._size, "calls planned")
replaying._end()
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=400)
    parser.add_argument("--operations", type=int, default=500_000)
    parser.add_argument("--file")
    parser.add_argument("--no-jsonl", action="store_true")
    args = parser.parse_args()
    tmp = None
    path = args.file
    if path is None or not os.path.exists(path):
        if path is None:
            tmp = tempfile.TemporaryDirectory()
            path = os.path.join(tmp.name, "day.qvrec")
        t = time.perf_counter()
        make(path, args.operations, args.mb)
        print(f"made {path}: {time.perf_counter() - t:.1f} s")
    size = os.path.getsize(path)
    # A first read puts the file in the page cache; every row then reads it from there.
    measure(HASH, path)
    _, base_kib = measure(BASELINE)
    rows = [("read once (sha256)", HASH), ("summary", SUMMARY), ("replay: load the plan", REPLAY)]
    if not args.no_jsonl:
        rows.insert(2, ("jsonl", JSONL))
    print(f"recording {size / 1e6:.0f} MB; interpreter baseline {base_kib / 1024:.0f} MiB peak")
    print(f"{'':<24}{'seconds':>9}{'MB/s':>9}{'ratio':>8}{'peak MiB above':>16}")
    first = None
    for name, code in rows:
        seconds, kib = measure(code, path)
        first = first or seconds
        print(f"{name:<24}{seconds:>9.2f}{size / 1e6 / seconds:>9.0f}{seconds / first:>8.2f}"
              f"{(kib - base_kib) / 1024:>16.1f}")
    if tmp is not None:
        tmp.cleanup()


if __name__ == "__main__":
    main()
