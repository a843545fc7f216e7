"""Checks that calling a function many times leaks nothing.

Used for every wrapper, on its success and its error paths: the interpreter's count of
allocated memory blocks and the reference counts of the arguments must come back to where they
were after thousands of calls. A leaked object, a leaked reference to an argument, or a leaked
buffer of a response all show up as growth proportional to the number of calls.
"""

import gc
import sys


def _run(fn, args, kwargs, expect, n):
    for _ in range(n):
        try:
            fn(*args, **kwargs)
        except expect:
            pass


def assert_no_leak(fn, *args, expect=(), calls=2000, **kwargs):
    """Calls fn(*args, **kwargs) `calls` times after a warm-up; exceptions of the types in
    `expect` are part of the path under test. Fails if memory blocks or the arguments'
    reference counts grow with the number of calls."""
    expect = expect if isinstance(expect, tuple) else (expect,)
    watched = list(args) + list(kwargs.values())
    _run(fn, args, kwargs, expect, 200)  # warm-up: caches, interned strings, free lists
    gc.collect()
    refs = [sys.getrefcount(a) for a in watched]
    blocks = sys.getallocatedblocks()
    _run(fn, args, kwargs, expect, calls)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    # A leak of one block per call grows by `calls`; allow some noise from the interpreter.
    assert grown < calls // 10, f"{grown} memory blocks more after {calls} calls"
    assert [sys.getrefcount(a) for a in watched] == refs, "references to the arguments leaked"
