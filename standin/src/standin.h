// The stand-in qvsdk library: state shared by the generated SDK functions and the control API.
//
// Every SDK function records its C arguments in the journal, may deliver queued events through
// the registered callback, and answers with the outcome programmed for it (or the default:
// status 0, and a response or text made of its own name and the arguments it received).
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "qvsdk/qvsdk.h"

namespace standin {

enum class Id : int {
#define STANDIN_ID_(name) name,
#define STANDIN_VALUE_ID_(ret, name, params, args) name,
    QVSDK_EXCHANGE_FUNCTIONS(STANDIN_ID_) QVSDK_COMMAND_FUNCTIONS(STANDIN_ID_)
        QVSDK_FETCH_FUNCTIONS(STANDIN_ID_) QVSDK_VALUE_FUNCTIONS(STANDIN_VALUE_ID_)
#undef STANDIN_ID_
#undef STANDIN_VALUE_ID_
            count
};

inline constexpr int function_count = static_cast<int>(Id::count);

// What a function returns, as the control module needs to know it.
enum class Result : int { none = 0, status = 1, wide = 2, real = 3, text = 4 };

// One C argument as the journal keeps it.
enum class Kind : int { null = 0, bytes = 1, integer = 2, real = 3, flag = 4 };

struct Arg {
    Kind kind;
    std::string bytes;
    long long integer;
    double real;
};

using Args = std::vector<Arg>;

// One call, from its start to its outcome: the arguments are recorded first, then the events
// programmed to arrive inside it are delivered, then its outcome is settled and read.
int begin_call(Id id);  // counts the call; returns its index among its function's calls
bool has_hook(Id id);   // the function has an outcome hook
bool journal_enabled();
void journal_add(Id id, Args &args, bool keep_args);  // once complete; moved unless keep_args
void journal_mark_recorded();  // the last call in the journal was answered from a recording
bool needs_default(Id id);     // nothing programmed (or a hook may program it): build the default
void deliver_hooked(Id id);    // events programmed to arrive inside this function
void settle(Id id, int index, const Args &args);  // the function's outcome hook, if any

// The outcome, as programmed.
int status_of(Id id);                                     // programmed int result (default 0)
long long wide_of(Id id);                                 // programmed long long result
double real_of(Id id);                                    // programmed double result
const char *text_of(Id id, const std::string &fallback);  // programmed text or a copy of fallback
void response_of(Id id, const std::string &fallback, char **res, int *res_len);

// Lifecycle and events.
void set_callback(qvi_event_callback cb);
qvi_event_callback current_callback();
void run();
void poll();
void stop();

// For replay, which delivers recorded events itself: the counters of a run and of its events,
// and whether a stop was requested since the run began (request_stop: the harness's `strict`).
void run_begin();
void run_end(bool stopped);
bool stop_requested_now();
void count_event(bool delivered);

}  // namespace standin
