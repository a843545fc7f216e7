// Replay from a recording: the plan handed over by the control module, the matching of calls,
// the delivery of recorded events, and the control functions (declared below, exported with
// the rest of the control API).
//
// Like the rest of the stand-in's state, the plan is used under the interpreter lock.
#include "replay.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "control.h"
#include "crc32c.h"
#include "recording.h"

extern "C" {
STANDIN_CONTROL_API unsigned long long standin_catalogue_hash(void);
STANDIN_CONTROL_API unsigned int standin_crc32c(const char *data, size_t size, int portable);
STANDIN_CONTROL_API int standin_replay_begin(int strict, unsigned long long catalogue_hash);
STANDIN_CONTROL_API void standin_replay_call(int id, const char *args, int args_len, int record,
                                             int finished, int result_tag, long long integer,
                                             double real, const char *text, int text_len,
                                             int out_tag, const char *out, int out_size,
                                             int out_len);
STANDIN_CONTROL_API void standin_replay_event(int call, const char *name, int name_len,
                                              const char *data, int data_size, int len);
STANDIN_CONTROL_API void standin_replay_end(void);
STANDIN_CONTROL_API int standin_replay_position(void);
STANDIN_CONTROL_API int standin_replay_remaining(void);
STANDIN_CONTROL_API int standin_replay_undelivered(void);
STANDIN_CONTROL_API int standin_replay_divergence(int *reason, int *position, int *record, int *got,
                                                  const char **got_args, int *got_args_len);
}

namespace standin::replay {

bool on = false;

namespace {

struct Event {
    std::string name;
    bool name_null;
    std::string data;  // NUL-padded up to the reported length
    bool data_null;
    int len;
};

struct Expected {
    Id id;
    std::string args;
    int record;
    bool finished;
    qvrec::Tag result;
    long long integer;
    double real;
    std::string text;
    bool text_null;
    qvrec::Tag out;
    std::string out_data;
    int out_len;
    std::vector<Event> before;  // recorded between calls, before this one
    std::vector<Event> inside;  // delivered inside this call
};

// Why a replay diverged.
enum Reason : int {
    none = 0,
    other_function = 1,
    other_arguments = 2,
    exhausted = 3,   // a call beyond the recording's last
    unfinished = 4,  // the recording ends inside this call: its outcome is unknown
};

struct State {
    bool strict = true;
    std::vector<Expected> plan;
    std::vector<Event> staged;   // events recorded between calls, waiting for the next call
    std::vector<Event> pending;  // such events due at the next qvi_run or qvi_poll
    std::size_t next = 0;
    Reason reason = none;
    std::size_t position = 0;  // of the divergence, in calls
    Id got = Id::count;
    std::string got_args;
    bool stopped = false;  // the run in progress called qvi_stop
    std::size_t cut = 0;   // events recorded inside a call that a stop or divergence cut short
};

State state;

// Counted as the stand-in counts its own deliveries (an event with no callback registered is
// dropped). Inside a run, a stop requested by the control module (the harness's `strict`) ends
// the delivery as it ends a run; a recorded qvi_stop does not: what the recording delivered
// after it, the SDK delivered.
// Returns how many were delivered.
std::size_t deliver(const std::vector<Event> &events, bool stoppable) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (state.reason != none) return i;  // as after qvi_stop: the run ends
        if (stoppable && stop_requested_now()) return i;
        qvi_event_callback cb = current_callback();
        const Event &ev = events[i];
        count_event(cb != nullptr);
        if (cb != nullptr)
            cb(ev.name_null ? nullptr : ev.name.c_str(), ev.data_null ? nullptr : ev.data.data(),
               ev.len);
    }
    return events.size();
}

Answer failure() {
    Answer a;
    a.failed = true;
    return a;
}

void diverge(Reason reason, Id id, const std::string &args, std::size_t position) {
    state.reason = reason;
    state.position = position;
    state.got = id;
    state.got_args = args;
}

