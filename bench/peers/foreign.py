"""Peers through a foreign-function interface: ctypes, and cffi in ABI and API mode.

Each offers the exchange call py_qvi_get_cash_pb_v2(req) over the same stand-in function, with
c_sdk's result ((status, payload) or (status, None), the success status looked up as a global
at call time). Run as a script, it writes the C source of the cffi API-mode module:

    python bench/peers/foreign.py cffi_api_peer.c

Benchmark use only.
"""

import ctypes
import sys

from qv.constant import CSDK_OPERATE_SUCCESS  # noqa: F401  (a global, read at every call)

CDEF = """
int qvi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len);
"""


def via_ctypes(library):
    lib = ctypes.PyDLL(library)
    fn = lib.qvi_get_cash_pb_v2
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p),
                   ctypes.POINTER(ctypes.c_int)]
    c_char_p, c_int, byref, string_at = ctypes.c_char_p, ctypes.c_int, ctypes.byref, ctypes.string_at

    def py_qvi_get_cash_pb_v2(req):
        res, res_len = c_char_p(), c_int()
        status = fn(req, len(req), byref(res), byref(res_len))
        if status == CSDK_OPERATE_SUCCESS:
            return status, string_at(res, res_len.value)
        return status, None

    return py_qvi_get_cash_pb_v2


def _exchange(ffi, lib):
    new, unpack, fn = ffi.new, ffi.unpack, lib.qvi_get_cash_pb_v2

    def py_qvi_get_cash_pb_v2(req):
        res, res_len = new("char *[1]"), new("int *")
        status = fn(req, len(req), res, res_len)
        if status == CSDK_OPERATE_SUCCESS:
            return status, unpack(res[0], res_len[0])
        return status, None

    return py_qvi_get_cash_pb_v2


def via_cffi_abi(library):
    import cffi

    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    return _exchange(ffi, ffi.dlopen(library))


def via_cffi_api():
    import cffi_api_peer

    return _exchange(cffi_api_peer.ffi, cffi_api_peer.lib)


if __name__ == "__main__":
    import cffi

    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    ffi.set_source("cffi_api_peer", '#include "qvsdk/qvsdk.h"')
    ffi.emit_c_code(sys.argv[1])
