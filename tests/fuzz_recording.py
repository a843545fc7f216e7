"""The fuzz test of the recording parser: valid recordings mutated (lengths, counts, kinds, tags,
sizes; checksums recomputed so that the mutation reaches the parser) and fed to read(), the
summary, the JSON Lines export and replay. Each must end in a result or a RecordingError, and a
replay must hand out only bytes the file holds; never a crash, a hang or an over-read.

    python tests/fuzz_recording.py       (CSDK_EXAMPLES examples, default 150)

Run as a process of its own by tests/test_recording_input.py, so that a crash ends it and not
the test session; under the sanitizers by scripts/test and scripts/test (ten times the
examples in scripts/stress).
"""

import atexit
import os
import shutil
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import forged_recordings as fr  # noqa: E402

# Format 2 complete and with a torn tail; format 1 complete.
BASES = [fr.session(2), fr.session(2)[:-40], fr.session(1)]
INTERESTING = [0, 1, 2, 3, 4, 31, 32, 33, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32 - 1]

u32_at = st.tuples(st.just("u32"), st.integers(0, 200),
                   st.one_of(st.sampled_from(INTERESTING), st.integers(0, 2**32 - 1)))
u8_at = st.tuples(st.just("u8"), st.integers(0, 200),
                  st.one_of(st.integers(0, 12), st.integers(0, 255)))
cut = st.tuples(st.just("cut"), st.integers(0, 200), st.integers(1, 9))
insert = st.tuples(st.just("insert"), st.integers(0, 200), st.binary(min_size=1, max_size=9))
mutation = st.tuples(st.integers(0, 10), st.one_of(u32_at, u8_at, cut, insert))


def mutate(data, mutations):
    """Applies each mutation inside a frame (frame number modulo the count, position modulo the
    frame's length past its size field), keeping the size field true for cuts and inserts, then
    reseals every frame's checksum."""
    data = bytearray(data)
    for which, (op, at, arg) in mutations:
        spans = fr.frames(bytes(data))
        if not spans:
            break
        start, size = spans[which % len(spans)]
        end = min(len(data), start + 4 + size)
        at = start + at % max(1, end - start)
        if op == "u32":
            data[at:at + 4] = struct.pack("<I", arg)[:len(data[at:at + 4])]
        elif op == "u8":
            data[at] = arg
        elif op == "cut" and at >= start + 4:
            n = min(arg, end - at)
            del data[at:at + n]
            data[start:start + 4] = struct.pack("<I", max(0, size - n))
        elif op == "insert" and at >= start + 4:
            data[at:at] = arg
            data[start:start + 4] = struct.pack("<I", size + len(arg))
    return fr.reseal(bytes(data))


TMP = tempfile.mkdtemp(prefix="fuzz-recording-")
atexit.register(shutil.rmtree, TMP, ignore_errors=True)
COUNT = [0]


@settings(max_examples=int(os.environ.get("CSDK_EXAMPLES", "150")), derandomize=True,
          deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(range(len(BASES))), st.lists(mutation, min_size=1, max_size=4))
def test_mutated_recording(base, mutations):
    data = mutate(BASES[base], mutations)
    path = os.path.join(TMP, "mutated.qvrec")
    with open(path, "wb") as f:
        f.write(data)
    outcome = fr.check(path)
    COUNT[0] += 1
    assert "Traceback" not in outcome


if __name__ == "__main__":
    test_mutated_recording()
    print(f"{COUNT[0]} mutated recordings read, summarised, exported, replayed and market-replayed")
