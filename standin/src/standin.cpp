// State of the stand-in library and the control API that tests drive through ctypes.
//
// Every SDK function, like every control function, runs with the Python interpreter lock held
// (the control module loads the library with ctypes.PyDLL), so the journal and the programmed
// outcomes need no lock of their own. Only the event queue is shared with the delivery thread.
#include "standin.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "replay.h"

namespace standin {

const char *function_name(int id);
Result result_of(int id);

namespace {

struct Arg {
    Kind kind;
    std::string bytes;
    long long integer;
    double real;
};

struct Call {
    Id id;
    std::vector<Arg> args;
};

struct Outcome {
    int status = 0;
    long long wide = 0;
    double real = 0.0;
    bool response_set = false;
    bool response_null = false;       // point the response at NULL
    bool response_untouched = false;  // leave both out-parameters as they were
    std::string response;             // padded with NULs up to the reported length
    int reported_len = 0;
    bool text_set = false;
    bool text_null = false;
    std::string text;
    int deliver = 0;  // events delivered inside each call; -1: all queued
};

struct Event {
    std::string event;
    std::string data;  // padded with NULs up to the reported length
    int len;
};

bool journal_on = true;
std::vector<Call> journal;
Call *recording = nullptr;
std::array<Outcome, function_count> outcomes;
bool any_hook = false;

// Default answers live here until they have been copied by the caller.
std::array<std::string, 64> scratch;
size_t scratch_next = 0;

std::mutex queue_mu;
std::deque<Event> queue;
std::atomic<qvi_event_callback> callback{nullptr};
std::atomic<bool> stop_requested{false};
// The delivery threads. The control module joins them at interpreter exit; any still
// joinable when the library is unloaded are joined then, since destroying a joinable
// std::thread ends the process.
struct Threads {
    std::vector<std::thread> list;
    ~Threads() {
        for (std::thread &t : list)
            if (t.joinable()) t.join();
    }
} threads;

const char *keep(const std::string &s) {
    std::string &slot = scratch[scratch_next++ % scratch.size()];
    slot = s;
    return slot.c_str();
}

Outcome &outcome(int id) {
    return outcomes[static_cast<size_t>(id)];
}

bool valid(int id) {
    return id >= 0 && id < function_count;
}

// Delivers up to `count` queued events (-1: until the queue is empty), stopping early when
// `stoppable` and qvi_stop has been called.
void deliver(int count, bool stoppable) {
    for (int n = 0; count < 0 || n < count; ++n) {
        if (stoppable && stop_requested.load()) return;
        Event ev;
        {
            std::lock_guard<std::mutex> lock(queue_mu);
            if (queue.empty()) return;
            ev = std::move(queue.front());
            queue.pop_front();
        }
        if (qvi_event_callback cb = callback.load()) cb(ev.event.c_str(), ev.data.data(), ev.len);
    }
}

}  // namespace

void journal_begin(Id id) {
    if (!journal_on) {
        recording = nullptr;
        return;
    }
    journal.push_back(Call{id, {}});
    recording = &journal.back();
}

void journal_bytes(const char *data, long long size) {
    if (recording == nullptr) return;
    if (data == nullptr)
        recording->args.push_back(Arg{Kind::null, {}, 0, 0.0});
    else
        recording->args.push_back(
            Arg{Kind::bytes, std::string(data, static_cast<size_t>(size)), 0, 0.0});
}

void journal_text(const char *text) {
    journal_bytes(text, text ? std::strlen(text) : 0);
}

void journal_integer(long long value) {
    if (recording != nullptr) recording->args.push_back(Arg{Kind::integer, {}, value, 0.0});
}

void journal_real(double value) {
    if (recording != nullptr) recording->args.push_back(Arg{Kind::real, {}, 0, value});
}

void journal_flag(bool value) {
    if (recording != nullptr) recording->args.push_back(Arg{Kind::flag, {}, value ? 1 : 0, 0.0});
}

bool journal_enabled() {
    return journal_on;
}

bool needs_default(Id id) {
    const Outcome &o = outcomes[static_cast<size_t>(id)];
    return !o.response_set && !o.text_set;
}

void deliver_hooked(Id id) {
    recording = nullptr;
    if (!any_hook) return;
    if (int count = outcome(static_cast<int>(id)).deliver; count != 0) deliver(count, false);
}

int status_of(Id id) {
    return outcome(static_cast<int>(id)).status;
}
long long wide_of(Id id) {
    return outcome(static_cast<int>(id)).wide;
}
double real_of(Id id) {
    return outcome(static_cast<int>(id)).real;
}

const char *text_of(Id id, const std::string &fallback) {
    const Outcome &o = outcome(static_cast<int>(id));
    if (!o.text_set) return keep(fallback);
    return o.text_null ? nullptr : o.text.c_str();
}

void response_of(Id id, const std::string &fallback, char **res, int *res_len) {
    const Outcome &o = outcome(static_cast<int>(id));
    if (o.response_untouched) return;
    if (!o.response_set) {
        const char *kept = keep(fallback);
        *res = const_cast<char *>(kept);
        *res_len = static_cast<int>(fallback.size());
        return;
    }
    *res = o.response_null ? nullptr : const_cast<char *>(o.response.data());
    *res_len = o.reported_len;
}

void set_callback(qvi_event_callback cb) {
    callback.store(cb);
}

qvi_event_callback current_callback() {
    return callback.load();
}

int run() {
    recording = nullptr;
    stop_requested.store(false);
    deliver(-1, true);
    return status_of(Id::qvi_run);
}

int poll() {
    recording = nullptr;
    deliver(-1, false);
    return status_of(Id::qvi_poll);
}

int stop() {
    recording = nullptr;
    stop_requested.store(true);
    return status_of(Id::qvi_stop);
}

}  // namespace standin

