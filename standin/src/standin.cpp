// State of the stand-in library and the control API that tests drive through ctypes.
//
// Every SDK function, like every control function, runs with the Python interpreter lock held
// (the control module loads the library with ctypes.PyDLL), so the journal and the programmed
// outcomes need no lock of their own. The event queue, the counters and the list of delivery
// threads are shared with the delivery threads and have their own guards.
//
// Outcomes decided per call. By default a function answers every call with the outcome last
// programmed for it (standin_set_status and the other setters). An outcome hook, set per
// function with standin_set_outcome_hook(id, hook), is called once for every later call of that
// function as
//
//     int hook(int id, int call_index, const void *call)
//
// after the call's arguments have been recorded and the events programmed to arrive inside it
// have been delivered, just before its outcome is read. `call_index` counts the calls of that
// function since the last standin_reset, from 0 (standin_call_count gives the next one); `call`
// gives the call's C arguments, as the journal records them, through standin_call_argc and
// standin_call_arg, during the hook only (also while the journal is off). The hook decides by
// programming the outcome through the usual setters, which then hold for later calls as well,
// and returns 0. A hook that fails returns nonzero: the outcome stays as programmed before, and
// a run in progress ends after the current event, as if qvi_stop had been called. A call made
// from inside the hook is a call like any other (and calls the hook of its function in turn).
// standin_reset removes every hook.
//
// Delivery threads (standin_deliver_from_thread) are joined by standin_join_threads, which may
// be called from any thread, a delivery thread included, and from several at once: it waits for
// every delivery thread started after the calling one (all of them, from a thread that is not a
// delivery thread), and so never for itself nor for an older one that may be waiting for it.
#include "standin.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control.h"

namespace standin {

const char *function_name(int id);
Result result_of(int id);

namespace {

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

struct Call {
    Id id;
    Args args;
    bool recorded = false;  // answered from a recording (market replay)
};

using OutcomeHook = standin_outcome_hook;

bool journal_on = true;
std::vector<Call> journal;
std::array<Outcome, function_count> outcomes;
std::array<OutcomeHook, function_count> hooks{};
std::array<int, function_count> calls_made{};
bool any_hook = false;  // events programmed inside some function

// Default answers live here until they have been copied by the caller.
std::array<std::string, 64> scratch;
size_t scratch_next = 0;

std::mutex queue_mu;
std::deque<Event> queue;
std::atomic<qvi_event_callback> callback{nullptr};
std::atomic<bool> stop_requested{false};

// Counted since the library was loaded (standin_reset leaves them): a test takes differences.
std::array<std::atomic<long long>, 4> counters{};

// The delivery threads, each numbered in order of start. A thread waits only for those started
// after it (a thread that is not a delivery thread has number 0, before all), so no two threads
// ever wait for each other and none for itself. A joiner takes the threads it joins out of
// `started` under the lock and joins them without it, since a handler on one of them may start
// another or wait in its turn. A thread already taken by another joiner is waited for through
// `running`, which a delivery thread leaves as its last step: waiting for another joiner's joins
// to end instead could wait for a thread that this one must end first.
struct Threads {
    std::mutex mu;
    std::condition_variable finished;
    std::vector<std::pair<unsigned long long, std::thread>> started;  // not yet taken
    std::vector<unsigned long long> running;                          // not yet finished
    unsigned long long last = 0;

    // The delivery threads still running when the library is unloaded are joined then, since
    // destroying a joinable std::thread ends the process; the control module joins them at
    // interpreter exit, before this.
    ~Threads() {
        for (auto &entry : started) {
            if (entry.second.get_id() == std::this_thread::get_id())
                entry.second.detach();
            else if (entry.second.joinable())
                entry.second.join();
        }
    }
} threads;

thread_local unsigned long long this_delivery_thread = 0;  // its number; 0 for other threads

void join_threads() {
    const unsigned long long self = this_delivery_thread;
    auto younger = [self](unsigned long long number) { return number > self; };
    std::unique_lock<std::mutex> lock(threads.mu);
    for (;;) {
        std::vector<std::thread> taken;
        for (auto &entry : threads.started)
            if (younger(entry.first)) taken.push_back(std::move(entry.second));
        if (!taken.empty()) {
            std::erase_if(threads.started,
                          [](const auto &entry) { return !entry.second.joinable(); });
            lock.unlock();
            for (std::thread &t : taken) t.join();
            lock.lock();
            continue;  // a handler may have started more meanwhile
        }
        if (std::none_of(threads.running.begin(), threads.running.end(), younger)) return;
        threads.finished.wait(lock);  // another joiner has taken them: wait for them to finish
    }
}

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
        if (qvi_event_callback cb = callback.load()) {
            counters[STANDIN_EVENTS_DELIVERED].fetch_add(1);
            cb(ev.event.c_str(), ev.data.data(), ev.len);
        } else {
            counters[STANDIN_EVENTS_DROPPED].fetch_add(1);
        }
    }
}

