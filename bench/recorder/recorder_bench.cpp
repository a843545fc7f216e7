// The recorder against the direct call, for bench/suite.py (comparison `recorder`): a plain
// library that loads the stand-in and, in front of it, the recorder (which reads
// QVSDK_RECORD_TARGET and QVSDK_RECORD_FILE as it loads), and times calls and events through
// each in C, so that the only difference between two cases is the recorder.
#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <string>

#include "qvsdk/qvsdk.h"

namespace {

using Exchange = int (*)(const char *, int, char **, int *);
using Poll = int (*)();
using SetCallback = void (*)(qvi_event_callback);

struct Path {
    Exchange exchange;
    Poll poll;
    SetCallback set_callback;
};

void *standin = nullptr;
void *recorder = nullptr;
Path paths[2];
void (*queue_event)(const char *, int, const char *, int, int) = nullptr;

char request[64];
char payload[128];

void nothing(const char *, const char *, int) {}

template <typename T>
T symbol(void *lib, const char *name) {
    return reinterpret_cast<T>(dlsym(lib, name));
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

extern "C" {

// Loads both libraries; 0 on success.
int bench_open(const char *standin_path, const char *recorder_path) {
    standin = dlopen(standin_path, RTLD_NOW | RTLD_LOCAL);
    recorder = dlopen(recorder_path, RTLD_NOW | RTLD_LOCAL);
    if (standin == nullptr || recorder == nullptr) return -1;
    void *libs[2] = {standin, recorder};
    for (int i = 0; i < 2; ++i)
        paths[i] =
            Path{symbol<Exchange>(libs[i], "qvi_get_cash_pb_v2"), symbol<Poll>(libs[i], "qvi_poll"),
                 symbol<SetCallback>(libs[i], "qvi_set_event_callback_pb")};
    queue_event = symbol<decltype(queue_event)>(standin, "standin_queue_event");
    symbol<void (*)(int)>(standin, "standin_journal_enable")(0);
    const int id =
        symbol<int (*)(const char *)>(standin, "standin_function_id")("qvi_get_cash_pb_v2");
    std::memset(payload, 'p', sizeof payload);
    std::memset(request, 'r', sizeof request);
    symbol<void (*)(int, const char *, int, int, int)>(standin, "standin_set_response")(id, payload,
                                                                                        64, 64, 1);
    return 0;
}

// Seconds per exchange call (64-byte request and response), directly (0) or recorded (1).
double bench_exchange(int which, int n) {
    const Exchange fn = paths[which].exchange;
    const double t0 = seconds();
    for (int i = 0; i < n; ++i) {
        char *res = nullptr;
        int res_len = 0;
        fn(request, 64, &res, &res_len);
    }
    return (seconds() - t0) / n;
}

// Seconds per event (128-byte payload) delivered inside one qvi_poll to a callback that does
// nothing, directly (0) or recorded (1). The queueing is not timed.
double bench_events(int which, int n) {
    paths[which].set_callback(&nothing);
    for (int i = 0; i < n; ++i) queue_event("tick", 4, payload, 128, 128);
    const double t0 = seconds();
    paths[which].poll();
    return (seconds() - t0) / n;
}

// Unloads the recorder, which closes its recording.
void bench_close() {
    paths[1].set_callback(nullptr);
    dlclose(recorder);
}
}
