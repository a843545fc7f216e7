"""The recorder in a live process: crashes, child processes, secrets, file modes, a bypassed
recorder, resource limits and odd settings. Each case runs a small script in a process of its
own with the recorder in front of the stand-in."""

import os
import re
import resource
import signal
import stat
import subprocess
import sys
import textwrap

import pytest

from qvsdk_standin import recording

from conftest import HOST, ROOT

pytestmark = pytest.mark.skipif(not os.path.exists(recording.RECORDER),
                                reason="the recorder is not installed (QVSDK_RECORDER=ON)")

PRELUDE = """\
import os, signal, sys
import c_sdk
import qvsdk_standin as sdk
"""


def run(path, script, *, recorder=True, preexec=None, cwd=None, timeout=120, **env):
    """Runs `script` (after PRELUDE) with the recorder in front of the stand-in, recording to
    `path` (without the recorder when `recorder` is false)."""
    environ = recording.environment(str(path)) if recorder else dict(os.environ)
    environ.update(PYTHONPATH=HOST + os.pathsep + os.path.join(ROOT, "tests"), **env)
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                          capture_output=True, text=True, env=environ, timeout=timeout,
                          preexec_fn=preexec, cwd=cwd)


def frames(rec):
    return [r for r in rec.records if not isinstance(r, recording.Note)]


# ---- durations ----

# Times of different frames are converted from the recorder's clock at a rate refined as the
# session goes: compared across frames, they agree to far better than this.
SKEW = 1_000_000


def test_a_call_records_how_long_the_sdk_took(tmp_path):
    """Every returned call has its duration: a call whose outcome sleeps 20 ms took at least
    that; one whose event's handler sleeps 10 ms holds the event and the handling; and each
    ends before the thread's next call starts (a duration in the clock's ticks, or counting
    the recorder's own work after the call, would reach past it)."""
    path = tmp_path / "timed.qvrec"
    proc = run(path, """
        import time
        def slow(*args):
            time.sleep(0.02)
            return 0
        sdk.set_result("qvi_get_cash_pb_v2", slow)
        sdk.queue_event("tick", b"t")
        sdk.deliver_in("qvi_get_orders_pb", 1)
        c_sdk.py_qvi_set_data_callback(lambda event, data: time.sleep(0.01))
        for _ in range(3):
            c_sdk.py_qvi_get_cash_pb_v2(b"c")
            c_sdk.py_qvi_get_orders(b"o")
            c_sdk.qvi_poll()
    """)
    assert proc.returncode == 0, proc.stderr
    rec = recording.read(path)
    assert rec.version == recording.VERSION == 2
    calls = rec.calls()
    assert len(calls) == 10 and all(c.finished and c.duration_ns >= 0 for c in calls)
    for c in calls:
        if c.function == "qvi_get_cash_pb_v2":
            assert c.duration_ns >= 20_000_000, c
    orders = next(c for c in calls if c.function == "qvi_get_orders_pb")
    [inside] = [e for e in rec.events() if e.parent == orders.seq]
    assert orders.time_ns - SKEW <= inside.time_ns
    assert inside.time_ns + 10_000_000 <= orders.time_ns + orders.duration_ns
    for c, following in zip(calls, calls[1:]):
        assert c.time_ns + c.duration_ns <= following.time_ns + SKEW, (c, following)


# ---- crashes ----

CRASHES = {
    "SIGSEGV": "import ctypes; ctypes.string_at(0)",
    "abort": "os.abort()",
    "SIGKILL": "os.kill(os.getpid(), signal.SIGKILL)",
}


@pytest.mark.parametrize("how", sorted(CRASHES))
def test_a_crash_inside_a_run_keeps_the_session(tmp_path, how):
    """Killed on the third event of a run: every call before, the run's open frame and its
    three events (the third one included: recorded before it was handed on) are in the file."""
    path = tmp_path / "crash.qvrec"
    proc = run(path, f"""
        c_sdk.py_qvi_get_orders(b"before")
        for i in range(5):
            sdk.queue_event("tick", b"t%d" % i)
        seen = []
        def on_event(name, data):
            seen.append(data)
            if len(seen) == 3:
                {CRASHES[how]}
        c_sdk.py_qvi_set_data_callback(on_event)
        c_sdk.py_qvi_run()
        print("not reached")
    """)
    assert proc.returncode != 0 and "not reached" not in proc.stdout
    rec = recording.read(path)
    assert not rec.closed
    assert rec.damage is None or rec.damage.reason.startswith("zeros to the end")
    calls = rec.calls()
    assert [(c.function, c.finished) for c in calls] == [
        ("qvi_get_orders_pb", True), ("qvi_set_event_callback_pb", True), ("qvi_run", False)]
    assert [(e.data, e.parent) for e in rec.events()] == [
        (b"t0", calls[2].seq), (b"t1", calls[2].seq), (b"t2", calls[2].seq)]
    assert "unfinished  qvi_run" in recording.summary(rec)


