#!/usr/bin/env python3
"""Writes stubs/c_sdk.pyi, the type stubs of c_sdk, from the tables that define the module, and
the stand-in's map from each c_sdk function to the SDK function it calls
(standin/python/qvsdk_standin/_names.py).

Nothing here lists the module's functions a second time. They come from:

  include/qvsdk/qvsdk.h          the SDK's C prototypes (the catalogue) and the call shapes
  src/calls/*.cpp                Member{"py_name", exchange(sdk_fn), adapted} rows
  src/wrappers/*.cpp             Wrapper{"py_name", {"param", ...}, fn, options} rows
  src/module/binding_order.cpp   the order of binding, decorated or plain
  src/records/records.cpp        the record classes, their methods and fields

A parameter's type follows the C type that its converter takes (and, for a function bound
through adapt_to_python3, text also takes str); the result follows the C result. What no table
can say (the helpers, the event callable, the module globals, the methods of the records) is
typed below, and the parameter names given here are checked against the sources.

    tools/stubgen.py           rewrite stubs/c_sdk.pyi and the stand-in's _names.py
    tools/stubgen.py --check   fail if either is not what the sources give
"""

from __future__ import annotations

import argparse
import difflib
import pathlib
import re
import sys
from dataclasses import dataclass, field

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUTPUT = ROOT / "stubs" / "c_sdk.pyi"
NAMES_OUTPUT = ROOT / "standin" / "python" / "qvsdk_standin" / "_names.py"

BYTES = "bytes | bytearray"
TEXT = "str | bytes | bytearray"
REPLY = "tuple[int, bytes | None]"

# The Python type a C parameter's converter accepts, and the Python type a C result becomes.
PARAM_TYPES = {
    "const char *": BYTES,
    "RequestArg": BYTES,
    "int": "SupportsInt",
    "double": "SupportsFloat | SupportsIndex",
    "bool": "object",
}
RESULT_TYPES = {
    "void": "None",
    "int": "int",
    "long long": "int",
    "double": "float",
    "const char *": "bytes",
    "Reply": REPLY,
    "TextReply": "bytes | None",
}
SHAPE_RESULTS = {"exchange": REPLY, "command": "int", "fetch": REPLY}
SHAPE_PROTOTYPES = {
    "exchange": "int {}(const char *req, int req_len, char **res, int *res_len)",
    "command": "int {}(const char *req, int req_len)",
    "fetch": "int {}(char **res, int *res_len)",
}

# Functions whose types no table gives: parameters (name, annotation) and the result. The
# names are checked against the Signature each is defined with.
HAND_TYPED = {
    "is_windows": ([], "bool"),
    "is_linux": ([], "bool"),
    "adapt_to_python3": ([("func", "Callable[..., _T]")], "Callable[..., _T]"),
    "c_status_ok": ([("status", "object")], "bool"),
    "c_status_fail": ([("status", "object"), ("cfunname", "object = ''")], "bool"),
    "py_qvi_set_data_callback": ([("pythonf", "Callable[[str, bytes], object]")], "None",
                                 "qvi_set_event_callback_pb"),
}

# The record classes' methods, by name: their parameters besides self (names checked against
# records.cpp) with annotations, and their results.
RECORD_METHODS = {
    "__init__": ({"data": "_Mapping"}, "None"),
    "__getitem__": ({"item": "Any"}, "Any"),
    "__setitem__": ({"item": "Any", "value": "Any"}, "None"),
    "__contains__": ({"key": "object"}, "bool"),
    "__getattr__": ({"item": "str"}, "Any"),
    "__setattr__": ({"item": "str", "value": "Any"}, "None"),
    "__str__": ({}, "str"),
    "__repr__": ({}, "str"),
}

HEADER = '''\
# Type stubs of c_sdk, written by tools/stubgen.py from the tables that define the module.
# Do not edit: change the tables and run tools/stubgen.py.
#
# Text parameters take bytes or bytearray; a function bound through adapt_to_python3 also takes
# str (ASCII). Integer parameters are C ints (anything with __int__, within 32 bits), real
# parameters C doubles, flags the truth value of any object. Results that carry a response are
# (status, payload) on success and (status, None) otherwise.

import functools as functools
import platform as platform
from collections.abc import Callable
from typing import Any, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

_T = TypeVar("_T")

class _Logger(Protocol):
    def debug(self, msg: str, /) -> object: ...

# What a record reads its entries through: item writes need __setitem__ as well, and the bar's
# membership test the `in` operator.
class _Mapping(Protocol):
    def get(self, key: Any, /) -> Any: ...

CSDK_OPERATE_SUCCESS: int
qvsdklogger: _Logger
IS_PY2: bool
IS_PY3: bool
__test__: dict[str, Any]
# The callable that py_qvi_set_data_callback registered; unbound until then.
f: Callable[[str, bytes], object]
'''


