// Control API of the stand-in library, used by its Python control module (qvsdk_standin).
#pragma once

#include "qvsdk/qvsdk.h"

// The control API is what marks this library as the stand-in: a c_sdk built for the vendor's
// library refuses to run over a library that exports it. Built with STANDIN_NO_CONTROL, the
// library exports the SDK's functions only, as the vendor's does (to check such a build here).
#if defined(STANDIN_NO_CONTROL)
#define STANDIN_CONTROL_API
#else
#define STANDIN_CONTROL_API QVSDK_API
#endif

#define STANDIN_RESPONSE_DEFAULT 0    // answer with the function's name and its arguments
#define STANDIN_RESPONSE_DATA 1       // answer with the programmed bytes and reported length
#define STANDIN_RESPONSE_NULL 2       // answer with a NULL pointer and the reported length
#define STANDIN_RESPONSE_UNTOUCHED 3  // write neither out-parameter

// Counters of standin_counter, kept since the library was loaded.
#define STANDIN_EVENTS_DELIVERED 0  // events handed to the registered callback
#define STANDIN_EVENTS_DROPPED 1    // events taken from the queue with no callback registered
#define STANDIN_RUNS_STOPPED 2      // qvi_run calls that returned because qvi_stop was called
#define STANDIN_RUNS_DRAINED 3      // qvi_run calls that returned because the queue ran empty

// Decides the outcome of one call (standin.cpp says when it is called and how it decides).
typedef int (*standin_outcome_hook)(int id, int call_index, const void *call);

extern "C" {
STANDIN_CONTROL_API void standin_reset(void);
STANDIN_CONTROL_API int standin_function_count(void);
STANDIN_CONTROL_API const char *standin_function_name(int id);
STANDIN_CONTROL_API int standin_function_id(const char *name);
STANDIN_CONTROL_API int standin_function_result(int id);
STANDIN_CONTROL_API void standin_journal_enable(int on);
STANDIN_CONTROL_API void standin_journal_clear(void);
STANDIN_CONTROL_API int standin_journal_size(void);
STANDIN_CONTROL_API int standin_journal_function(int i);
STANDIN_CONTROL_API int standin_journal_argc(int i);
STANDIN_CONTROL_API int standin_journal_recorded(int i);
STANDIN_CONTROL_API int standin_journal_arg(int i, int j, const char **bytes,
                                            long long *size_or_integer, double *real);
STANDIN_CONTROL_API int standin_call_argc(const void *call);
STANDIN_CONTROL_API int standin_call_arg(const void *call, int j, const char **bytes,
                                         long long *size_or_integer, double *real);
STANDIN_CONTROL_API int standin_call_count(int id);
STANDIN_CONTROL_API void standin_set_outcome_hook(int id, standin_outcome_hook hook);
STANDIN_CONTROL_API void standin_set_status(int id, int status);
STANDIN_CONTROL_API void standin_set_wide(int id, long long value);
STANDIN_CONTROL_API void standin_set_real(int id, double value);
STANDIN_CONTROL_API void standin_set_response(int id, const char *data, int size, int reported_len,
                                              int mode);
STANDIN_CONTROL_API void standin_set_text(int id, const char *text, int size, int is_null);
STANDIN_CONTROL_API void standin_deliver_in(int id, int count);
STANDIN_CONTROL_API void standin_queue_event(const char *event, int event_size, const char *data,
                                             int data_size, int reported_len);
STANDIN_CONTROL_API int standin_queued_events(void);
STANDIN_CONTROL_API int standin_deliver(int count);
STANDIN_CONTROL_API void standin_deliver_from_thread(int count);
STANDIN_CONTROL_API void standin_join_threads(void);
STANDIN_CONTROL_API void standin_request_stop(void);
STANDIN_CONTROL_API long long standin_counter(int which);
}