using namespace standin;

extern "C" {

void standin_reset(void) {
    replay::reset();
    journal.clear();
    recording = nullptr;
    journal_on = true;
    for (Outcome &o : outcomes) o = Outcome{};
    any_hook = false;
    for (std::string &s : scratch) std::string().swap(s);
    {
        std::lock_guard<std::mutex> lock(queue_mu);
        queue.clear();
    }
    callback.store(nullptr);
    stop_requested.store(false);
}

int standin_function_count(void) {
    return function_count;
}

const char *standin_function_name(int id) {
    return function_name(id);
}

int standin_function_id(const char *name) {
    for (int id = 0; id < function_count; ++id)
        if (std::strcmp(function_name(id), name) == 0) return id;
    return -1;
}

int standin_function_result(int id) {
    return valid(id) ? static_cast<int>(result_of(id)) : -1;
}

void standin_journal_enable(int on) {
    journal_on = on != 0;
}

void standin_journal_clear(void) {
    journal.clear();
    recording = nullptr;
}

int standin_journal_size(void) {
    return static_cast<int>(journal.size());
}

int standin_journal_function(int i) {
    return i >= 0 && i < static_cast<int>(journal.size()) ? static_cast<int>(journal[i].id) : -1;
}

int standin_journal_argc(int i) {
    return i >= 0 && i < static_cast<int>(journal.size()) ? static_cast<int>(journal[i].args.size())
                                                          : -1;
}

int standin_journal_arg(int i, int j, const char **bytes, long long *size_or_integer,
                        double *real) {
    if (i < 0 || i >= static_cast<int>(journal.size())) return -1;
    const std::vector<Arg> &args = journal[i].args;
    if (j < 0 || j >= static_cast<int>(args.size())) return -1;
    const Arg &a = args[j];
    *bytes = a.bytes.data();
    *size_or_integer = a.kind == Kind::bytes ? static_cast<long long>(a.bytes.size()) : a.integer;
    *real = a.real;
    return static_cast<int>(a.kind);
}

void standin_set_status(int id, int status) {
    if (valid(id)) outcome(id).status = status;
}

void standin_set_wide(int id, long long value) {
    if (valid(id)) outcome(id).wide = value;
}

void standin_set_real(int id, double value) {
    if (valid(id)) outcome(id).real = value;
}

void standin_set_response(int id, const char *data, int size, int reported_len, int mode) {
    if (!valid(id)) return;
    Outcome &o = outcome(id);
    o.response_set = mode != STANDIN_RESPONSE_DEFAULT;
    o.response_null = mode == STANDIN_RESPONSE_NULL;
    o.response_untouched = mode == STANDIN_RESPONSE_UNTOUCHED;
    o.response.assign(data != nullptr ? data : "", data != nullptr ? static_cast<size_t>(size) : 0);
    if (reported_len > size) o.response.resize(static_cast<size_t>(reported_len), '\0');
    o.reported_len = reported_len;
}

void standin_set_text(int id, const char *text, int size, int is_null) {
    if (!valid(id)) return;
    Outcome &o = outcome(id);
    o.text_set = true;
    o.text_null = is_null != 0;
    o.text.assign(text != nullptr ? text : "", text != nullptr ? static_cast<size_t>(size) : 0);
}

void standin_deliver_in(int id, int count) {
    if (!valid(id)) return;
    outcome(id).deliver = count;
    any_hook = any_hook || count != 0;
}

void standin_queue_event(const char *event, int event_size, const char *data, int data_size,
                         int reported_len) {
    Event ev{std::string(event, static_cast<size_t>(event_size)),
             std::string(data, static_cast<size_t>(data_size)), reported_len};
    if (reported_len > data_size) ev.data.resize(static_cast<size_t>(reported_len), '\0');
    std::lock_guard<std::mutex> lock(queue_mu);
    queue.push_back(std::move(ev));
}

int standin_queued_events(void) {
    std::lock_guard<std::mutex> lock(queue_mu);
    return static_cast<int>(queue.size());
}

int standin_deliver(int count) {
    deliver(count, false);
    return standin_queued_events();
}

void standin_deliver_from_thread(int count) {
    threads.list.emplace_back([count] { deliver(count, false); });
}

void standin_join_threads(void) {
    for (std::thread &t : threads.list) t.join();
    threads.list.clear();
}

}  // extern "C"