class SourceError(Exception):
    pass


def strip_comments(text: str) -> str:
    """C++ text without its comments; string literals are kept whole."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c == '"' or c == "'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
            out.append(" ")
        else:
            out.append(c)
            i += 1
    return "".join(out)


def matching(text: str, start: int) -> int:
    """The index just past the bracket that closes the one at `start`."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    stack, i = [], start
    while i < len(text):
        c = text[i]
        if c == '"':
            i = matching_quote(text, i)
        elif c in pairs:
            stack.append(pairs[c])
        elif c in ")]}":
            if not stack or stack.pop() != c:
                raise SourceError(f"unbalanced {c!r} near {text[start:start + 60]!r}")
            if not stack:
                return i + 1
        i += 1
    raise SourceError(f"unclosed bracket near {text[start:start + 60]!r}")


def split_top(text: str) -> list[str]:
    """`text` split at the commas outside brackets and strings."""
    parts, depth, i, last = [], 0, 0, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            i = matching_quote(text, i)
        elif text.startswith("fills<", i):  # fills<A, B>(fn): its template arguments
            i = text.index(">", i)
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[last:i].strip())
            last = i + 1
        i += 1
    tail = text[last:].strip()
    if tail:
        parts.append(tail)
    return parts


def matching_quote(text: str, i: int) -> int:
    j = i + 1
    while text[j] != '"':
        j += 2 if text[j] == "\\" else 1
    return j


def strings(text: str) -> list[str]:
    return re.findall(r'"([^"\\]*)"', text)


def c_params(text: str) -> list[tuple[str, str]]:
    """(type, name) of a C parameter list such as `const char *symbol, double price`."""
    text = " ".join(text.split())
    if text in ("", "void"):
        return []
    params = []
    for p in split_top(text):
        m = re.fullmatch(r"(.*?)\s*\b(\w+)", p)
        if not m:
            raise SourceError(f"cannot read the C parameter {p!r}")
        params.append((normalise(m.group(1)), m.group(2)))
    return params


def normalise(ctype: str) -> str:
    ctype = " ".join(ctype.replace("*", " *").split())
    return ctype.replace("* *", "**")


@dataclass
class Prototype:
    result: str
    name: str
    params: list[tuple[str, str]]

    def text(self) -> str:
        args = ", ".join(f"{t}{'' if t.endswith('*') else ' '}{n}" for t, n in self.params)
        sep = "" if self.result.endswith("*") else " "
        return f"{self.result}{sep}{self.name}({args or 'void'})"


@dataclass
class Function:
    name: str
    params: list[tuple[str, str]]  # (name, annotation)
    result: str
    doc: str | None = None
    sdk: str | None = None  # the SDK function it calls


@dataclass
class Record:
    name: str
    methods: list[str]
    fields: list[str]
    writable: bool


@dataclass
class Sources:
    catalogue: dict[str, Prototype] = field(default_factory=dict)
    order: list[str] = field(default_factory=list)  # the catalogue's order
    shapes: dict[str, str] = field(default_factory=dict)  # SDK function -> call shape
    functions: dict[str, Function] = field(default_factory=dict)  # by attribute
    adapted: dict[str, bool] = field(default_factory=dict)  # members' own marks
    bindings: list[tuple[str, bool]] = field(default_factory=list)
    helpers: list[str] = field(default_factory=list)
    directs: list[str] = field(default_factory=list)
    signatures: dict[str, list[str]] = field(default_factory=dict)  # hand-written Signatures
    records: list[Record] = field(default_factory=list)
    method_params: dict[str, list[str]] = field(default_factory=dict)


def macro_body(text: str, name: str) -> str:
    m = re.search(rf"#define {name}\(X\)(.*?)(?:\n\s*\n|\n#)", text, re.S)
    if not m:
        raise SourceError(f"qvsdk.h: no catalogue {name}")
    return m.group(1).replace("\\\n", " ")