// The bytes of the value that starts at `at` (0 when it runs past the end).
std::size_t value_size(const std::string &s, std::size_t at) {
    if (at >= s.size()) return 0;
    std::size_t n = 1;
    switch (static_cast<qvrec::Tag>(s[at])) {
        case qvrec::Tag::bytes:
        case qvrec::Tag::text: {
            std::uint32_t len = 0;
            if (at + 5 > s.size()) return 0;
            std::memcpy(&len, s.data() + at + 1, 4);
            n = 5 + std::size_t{len};
            break;
        }
        case qvrec::Tag::i32:
            n = 5;
            break;
        case qvrec::Tag::i64:
        case qvrec::Tag::real:
            n = 9;
            break;
        case qvrec::Tag::flag:
        case qvrec::Tag::callback:
            n = 2;
            break;
        case qvrec::Tag::redacted:
            n = 6;
            break;
        default:
            break;
    }
    return at + n <= s.size() ? n : 0;
}

// Recorded arguments against those of a call: equal, value by value, except that a secret
// redacted in the recording matches any value.
bool args_match(const std::string &recorded, const std::string &got) {
    if (recorded.find(static_cast<char>(qvrec::Tag::redacted)) == std::string::npos)
        return recorded == got;
    if (recorded.empty() || got.empty() || recorded[0] != got[0]) return false;
    std::size_t a = 1, b = 1;
    while (a < recorded.size() && b < got.size()) {
        const std::size_t na = value_size(recorded, a), nb = value_size(got, b);
        if (na == 0 || nb == 0) return false;
        if (static_cast<qvrec::Tag>(recorded[a]) != qvrec::Tag::redacted &&
            recorded.compare(a, na, got, b, nb) != 0)
            return false;
        a += na;
        b += nb;
    }
    return a == recorded.size() && b == got.size();
}

}  // namespace

Answer take(Id id, const std::string &args) {
    if (state.reason != none) return failure();
    if (state.next >= state.plan.size()) {
        diverge(exhausted, id, args, state.next);
        return failure();
    }
    Expected &x = state.plan[state.next];
    if (x.id != id) {
        diverge(other_function, id, args, state.next);
        return failure();
    }
    if (state.strict && !args_match(x.args, args)) {
        diverge(other_arguments, id, args, state.next);
        return failure();
    }
    const std::size_t at = state.next++;
    for (Event &ev : x.before) state.pending.push_back(std::move(ev));
    x.before.clear();
    const bool run = id == Id::qvi_run;
    const bool outer_stopped = state.stopped;
    if (run) {
        run_begin();
        state.stopped = false;
    } else if (id == Id::qvi_stop) {
        state.stopped = true;
    }
    if (run || id == Id::qvi_poll) {
        // Taken out first: a call made from one of these events may run into the next ones.
        std::vector<Event> due;
        due.swap(state.pending);
        const std::size_t done = deliver(due, run);
        // Those a stop left wait for the next qvi_run or qvi_poll, before any recorded since.
        state.pending.insert(
            state.pending.begin(),
            std::make_move_iterator(due.begin() + static_cast<std::ptrdiff_t>(done)),
            std::make_move_iterator(due.end()));
    }
    state.cut += x.inside.size() - deliver(x.inside, run);
    if (run) {
        // Counted as a run of the stand-in's own: stopped by the strategy (or the harness).
        run_end(state.stopped || stop_requested_now());
        state.stopped = outer_stopped;
    }
    if (state.reason != none) return failure();
    if (!x.finished) {
        diverge(unfinished, id, args, at);
        return failure();
    }
    Answer a;
    a.result = x.result;
    a.integer = x.integer;
    a.real = x.real;
    a.text = x.text_null ? nullptr : x.text.c_str();
    a.out = x.out;
    a.out_data =
        x.out == qvrec::Tag::bytes || x.out == qvrec::Tag::text ? x.out_data.c_str() : nullptr;
    a.out_len = x.out_len;
    return a;
}