# ---- child processes ----

def test_a_forked_child_records_nothing_and_never_hangs(tmp_path):
    """The child makes more calls than the parent's window holds, exits normally, and says
    once that it is not recorded; the parent's recording holds the parent's calls only."""
    path = tmp_path / "fork.qvrec"
    proc = run(path, """
        c_sdk.py_qvi_get_orders(b"parent-1")
        pid = os.fork()
        if pid == 0:
            for _ in range(20000):
                c_sdk.py_qvi_get_orders(b"child")
            c_sdk.py_qvi_stop()
            sys.exit(0)
        _, status = os.waitpid(pid, 0)
        c_sdk.py_qvi_get_orders(b"parent-2")
        print(os.waitstatus_to_exitcode(status))
    """, QVSDK_RECORD_BUFFER="4096", timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip() == "0", proc.stderr
    assert proc.stderr.count("is a fork of the process recording to") == 1, proc.stderr
    rec = recording.read(path)
    assert rec.closed and rec.damage is None
    assert [c.args for c in rec.calls()] == [(b"parent-1",), (b"parent-2",)]


SPAWN_CHILD = "c_sdk.py_qvi_get_orders(b'child')"


def test_spawned_children_record_into_files_of_their_own(tmp_path):
    """A child started with the parent's environment (the recorder's own variables in it) and
    one started with a copy taken before the recorder loaded: each records into the parent's
    file name with its process id inserted, and the parent's recording stays whole. A child
    given a file of its own records there."""
    path = tmp_path / "spawn.qvrec"
    proc = run(path, f"""
        import subprocess
        c_sdk.py_qvi_get_orders(b"parent")
        code = {PRELUDE!r} + {SPAWN_CHILD!r}
        inherited = subprocess.Popen([sys.executable, "-c", code])
        copied = subprocess.Popen([sys.executable, "-c", code], env=dict(os.environ))
        os.environ["QVSDK_RECORD_FILE"] += ".own"
        own = subprocess.Popen([sys.executable, "-c", code])
        print(inherited.pid, copied.pid, inherited.wait(), copied.wait(), own.wait())
        c_sdk.py_qvi_get_orders(b"parent-after")
    """)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    pids = proc.stdout.split()[:2]
    assert proc.stdout.split()[2:] == ["0", "0", "0"]
    assert recording.read(f"{path}.own").calls()[0].args == (b"child",)
    rec = recording.read(path)
    assert rec.closed and [c.args for c in rec.calls()] == [(b"parent",), (b"parent-after",)]
    for pid in pids:
        child = recording.read(tmp_path / f"spawn.{pid}.qvrec")
        assert child.closed and child.pid == int(pid)
        assert [c.args for c in child.calls()] == [(b"child",)]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pools_run_as_without_the_recorder(tmp_path, method):
    path = tmp_path / "pool.qvrec"
    proc = run(path, f"""
        import multiprocessing
        from pool_work import work
        if __name__ == "__main__":
            c_sdk.py_qvi_get_orders(b"parent")
            with multiprocessing.get_context({method!r}).Pool(2) as pool:
                print(sum(pool.map(work, range(4))))
    """, QVSDK_RECORD_BUFFER="4096", timeout=120, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout.strip() == str(4 * 3000), proc.stderr
    files = sorted(tmp_path.glob("pool*.qvrec"))
    recs = [recording.read(f) for f in files]
    # Workers ended by the pool (SIGTERM) leave no closing note: their frames are all kept.
    assert all(r.damage is None or r.damage.reason.startswith("zeros to the end") for r in recs)
    parent = recording.read(path)
    assert parent.closed and [c.args for c in parent.calls()] == [(b"parent",)]
    if method == "spawn":  # each worker records into its own file
        assert len(files) > 1 and sum(len(r.calls()) for r in recs) == 1 + 4 * 3000


# ---- secrets and file modes ----

SECRET_SESSION = """
    c_sdk.py_qvi_set_token(b"SECRET-TOKEN-123")
    c_sdk.py_qvi_set_apitoken(b"API-TOKEN-4567")
    c_sdk.py_qvi_set_ctp_md_info(b"tcp://front", b"alice", b"hunter2")
    c_sdk.py_qvi_set_bus_info(b"tcp://bus", b"bob", b"swordfish")
    c_sdk.py_qvi_set_bus_secure(1, b"ca.pem", b"cert.pem", b"-----PRIVATE KEY-----", True)
    print(c_sdk.py_qvi_get_encrypted_token().decode())
"""
SECRETS = [b"SECRET-TOKEN-123", b"API-TOKEN-4567", b"hunter2", b"swordfish",
           b"-----PRIVATE KEY-----"]


def secret_params():
    """(function, argument index, name) of every parameter of the catalogue's functions taking
    individual values, from include/qvsdk/qvsdk.h."""
    with open(os.path.join(ROOT, "include", "qvsdk", "qvsdk.h")) as f:
        text = f.read().replace("\\\n", " ")
    out = []
    for name, params in re.findall(r"X\([^,]+,\s*(\w+),\s*\(([^)]*)\)", text):
        names = [p.split()[-1].lstrip("*") for p in params.split(",") if p.strip() != "void"]
        out += [(name, i, n) for i, n in enumerate(names)]
    return out


def test_the_table_of_secrets_covers_the_catalogue():
    params = secret_params()
    # The parse found the catalogue's parameters.
    assert len(params) > 60 and ("qvi_set_bus_secure", 3, "tlskey") in params
    looks_secret = re.compile(r"token|passw|pwd|key|secret|cred|auth|private", re.I)
    for function, i, name in params:
        if looks_secret.search(name):
            assert i in recording.SECRETS.get(function, ()), (function, name)
    assert set(recording.SECRETS) == {"qvi_set_token", "qvi_set_apitoken", "qvi_set_ctp_md_info",
                                      "qvi_set_bus_info", "qvi_set_bus_secure",
                                      "qvi_get_encrypted_token"}


def test_secrets_are_redacted_by_default_and_kept_on_request(tmp_path):
    path = tmp_path / "secrets.qvrec"
    proc = run(path, SECRET_SESSION)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    token = proc.stdout.strip().encode()
    data = path.read_bytes()
    assert not [s for s in SECRETS + [token] if s in data]
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    rec = recording.read(path)
    calls = {c.function: c for c in rec.calls()}
    assert set(calls) == set(recording.SECRETS)  # every entry of the table is exercised
    for function, where in recording.SECRETS.items():
        for i in where:
            v = calls[function].result if i == "result" else calls[function].args[i]
            assert isinstance(v, recording.Redacted) and v.kind == "text", (function, i, v)
    assert calls["qvi_set_ctp_md_info"].args[:2] == (b"tcp://front", b"alice")
    assert calls["qvi_set_ctp_md_info"].args[2] == recording.Redacted("text", 7)
    assert calls["qvi_get_encrypted_token"].result.length == len(token)
    assert "secrets     none (6 redacted)" in recording.summary(rec)

    kept = tmp_path / "kept.qvrec"
    proc = run(kept, SECRET_SESSION, QVSDK_RECORD_SECRETS="keep")
    assert proc.returncode == 0, proc.stderr
    assert all(s in kept.read_bytes() for s in SECRETS)
    assert "secrets     HELD IN CLEAR (6: " in recording.summary(recording.read(kept))


def test_a_redacted_argument_replays_as_any_value(tmp_path, module_globals):
    import c_sdk
    import qvsdk_standin as sdk

    path = tmp_path / "secrets.qvrec"
    assert run(path, SECRET_SESSION).returncode == 0
    other = SECRET_SESSION.replace("hunter2", "letmein").replace("SECRET-TOKEN-123", "x")
    with sdk.replay(path):
        exec(textwrap.dedent(other), {"c_sdk": c_sdk})
    # Another user name diverges; the message says the password matched as any value.
    with pytest.raises(sdk.ReplayDivergence) as caught:
        with sdk.replay(path):
            exec(textwrap.dedent(other.replace(b"alice".decode(), "mallory")), {"c_sdk": c_sdk})
    message = str(caught.value)
    assert "argument 1: 5 bytes expected, 7 came" in message
    assert "argument 2: a secret, redacted in the recording: matched as any value" in message


@pytest.mark.parametrize("kind", ["existing file", "symlink to a file", "dangling symlink"])
def test_an_existing_name_is_never_truncated_nor_followed(tmp_path, kind):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    path = tmp_path / "session.qvrec"
    if kind == "existing file":
        path.write_bytes(b"precious")
    elif kind == "symlink to a file":
        path.symlink_to(victim)
    else:
        path.symlink_to(tmp_path / "nowhere")
    proc = run(path, "print('ran')")
    assert proc.returncode != 0 and proc.stdout == ""
    assert f"cannot create QVSDK_RECORD_FILE={path}: File exists" in proc.stderr
    assert victim.read_bytes() == b"precious" and not (tmp_path / "nowhere").exists()
    if kind == "existing file":
        assert path.read_bytes() == b"precious"


def test_the_default_name_is_per_process_and_owner_only(tmp_path):
    proc = run(tmp_path / "unused", "c_sdk.py_qvi_get_orders(b'x'); print(os.getpid())",
               QVSDK_RECORD_FILE="", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    path = tmp_path / f"qvsdk-{proc.stdout.strip()}.qvrec"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600 and recording.read(path).closed


# ---- a bypassed recorder ----

def test_a_bypassed_recorder_fails_the_import(tmp_path):
    """The stand-in loaded first takes the SDK's name: c_sdk would run unrecorded."""
    env = recording.environment(str(tmp_path / "x.qvrec"))
    env.update(PYTHONPATH=HOST)
    proc = subprocess.run([sys.executable, "-c", "import qvsdk_standin, c_sdk"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode != 0
    assert "ImportError: c_sdk: recording was asked for (QVSDK_RECORD_TARGET=" in proc.stderr
    assert "not from the recorder" in proc.stderr and "import c_sdk before" in proc.stderr


def test_env_fails_without_a_recorder(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(recording, "RECORDER", str(tmp_path / "missing" / "libqvsdk.so"))
    assert recording.main(["env", str(tmp_path / "x.qvrec")]) == 1
    out = capsys.readouterr()
    assert out.out == "" and "the recorder is not installed" in out.err


# ---- limits: memory, threads, file size ----

# AddressSanitizer reserves terabytes of address space for its shadow: no limit on the address
# space leaves it room to start.
needs_address_space_limit = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="an address-space limit leaves AddressSanitizer no room for its shadow memory")

BIG_RESPONSE = """
    N = 96 << 20
    sdk.set_response("qvi_get_orders_pb", b"", length=N)
    import resource
    def vm(field):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith(field)) * 1024
    before = vm("VmSize:")
    if "EXTRA" in os.environ:
        limit = before + int(os.environ["EXTRA"])
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    for _ in range(3):
        try:
            status, data = c_sdk.py_qvi_get_orders(b"big")
            print(status, len(data))
            del data
        except MemoryError:
            print("MemoryError")
    sdk.set_response("qvi_get_orders_pb", b"small")
    print(c_sdk.py_qvi_get_orders(b"small"))
    print("needed", vm("VmPeak:") - before, file=sys.stderr)
"""


@needs_address_space_limit
@pytest.mark.parametrize("room", ["for the call", "for less than the response"])
def test_a_response_the_process_cannot_hold_changes_no_result(tmp_path, room):
    """Under an address-space limit, the recorder changes no call's result and ends nothing:
    with room for the call alone (the SDK's response and the module's copy), the recorder's
    frame takes room only while it is stored; with less room than a copy of the response, the
    module raises MemoryError and the recorder leaves the frame out, with a note."""
    path = tmp_path / "big.qvrec"
    measured = run(path, BIG_RESPONSE, recorder=False)
    needed = int(measured.stderr.split()[-1])
    extra = needed + (16 << 20) if room == "for the call" else (96 << 20) // 2
    alone = run(path, BIG_RESPONSE, recorder=False, EXTRA=str(extra))
    recorded = run(path, BIG_RESPONSE, EXTRA=str(extra))
    assert alone.returncode == 0, alone.stderr
    big = "0 100663296" if room == "for the call" else "MemoryError"
    assert alone.stdout.splitlines() == [big] * 3 + ["(0, b'small')"]
    assert recorded.returncode == 0 and recorded.stdout == alone.stdout, recorded.stderr
    rec = recording.read(path)
    assert rec.closed and rec.calls()[-1].args == (b"small",)
    notes = [n for n in rec.records if isinstance(n, recording.Note)
             and n.code == recording.NOTE_LEFT_OUT]
    kept = [c for c in rec.calls() if c.args == (b"big",)]
    assert len(notes) + len(kept) == 3
    if room == "for less than the response":
        assert len(notes) == 3
        assert b"qvi_get_orders_pb (sequence 1): its frame of 100663" in notes[0].message
        assert b"bytes is left out: the file cannot take it" in notes[0].message
        assert "left out    qvi_get_orders_pb (sequence 2)" in recording.summary(rec)


def huge_thread_stacks():
    """In the child, before exec: every new thread asks for a 3 GiB stack, which the address
    space limit refuses; the interpreter itself starts no thread."""
    resource.setrlimit(resource.RLIMIT_STACK, (3 << 30, 3 << 30))
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@needs_address_space_limit
def test_a_writer_thread_that_cannot_start_fails_at_load(tmp_path):
    proc = run(tmp_path / "t.qvrec", "print('ran')", preexec=huge_thread_stacks)
    assert proc.returncode != 0 and proc.stdout == ""
    assert "qvsdk recorder: cannot start the recorder's writer thread: " in proc.stderr


def small_files():
    resource.setrlimit(resource.RLIMIT_FSIZE, (40000, 40000))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def test_a_file_size_limit_stops_the_recording_saying_what_it_holds(tmp_path):
    path = tmp_path / "limited.qvrec"
    proc = run(path, """
        for i in range(2000):
            c_sdk.py_qvi_get_orders(b"%d" % i)
        print("done")
    """, preexec=small_files, QVSDK_RECORD_BUFFER="4096")
    assert proc.returncode == 0 and proc.stdout.strip() == "done", proc.stderr
    said = re.search(r"recording stopped; the file holds (\d+) frames \((\d+) bytes\)",
                     proc.stderr)
    assert said, proc.stderr
    rec = recording.read(path)
    assert len(frames(rec)) == int(said[1]) and rec.good_size == int(said[2])
    assert rec.records[-1].code == recording.NOTE_WRITE_FAILED
    assert b"File too large" in rec.records[-1].message


# ---- odd settings ----

@pytest.mark.parametrize("variable, value", [
    ("QVSDK_RECORD_BUFFER", "-1"), ("QVSDK_RECORD_BUFFER", "abc"),
    ("QVSDK_RECORD_BUFFER", "0x10000"), ("QVSDK_RECORD_BUFFER", "99999999999999999999999"),
    ("QVSDK_RECORD_BUFFER", "1073741825"), ("QVSDK_RECORD_BUFFER", " 4096"),
    ("QVSDK_RECORD_SECRETS", "yes"),
])
def test_odd_settings_are_refused_by_name(tmp_path, variable, value):
    proc = run(tmp_path / "x.qvrec", "print('ran')", **{variable: value})
    assert proc.returncode != 0 and proc.stdout == ""
    assert proc.stderr.startswith(f"qvsdk recorder: {variable}={value} is not ")
    assert not (tmp_path / "x.qvrec").exists()


def test_unloading_the_recorder_closes_its_recording(tmp_path):
    """dlclose runs the recorder's destructors: the closing note is written and the file cut at
    its last frame (nothing in the library may keep it loaded)."""
    path = tmp_path / "unload.qvrec"
    env = recording.environment(str(path))
    code = f"""
import _ctypes, ctypes
lib = ctypes.CDLL({recording.RECORDER!r})
lib.qvi_init()
_ctypes.dlclose(lib._handle)
print(open({str(path)!r}, "rb").read()[:8])
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip() == "b'QVSDKREC'", proc.stderr
    rec = recording.read(path)
    assert rec.closed and [c.function for c in rec.calls()] == ["qvi_init"]