def read_catalogue(src: Sources) -> None:
    text = strip_comments((ROOT / "include/qvsdk/qvsdk.h").read_text())
    for shape in ("exchange", "command", "fetch"):
        for name in re.findall(r"X\((\w+)\)", macro_body(text, f"QVSDK_{shape.upper()}_FUNCTIONS")):
            src.shapes[name] = shape
    body = macro_body(text, "QVSDK_VALUE_FUNCTIONS")
    for m in re.finditer(r"\bX\(", body):
        inner = body[m.end() : matching(body, m.end() - 1) - 1]
        result, name, params, _args = split_top(inner)
        src.catalogue[name] = Prototype(normalise(result), name, c_params(params.strip()[1:-1]))
    src.order = list(src.shapes) + list(src.catalogue)
    for name, shape in src.shapes.items():
        proto = SHAPE_PROTOTYPES[shape].format(name)
        m = re.fullmatch(r"(\w+) (\w+)\((.*)\)", proto)
        src.catalogue[name] = Prototype(m.group(1), name, c_params(m.group(3)))


def read_members(src: Sources) -> None:
    row = re.compile(r'Member\{\s*"(\w+)"\s*,\s*(exchange|command|fetch)\(\s*(\w+)\s*\)\s*,'
                     r"\s*(adapted|plain)\s*\}")
    for path in sorted((ROOT / "src/calls").glob("*.cpp")):
        for name, shape, sdk_fn, binding in row.findall(strip_comments(path.read_text())):
            if src.shapes.get(sdk_fn) != shape:
                raise SourceError(f"{path.name}: {name} calls {sdk_fn}, not a {shape} call")
            params = [] if shape == "fetch" else [("req", BYTES)]
            doc = src.catalogue[sdk_fn].text()
            add(src, Function(name, params, SHAPE_RESULTS[shape], doc, sdk_fn), path)
            src.adapted[name] = binding == "adapted"


def add(src: Sources, fn: Function, path: pathlib.Path) -> None:
    if fn.name in src.functions:
        raise SourceError(f"{path.name}: {fn.name} is defined twice")
    src.functions[fn.name] = fn


def read_wrappers(src: Sources) -> None:
    for path in sorted((ROOT / "src/wrappers").glob("*.cpp")):
        text = strip_comments(path.read_text())
        orders = {m.group(1): [int(v) for v in m.group(2).split(",")]
                  for m in re.finditer(r"int (\w+)\[\]\s*=\s*\{([^}]*)\}", text)}
        for m in re.finditer(r"\bWrapper\{", text):
            inner = text[m.end() : matching(text, m.end() - 1) - 1]
            add(src, wrapper_row(src, split_top(inner), orders, path), path)
        for m in re.finditer(r'\bSignature\s+\w+\{\s*"(\w+)"\s*(?:,\s*\{([^}]*)\})?\s*\}', text):
            src.signatures[m.group(1)] = strings(m.group(2) or "")


def wrapper_row(src: Sources, parts: list[str], orders: dict[str, list[int]],
                path: pathlib.Path) -> Function:
    name = strings(parts[0])[0]
    names = strings(parts[1]) if parts[1].startswith("{") else []
    rest = parts[2:] if parts[1].startswith("{") else parts[1:]
    fn, options = rest[0], rest[1:]
    filled = re.fullmatch(r"fills<[^>]*>\((\w+)\)", fn)
    if re.fullmatch(r"\w+", fn) or filled:  # the SDK function itself
        called = filled.group(1) if filled else fn
        proto = src.catalogue.get(called)
        if proto is None:
            raise SourceError(f"{path.name}: {name} calls {called}, which qvsdk.h does not declare")
        ctypes, result = [t for t, _ in proto.params], proto.result
        if filled:  # its trailing (char **res, int *res_len) make the reply
            ctypes, result = ctypes[:-2], "Reply"
    else:  # a lambda around one
        m = re.match(r"\+?\[\]\s*\(", fn)
        if not m:
            raise SourceError(f"{path.name}: cannot read the function of {name}: {fn[:40]!r}")
        close = matching(fn, m.end() - 1)
        ctypes = [t for t, _ in c_params(fn[m.end() : close - 1])]
        body = fn[close:]
        returned = re.search(r"\b(TextReply|Reply)\s+\w+\s*\{", body)
        result = returned.group(1) if returned else ("void" if "return" not in body else None)
        calls = [c for c in re.findall(r"\b(\w+)\s*\(", body) if c in src.catalogue]
        if result is None or len(calls) != 1:
            raise SourceError(f"{path.name}: cannot tell what the lambda of {name} returns or calls")
        called = calls[0]
    if len(ctypes) != len(names):
        raise SourceError(f"{path.name}: {name} names {len(names)} parameters for "
                          f"{len(ctypes)} C parameters")
    order = list(range(len(names)))
    for option in options:
        if (m := re.search(r"\.order\s*=\s*(\w+)", option)) is not None:
            order = orders[m.group(1)]
    types = [""] * len(names)
    for c_index, py_index in enumerate(order):  # C parameter k takes Python parameter order[k]
        if ctypes[c_index] not in PARAM_TYPES:
            raise SourceError(f"{path.name}: {name}: no Python type for C {ctypes[c_index]!r}")
        types[py_index] = PARAM_TYPES[ctypes[c_index]]
    if result not in RESULT_TYPES:
        raise SourceError(f"{path.name}: {name}: no Python type for the C result {result!r}")
    return Function(name, list(zip(names, types)), RESULT_TYPES[result],
                    src.catalogue[called].text(), called)