void reset() {
    on = false;
    state = State{};
}

}  // namespace standin::replay

using namespace standin;

extern "C" {

unsigned long long standin_catalogue_hash(void) {
    return qvrec::catalogue_hash;
}

unsigned int standin_crc32c(const char *data, size_t size, int portable) {
    return portable ? crc32c::compute_portable(data, size) : crc32c::compute(data, size);
}

int standin_replay_begin(int strict, unsigned long long catalogue_hash) {
    replay::reset();
    if (catalogue_hash != qvrec::catalogue_hash) return -1;
    replay::state.strict = strict != 0;
    replay::on = true;
    return 0;
}

void standin_replay_call(int id, const char *args, int args_len, int record, int finished,
                         int result_tag, long long integer, double real, const char *text,
                         int text_len, int out_tag, const char *out, int out_size, int out_len) {
    replay::Expected x{static_cast<Id>(id),
                       std::string(args, static_cast<std::size_t>(args_len)),
                       record,
                       finished != 0,
                       static_cast<qvrec::Tag>(result_tag),
                       integer,
                       real,
                       text_len >= 0 ? std::string(text, static_cast<std::size_t>(text_len)) : "",
                       text_len < 0,
                       static_cast<qvrec::Tag>(out_tag),
                       out_size > 0 ? std::string(out, static_cast<std::size_t>(out_size)) : "",
                       out_len,
                       std::move(replay::state.staged),
                       {}};
    replay::state.staged.clear();
    // The caller may read up to the reported length: NUL-padded to it, as the stand-in's
    // programmed responses are.
    if (out_len > out_size && x.out == qvrec::Tag::bytes)
        x.out_data.resize(static_cast<std::size_t>(out_len), '\0');
    replay::state.plan.push_back(std::move(x));
}

void standin_replay_event(int call, const char *name, int name_len, const char *data, int data_size,
                          int len) {
    replay::Event ev{name_len >= 0 ? std::string(name, static_cast<std::size_t>(name_len)) : "",
                     name_len < 0,
                     data_size >= 0 ? std::string(data, static_cast<std::size_t>(data_size)) : "",
                     data_size < 0, len};
    if (!ev.data_null && len > data_size) ev.data.resize(static_cast<std::size_t>(len), '\0');
    // Inside the call it was delivered by (the index of a call handed over already), or else
    // between calls.
    if (call >= 0 && static_cast<std::size_t>(call) < replay::state.plan.size())
        replay::state.plan[static_cast<std::size_t>(call)].inside.push_back(std::move(ev));
    else
        replay::state.staged.push_back(std::move(ev));
}

void standin_replay_end(void) {
    replay::reset();
}

int standin_replay_position(void) {
    return static_cast<int>(replay::state.next);
}

int standin_replay_remaining(void) {
    return static_cast<int>(replay::state.plan.size() - replay::state.next);
}

// Recorded events not delivered: those between calls that no qvi_run or qvi_poll came for,
// and those of the calls not yet made.
int standin_replay_undelivered(void) {
    const replay::State &s = replay::state;
    std::size_t n = s.cut + s.staged.size() + s.pending.size();
    for (std::size_t i = s.next; i < s.plan.size(); ++i)
        n += s.plan[i].before.size() + s.plan[i].inside.size();
    return static_cast<int>(n);
}

int standin_replay_divergence(int *reason, int *position, int *record, int *got,
                              const char **got_args, int *got_args_len) {
    const replay::State &s = replay::state;
    *reason = static_cast<int>(s.reason);
    if (s.reason == replay::none) return 0;
    *position = static_cast<int>(s.position);
    *record = s.position < s.plan.size() ? s.plan[s.position].record : -1;
    *got = static_cast<int>(s.got);
    *got_args = s.got_args.data();
    *got_args_len = static_cast<int>(s.got_args.size());
    return 1;
}

}  // extern "C"
