"""A first look at c_sdk, run against the stand-in SDK and the stand-in host package."""

import c_sdk
import qvsdk_standin as sdk

print("c_sdk from", c_sdk.__file__)
print("running on Linux:", c_sdk.is_linux(), "/ on Windows:", c_sdk.is_windows())
print("success status of the host package:", c_sdk.CSDK_OPERATE_SUCCESS)

# A snapshot request: the stand-in answers with its function's name and what it received.
status, payload = c_sdk.py_qvi_current("SHSE.600000", "price,volume", True)
print("py_qvi_current ->", status, payload)

# The stand-in can be told to fail; a failing status comes back with no payload.
sdk.set_result("qvi_current_pb", 1001)
print("py_qvi_current (failing) ->", c_sdk.py_qvi_current("SHSE.600000", "price", False))

print("SDK calls made:", [call.name for call in sdk.calls()])
