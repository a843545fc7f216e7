// The event bridge: py_qvi_set_data_callback and the C callback it registers with the SDK.
#pragma once

#include "module/registry.h"

extern "C" {
// The SDK's one event callback: forwards (event, payload) to the module global `f`. Never
// lets an exception reach the SDK. Deliberately not noexcept: a thread that the interpreter
// ends at exit must be able to unwind through it.
void callback_wrapper(const char *event, const char *data, int len);
}

namespace csdk {

// py_qvi_set_data_callback, bound as it is (not through adapt_to_python3).
Definition data_callback_definition();

}  // namespace csdk
