// Control API of the stand-in library, used by its Python control module (qvsdk_standin).
#pragma once

#include "qvsdk/qvsdk.h"

#define STANDIN_RESPONSE_DEFAULT 0    // answer with the function's name and its arguments
#define STANDIN_RESPONSE_DATA 1       // answer with the programmed bytes and reported length
#define STANDIN_RESPONSE_NULL 2       // answer with a NULL pointer and the reported length
#define STANDIN_RESPONSE_UNTOUCHED 3  // write neither out-parameter

extern "C" {
QVSDK_API void standin_reset(void);
QVSDK_API int standin_function_count(void);
QVSDK_API const char *standin_function_name(int id);
QVSDK_API int standin_function_id(const char *name);
QVSDK_API int standin_function_result(int id);
QVSDK_API void standin_journal_enable(int on);
QVSDK_API void standin_journal_clear(void);
QVSDK_API int standin_journal_size(void);
QVSDK_API int standin_journal_function(int i);
QVSDK_API int standin_journal_argc(int i);
QVSDK_API int standin_journal_arg(int i, int j, const char **bytes, long long *size_or_integer,
                                  double *real);
QVSDK_API void standin_set_status(int id, int status);
QVSDK_API void standin_set_wide(int id, long long value);
QVSDK_API void standin_set_real(int id, double value);
QVSDK_API void standin_set_response(int id, const char *data, int size, int reported_len, int mode);
QVSDK_API void standin_set_text(int id, const char *text, int size, int is_null);
QVSDK_API void standin_deliver_in(int id, int count);
QVSDK_API void standin_queue_event(const char *event, int event_size, const char *data,
                                   int data_size, int reported_len);
QVSDK_API int standin_queued_events(void);
QVSDK_API int standin_deliver(int count);
QVSDK_API void standin_deliver_from_thread(int count);
QVSDK_API void standin_join_threads(void);
}