def read_binding_order(src: Sources) -> None:
    text = strip_comments((ROOT / "src/module/binding_order.cpp").read_text())
    src.bindings = [(n, b == "decorated")
                    for n, b in re.findall(r'\{\s*"(\w+)"\s*,\s*(decorated|plain)\s*\}', text)]

    def names_of(array: str) -> list[str]:
        m = re.search(rf"{array}\[\]\s*=\s*\{{(.*?)\}};", text, re.S)
        if not m:
            raise SourceError(f"binding_order.cpp: no {array}[]")
        return strings(m.group(1))

    src.helpers, src.directs = names_of("helpers"), names_of("directs")
    for path in (ROOT / "src/module").glob("*.cpp"):
        body = strip_comments(path.read_text())
        for m in re.finditer(r'\bSignature\s+\w+\{\s*"(\w+)"\s*(?:,\s*\{([^}]*)\})?\s*\}', body):
            src.signatures[m.group(1)] = strings(m.group(2) or "")


def read_records(src: Sources) -> None:
    text = strip_comments((ROOT / "src/records/records.cpp").read_text())

    def array(name: str) -> str:
        m = re.search(rf"\b{name}\[\w*\](?:\[\d+\])?\s*=\s*\{{", text)
        if not m:
            raise SourceError(f"records.cpp: no {name}[]")
        return text[m.end() - 1 : matching(text, m.end() - 1)]

    enum = re.search(r"enum Method\s*\{([^}]*)\}", text)
    methods = [m.strip() for m in enum.group(1).split(",")]
    method_names = strings(array("method_names"))
    params = [strings(p) for p in split_top(array("method_params")[1:-1])]
    for m, pyname, ps in zip(methods, method_names, params, strict=True):
        src.method_params[m] = [pyname] + ps
    specs = array("specs")
    for spec in split_top(specs[1:-1]):
        name, methods_text, fields_text, writable = split_top(spec.strip()[1:-1])
        src.records.append(Record(strings(name)[0], re.findall(r"\w+", methods_text),
                                  strings(fields_text), writable == "true"))


def check(src: Sources) -> None:
    bound = {n for n, _ in src.bindings}
    defined = set(src.functions) | set(HAND_TYPED)
    for name in [n for n, _ in src.bindings] + src.helpers + src.directs:
        if name not in defined:
            raise SourceError(f"{name} is bound but defined nowhere")
    for name in set(src.functions) - bound - set(src.directs):
        raise SourceError(f"{name} is defined but never bound")
    for name, decorated in src.bindings:
        if name in src.adapted and src.adapted[name] != decorated:
            raise SourceError(f"{name}: its table and the order of binding disagree")
    for name, (params, *_) in HAND_TYPED.items():
        if src.signatures.get(name) != [p for p, _ in params]:
            raise SourceError(f"{name}: the sources give the parameters "
                              f"{src.signatures.get(name)}, the stubs {[p for p, _ in params]}")


def function_stub(fn: Function, decorated: bool) -> list[str]:
    params = []
    for name, annotation in fn.params:
        params.append(f"{name}: {TEXT if decorated and annotation == BYTES else annotation}")
    head = f"def {fn.name}({', '.join(params)}) -> {fn.result}:"
    if len(head) > 96:
        head = f"def {fn.name}(\n" + "".join(f"    {p},\n" for p in params) + f") -> {fn.result}:"
    if fn.doc is None:
        return [head + " ..."]
    return [head, f'    """{fn.doc}"""']