void start_thread(int count) {
    std::lock_guard<std::mutex> lock(threads.mu);
    const unsigned long long number = ++threads.last;
    threads.running.push_back(number);
    threads.started.emplace_back(number, std::thread([count, number] {
                                     this_delivery_thread = number;
                                     deliver(count, false);
                                     {
                                         std::lock_guard<std::mutex> done(threads.mu);
                                         std::erase(threads.running, number);
                                     }
                                     threads.finished.notify_all();
                                 }));
}

}  // namespace

int begin_call(Id id) {
    return calls_made[static_cast<size_t>(id)]++;
}

bool has_hook(Id id) {
    return hooks[static_cast<size_t>(id)] != nullptr;
}

bool journal_enabled() {
    return journal_on;
}

void journal_add(Id id, Args &args, bool keep_args) {
    if (!journal_on) return;
    if (keep_args)
        journal.push_back(Call{id, args, false});  // the hook reads them later
    else
        journal.push_back(Call{id, std::move(args), false});
}

void journal_mark_recorded() {
    if (journal_on && !journal.empty()) journal.back().recorded = true;
}

bool needs_default(Id id) {
    const Outcome &o = outcomes[static_cast<size_t>(id)];
    return (!o.response_set && !o.text_set) || hooks[static_cast<size_t>(id)] != nullptr;
}

void deliver_hooked(Id id) {
    if (!any_hook) return;
    if (int count = outcome(static_cast<int>(id)).deliver; count != 0) deliver(count, false);
}

void settle(Id id, int index, const Args &args) {
    if (OutcomeHook hook = hooks[static_cast<size_t>(id)]; hook != nullptr)
        if (hook(static_cast<int>(id), index, &args) != 0) stop_requested.store(true);
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

void run_begin() {
    stop_requested.store(false);
}

void run_end(bool stopped) {
    counters[stopped ? STANDIN_RUNS_STOPPED : STANDIN_RUNS_DRAINED].fetch_add(1);
}

bool stop_requested_now() {
    return stop_requested.load();
}

void count_event(bool delivered) {
    counters[delivered ? STANDIN_EVENTS_DELIVERED : STANDIN_EVENTS_DROPPED].fetch_add(1);
}

void run() {
    run_begin();
    deliver(-1, true);
    run_end(stop_requested.load());
}

void poll() {
    deliver(-1, false);
}

void stop() {
    stop_requested.store(true);
}

}  // namespace standin

using namespace standin;

extern "C" {

// A replay in progress is left on: it is ended by standin_replay_end only, so that a harness
// entered inside a replay starts clean without falling back to the programmed outcomes.
void standin_reset(void) {
    journal.clear();
    journal_on = true;
    for (Outcome &o : outcomes) o = Outcome{};
    hooks.fill(nullptr);
    calls_made.fill(0);
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
}

int standin_journal_size(void) {
    return static_cast<int>(journal.size());
}

int standin_journal_function(int i) {
    return i >= 0 && i < static_cast<int>(journal.size()) ? static_cast<int>(journal[i].id) : -1;
}

int standin_journal_recorded(int i) {
    return i >= 0 && i < static_cast<int>(journal.size()) ? (journal[i].recorded ? 1 : 0) : -1;
}

int standin_journal_argc(int i) {
    return i >= 0 && i < static_cast<int>(journal.size()) ? static_cast<int>(journal[i].args.size())
                                                          : -1;
}

int standin_journal_arg(int i, int j, const char **bytes, long long *size_or_integer,
                        double *real) {
    if (i < 0 || i >= static_cast<int>(journal.size())) return -1;
    return standin_call_arg(&journal[static_cast<size_t>(i)].args, j, bytes, size_or_integer, real);
}

int standin_call_argc(const void *call) {
    return static_cast<int>(static_cast<const Args *>(call)->size());
}

int standin_call_arg(const void *call, int j, const char **bytes, long long *size_or_integer,
                     double *real) {
    const Args &args = *static_cast<const Args *>(call);
    if (j < 0 || j >= static_cast<int>(args.size())) return -1;
    const Arg &a = args[static_cast<size_t>(j)];
    *bytes = a.bytes.data();
    *size_or_integer = a.kind == Kind::bytes ? static_cast<long long>(a.bytes.size()) : a.integer;
    *real = a.real;
    return static_cast<int>(a.kind);
}

int standin_call_count(int id) {
    return valid(id) ? calls_made[static_cast<size_t>(id)] : -1;
}

void standin_set_outcome_hook(int id, standin_outcome_hook hook) {
    if (valid(id)) hooks[static_cast<size_t>(id)] = hook;
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
    start_thread(count);
}

void standin_join_threads(void) {
    join_threads();
}

void standin_request_stop(void) {
    stop_requested.store(true);
}

long long standin_counter(int which) {
    return which >= 0 && which < static_cast<int>(counters.size())
               ? counters[static_cast<size_t>(which)].load()
               : -1;
}

}  // extern "C"