def hand_typed(src: Sources, name: str) -> Function:
    params, result, *called = HAND_TYPED[name]
    if not called:
        return Function(name, params, result)
    return Function(name, params, result, src.catalogue[called[0]].text(), called[0])


def record_stub(src: Sources, record: Record) -> list[str]:
    lines = [f"class {record.name}:", "    data: _Mapping"]
    for m in record.methods:
        pyname, *names = src.method_params[m]
        annotations, result = RECORD_METHODS[pyname]
        if list(annotations) != names:
            raise SourceError(f"{record.name}.{pyname}: the sources give the parameters {names}")
        params = "".join(f", {p}: {annotations[p]}" for p in names)
        lines.append(f"    def {pyname}(self{params}) -> {result}: ...")
    for f in record.fields:
        lines += ["    @property", f"    def {f}(self) -> Any: ..."]
        if record.writable:
            lines += [f"    @{f}.setter", f"    def {f}(self, value: Any) -> None: ..."]
    return lines


def render(src: Sources) -> str:
    out = [HEADER, "# The record classes, in the order of creation.", ""]
    for record in src.records:
        out += record_stub(src, record) + [""]
    out += ["# Helpers.", ""]
    out += [line for name in src.helpers for line in function_stub(hand_typed(src, name), False)]
    out += ["", "# The SDK wrappers, in the order of binding; each calls the C function named.", ""]
    for name, decorated in src.bindings:
        fn = src.functions.get(name) or hand_typed(src, name)
        out += function_stub(fn, decorated)
    out += ["", "# SDK functions under their own names (text as bytes or bytearray only).", ""]
    for name in src.directs:
        out += function_stub(src.functions[name], False)
    return "\n".join(out) + "\n"


NAMES_HEADER = '''\
"""Which SDK function each c_sdk function calls, as the tables that define c_sdk say.

Written by tools/stubgen.py. Do not edit: change the tables and run tools/stubgen.py.
"""

from typing import Final
'''


def render_names(src: Sources) -> str:
    """The stand-in's data module: the catalogue, and each c_sdk function with its SDK function
    (the wrappers in the order of binding, then the SDK functions exposed under their own
    names); the helpers call none of their own."""
    calling = [src.functions.get(n) or hand_typed(src, n) for n, _ in src.bindings]
    calling += [src.functions[n] for n in src.directs]
    for fn in calling:
        if fn.sdk is None:
            raise SourceError(f"{fn.name}: no SDK function")
    out = [NAMES_HEADER, "# The SDK's functions, in the order of its catalogue.",
           "FUNCTIONS: Final[tuple[str, ...]] = ("]
    out += [f'    "{n}",' for n in src.order]
    out += [")", "", "# Each c_sdk function that calls an SDK function, with that function.",
            "SDK_FUNCTIONS: Final[dict[str, str]] = {"]
    out += [f'    "{fn.name}": "{fn.sdk}",' for fn in calling]
    out += ["}", "", "# The helpers, which call no SDK function of their own.",
            "HELPERS: Final[tuple[str, ...]] = ("]
    out += [f'    "{n}",' for n in src.helpers]
    return "\n".join(out + [")"]) + "\n"


def generate() -> dict[pathlib.Path, str]:
    src = Sources()
    read_catalogue(src)
    read_members(src)
    read_wrappers(src)
    read_binding_order(src)
    read_records(src)
    check(src)
    return {OUTPUT: render(src), NAMES_OUTPUT: render_names(src)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the committed stubs instead of writing them")
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT)
    args = parser.parse_args()
    try:
        outputs = generate()
    except SourceError as e:
        print(f"stubgen: {e}", file=sys.stderr)
        return 2
    outputs[args.output] = outputs.pop(OUTPUT)
    stale = 0
    for path, text in outputs.items():
        if not args.check:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            continue
        current = path.read_text() if path.exists() else ""
        if current != text:
            sys.stdout.writelines(difflib.unified_diff(
                current.splitlines(True), text.splitlines(True), str(path), "generated"))
            print(f"\n{path} is out of date: run tools/stubgen.py", file=sys.stderr)
            stale = 1
    return stale


if __name__ == "__main__":
    import signal

    # Quiet in a closed pipe (`... | head`): end by SIGPIPE as Unix tools do, no traceback.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
