// Replay from a recording: the plan, loaded from a mapping of the file by the recording parser
// (reader.h), the matching of calls, the delivery of recorded events, and the control functions
// (declared below, exported with the rest of the control API).
//
// The plan holds, per recorded call, where its frame is in the file and which events go with it:
// arguments, outcomes and payloads are read from the mapping when they are due, never copied
// in advance. Like the rest of the stand-in's state, the plan is used under the interpreter lock.
#include "replay.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "control.h"
#include "crc32c.h"
#include "market.h"
#include "reader.h"

extern "C" {
STANDIN_CONTROL_API unsigned long long standin_catalogue_hash(void);
STANDIN_CONTROL_API unsigned int standin_crc32c(const char *data, size_t size, int portable);
STANDIN_CONTROL_API int standin_replay_load(const char *path, int strict, char *error,
                                            int error_size);
STANDIN_CONTROL_API void standin_replay_end(void);
STANDIN_CONTROL_API int standin_replay_position(void);
STANDIN_CONTROL_API int standin_replay_remaining(void);
STANDIN_CONTROL_API int standin_replay_size(void);
STANDIN_CONTROL_API int standin_replay_undelivered(void);
STANDIN_CONTROL_API int standin_replay_planned(int position, unsigned long long *offset);
STANDIN_CONTROL_API int standin_replay_divergence(int *reason, int *position, int *record, int *got,
                                                  const char **got_args, int *got_args_len);
}

namespace standin::replay {

bool on = false;

namespace {

// A recorded call: its frame (a call frame, or the open frame of a call that never returned
// within the recording) and its events, as ranges of Plan::events.
struct Planned {
    std::uint64_t offset;  // of the frame in the file
    std::uint64_t seq;
    std::uint32_t record;  // frame number
    Id id;
    std::uint32_t before;  // events[before, inside): recorded between calls, before this one
    std::uint32_t inside;  // events[inside, end): delivered inside this call
    std::uint32_t end;
    bool finished;
    bool redacted;  // some recorded argument was redacted
};

// A loaded recording. Shared by whoever is using it, so that a reset from inside an event
// frees nothing that a call in progress still reads.
struct Plan {
    qvrec::Mapping map;
    std::vector<Planned> calls;
    std::vector<std::uint64_t> events;  // offsets of event frames, grouped by call
    std::uint32_t staged = 0;           // events[staged, end): after the last call
};

// What take() reads of a planned call: its arguments, and once they matched, its outcome.
struct Recorded {
    std::string_view args;
    qvrec::Value result;
    qvrec::Value out;  // the response or text output, null without one
    int out_len = 0;
};

const unsigned char *frame_values(const Plan &plan, std::uint64_t offset) {
    return plan.map.data() + offset + 4 + qvrec::frame_head;
}

const unsigned char *frame_end(const Plan &plan, std::uint64_t offset) {
    return plan.map.data() + offset + 4 + qvrec::load32(plan.map.data() + offset);
}

// Reads a planned call from the mapping (checked when the plan was loaded).
Recorded read_call(const Plan &plan, const Planned &x) {
    Recorded r;
    qvrec::ValueReader v(frame_values(plan, x.offset), frame_end(plan, x.offset));
    const unsigned char *start = v.at();
    std::uint8_t n = 0, outs = 0;
    qvrec::Value skip;
    v.u8(n);
    for (unsigned i = 0; i < n; ++i) v.value(skip);
    r.args = {reinterpret_cast<const char *>(start), static_cast<std::size_t>(v.at() - start)};
    if (!x.finished) return r;
    v.value(r.result);
    v.u8(outs);
    if (outs >= 1) v.value(r.out);
    qvrec::Value len;
    if (outs >= 2 && v.value(len)) r.out_len = static_cast<int>(len.integer);
    return r;
}

struct Event {
    qvrec::Value name, data;
    int len = 0;
};

Event read_event(const Plan &plan, std::uint64_t offset) {
    Event ev;
    qvrec::ValueReader v(frame_values(plan, offset), frame_end(plan, offset));
    v.value(ev.name);
    v.value(ev.data);
    const unsigned char *p = nullptr;
    if (v.take(4, p)) ev.len = static_cast<std::int32_t>(qvrec::load32(p));
    return ev;
}

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
    std::shared_ptr<const Plan> plan;
    std::vector<std::uint64_t> pending;  // events recorded between calls, due at the next
                                         // qvi_run or qvi_poll
    std::size_t next = 0;
    Reason reason = none;
    std::size_t position = 0;  // of the divergence, in calls
    Id got = Id::count;
    std::string got_args;
    std::string text, out;  // the last answer's text and output, NUL-terminated
    bool stopped = false;   // the run in progress called qvi_stop
    std::size_t cut = 0;    // events recorded inside a call that a stop or divergence cut short
};

State state;

std::size_t planned() {
    return state.plan ? state.plan->calls.size() : 0;
}

// Counted as the stand-in counts its own deliveries (an event with no callback registered is
// dropped). Inside a run, a stop requested by the control module (the harness's `strict`) ends
// the delivery as it ends a run; a recorded qvi_stop does not: what the recording delivered
// after it, the SDK delivered.
// Returns how many were delivered.
std::size_t deliver(const Plan &plan, const std::uint64_t *events, std::size_t count,
                    bool stoppable) {
    std::string name;
    for (std::size_t i = 0; i < count; ++i) {
        if (state.reason != none) return i;  // as after qvi_stop: the run ends
        if (stoppable && stop_requested_now()) return i;
        qvi_event_callback cb = current_callback();
        count_event(cb != nullptr);
        const Event ev = read_event(plan, events[i]);
        const bool name_null = ev.name.tag == static_cast<std::uint8_t>(qvrec::Tag::null);
        const bool data_null = ev.data.tag == static_cast<std::uint8_t>(qvrec::Tag::null);
        name.assign(ev.name.view());  // a C text: NUL-terminated
        if (cb != nullptr)
            cb(name_null ? nullptr : name.c_str(),
               data_null ? nullptr : reinterpret_cast<const char *>(ev.data.bytes), ev.len);
    }
    return count;
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

}  // namespace

Answer take(Id id, const std::string &args) {
    if (state.reason != none) return failure();
    if (state.next >= planned()) {
        diverge(exhausted, id, args, state.next);
        return failure();
    }
    // Held for the whole call: a reset from one of its events leaves the plan readable.
    const std::shared_ptr<const Plan> plan = state.plan;
    const Planned &x = plan->calls[state.next];
    const Recorded r = read_call(*plan, x);
    if (x.id != id) {
        diverge(other_function, id, args, state.next);
        return failure();
    }
    if (state.strict && !qvrec::args_match(r.args, args, x.redacted)) {
        diverge(other_arguments, id, args, state.next);
        return failure();
    }
    const std::size_t at = state.next++;
    state.pending.insert(state.pending.end(), plan->events.begin() + x.before,
                         plan->events.begin() + x.inside);
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
        std::vector<std::uint64_t> due;
        due.swap(state.pending);
        const std::size_t done = deliver(*plan, due.data(), due.size(), run);
        // Those a stop left wait for the next qvi_run or qvi_poll, before any recorded since.
        state.pending.insert(state.pending.begin(), due.begin() + static_cast<std::ptrdiff_t>(done),
                             due.end());
    }
    const std::size_t inside = x.end - x.inside;
    state.cut += inside - deliver(*plan, plan->events.data() + x.inside, inside, run);
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
    a.result = static_cast<qvrec::Tag>(r.result.tag);
    a.integer = r.result.integer;
    a.real = r.result.real;
    if (a.result == qvrec::Tag::text || a.result == qvrec::Tag::bytes) {
        state.text.assign(r.result.view());
        a.text = state.text.c_str();
    } else if (r.result.tag == qvrec::redacted_tag) {
        // A secret the recorder left out (an encrypted token): answered with a placeholder of
        // its length, so that the strategy goes on as it did.
        a.result = static_cast<qvrec::Tag>(r.result.sub);
        state.text.assign(r.result.length, '*');
        a.text = state.text.c_str();
    }
    a.out = static_cast<qvrec::Tag>(r.out.tag);
    if (a.out == qvrec::Tag::bytes || a.out == qvrec::Tag::text) {
        // Exactly the bytes recorded (the parser refused a length beyond them), and a NUL.
        state.out.assign(r.out.view());
        a.out_data = state.out.c_str();
    }
    a.out_len = r.out_len;
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

// Loads the recording at `path` and starts replaying it: 0, or -1 with `error` naming what is
// wrong with the file (it is then refused whole, nothing replayed). A damaged tail ends the
// plan where it starts, as the reader keeps the good prefix.
static int replay_load(const char *path, int strict, char *error, int error_size) {
    replay::reset();
    market::reset();
    auto plan = std::make_shared<replay::Plan>();
    std::string message;
    qvrec::Header header;
    auto refuse = [&](const std::string &why) {
        const std::size_t n =
            std::min(why.size(), static_cast<std::size_t>(error_size > 0 ? error_size - 1 : 0));
        if (error_size > 0) {
            std::memcpy(error, why.data(), n);
            error[n] = '\0';
        }
        return -1;
    };
    if (!plan->map.open(path, message) ||
        !qvrec::read_header(plan->map.data(), plan->map.size(), header, message))
        return refuse(message);
    if (!header.own_catalogue()) {
        char hex[2][17];
        std::snprintf(hex[0], sizeof hex[0], "%016llx",
                      static_cast<unsigned long long>(header.catalogue_hash));
        std::snprintf(hex[1], sizeof hex[1], "%016llx",
                      static_cast<unsigned long long>(qvrec::catalogue_hash));
        return refuse("recorded against another SDK catalogue (" +
                      std::to_string(header.functions) + " functions, hash " + hex[0] +
                      "; the stand-in's: " + std::to_string(function_count) + ", " + hex[1] + ")");
    }
    struct Ev {
        std::uint64_t seq, parent, offset;
    };
    std::vector<replay::Planned> &calls = plan->calls;
    std::vector<Ev> events;
    // Counted first, from the frames' sizes and kinds alone, and reserved once: growing would
    // hold the old and the new copy at once.
    {
        std::size_t ncalls = 0, nevents = 0, counted = qvrec::header_size;
        const unsigned char *p = plan->map.data();
        for (std::size_t at = qvrec::header_size, size = plan->map.size(); size - at >= 8;) {
            const std::uint32_t n = qvrec::load32(p + at);
            if (n < qvrec::frame_head || size - at - 8 < n) break;
            const auto kind = static_cast<qvrec::Frame>(p[at + 4]);
            ncalls += kind == qvrec::Frame::call || kind == qvrec::Frame::open;
            nevents += kind == qvrec::Frame::event;
            at += 8 + static_cast<std::size_t>(n);
            if (at - counted >= (8u << 20)) {
                plan->map.release(counted, at);
                counted = at;
            }
        }
        plan->map.release(counted, plan->map.size());
        calls.reserve(ncalls);
        events.reserve(nevents);
    }
    auto frame = std::make_unique<qvrec::Decoded>();
    qvrec::Scanner scan(plan->map.data(), plan->map.size(), header.version, true);
    std::size_t released = qvrec::header_size;
    while (scan.next(*frame)) {
        const qvrec::Decoded &d = *frame;
        if (scan.at - released >= (8u << 20)) {  // resident memory stays flat while scanning
            plan->map.release(released, scan.at);
            released = scan.at;
        }
        if (d.kind == qvrec::Frame::event) {
            events.push_back({d.seq, d.parent, d.offset});
        } else if (d.kind == qvrec::Frame::call || d.kind == qvrec::Frame::open) {
            if (d.kind == qvrec::Frame::call && d.nouts > 0 &&
                d.values[d.nargs + 1].tag == qvrec::redacted_tag)
                return refuse("offset " + std::to_string(d.offset) + " (frame " +
                              std::to_string(d.index) +
                              "): an output was redacted: the call cannot be answered");
            calls.push_back({d.offset, d.seq, static_cast<std::uint32_t>(d.index),
                             static_cast<Id>(d.function), 0, 0, 0, d.kind == qvrec::Frame::call,
                             d.redacted_args});
        }
    }
    if (!scan.error.empty()) return refuse(scan.error);
    frame.reset();
    // In the order they were made; of frames with the same sequence number the last call
    // frame, or without one the last open frame (a call that never returned).
    // Sorted by sequence number, then file order (as a stable sort would, without its buffer),
    // and kept in place: the plan's memory is the frames' count, once.
    std::sort(calls.begin(), calls.end(), [](const replay::Planned &a, const replay::Planned &b) {
        return a.seq != b.seq ? a.seq < b.seq : a.record < b.record;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < calls.size();) {
        std::size_t j = i, pick = i;
        for (; j < calls.size() && calls[j].seq == calls[i].seq; ++j)
            if (calls[j].finished || !calls[pick].finished) pick = j;
        calls[kept++] = calls[pick];
        i = j;
    }
    calls.resize(kept);
    // Each event goes inside the call that delivered it (entered before it), or else before the
    // next call: grouped by call, in the order they arrived.
    std::sort(events.begin(), events.end(), [](const Ev &a, const Ev &b) {
        return a.seq != b.seq ? a.seq < b.seq : a.offset < b.offset;
    });
    const std::size_t n = plan->calls.size();
    auto call_at = [&](std::uint64_t seq) {
        return static_cast<std::size_t>(
            std::lower_bound(plan->calls.begin(), plan->calls.end(), seq,
                             [](const replay::Planned &c, std::uint64_t s) { return c.seq < s; }) -
            plan->calls.begin());
    };
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed;  // (slot, offset)
    keyed.reserve(events.size());
    for (const Ev &ev : events) {
        std::size_t slot = 2 * call_at(ev.seq);  // before the next call
        if (ev.parent != 0 && ev.parent < ev.seq) {
            const std::size_t c = call_at(ev.parent);
            if (c < n && plan->calls[c].seq == ev.parent) slot = 2 * c + 1;
        }
        keyed.emplace_back(slot, ev.offset);
    }
    std::vector<Ev>().swap(events);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    plan->events.reserve(keyed.size());
    std::size_t k = 0;
    for (std::size_t c = 0; c < n; ++c) {
        replay::Planned &x = plan->calls[c];
        x.before = static_cast<std::uint32_t>(plan->events.size());
        for (; k < keyed.size() && keyed[k].first == 2 * c; ++k)
            plan->events.push_back(keyed[k].second);
        x.inside = static_cast<std::uint32_t>(plan->events.size());
        for (; k < keyed.size() && keyed[k].first == 2 * c + 1; ++k)
            plan->events.push_back(keyed[k].second);
        x.end = static_cast<std::uint32_t>(plan->events.size());
    }
    plan->staged = static_cast<std::uint32_t>(plan->events.size());
    for (; k < keyed.size(); ++k) plan->events.push_back(keyed[k].second);
    replay::state.strict = strict != 0;
    replay::state.plan = std::move(plan);
    replay::on = true;
    return 0;
}

int standin_replay_load(const char *path, int strict, char *error, int error_size) {
    try {
        return replay_load(path, strict, error, error_size);
    } catch (const std::bad_alloc &) {  // a plan as large as the file, where memory is short
        replay::reset();
        const char why[] = "not enough memory to plan the replay";
        if (error_size > 0) {
            const std::size_t n = std::min(sizeof why, static_cast<std::size_t>(error_size));
            std::memcpy(error, why, n);
            error[n - 1] = '\0';
        }
        return -1;
    }
}

// Ends a replay, strict, loose or market.
void standin_replay_end(void) {
    replay::reset();
    market::reset();
}

int standin_replay_position(void) {
    return static_cast<int>(replay::state.next);
}

int standin_replay_remaining(void) {
    return static_cast<int>(replay::planned() - replay::state.next);
}

int standin_replay_size(void) {
    return static_cast<int>(replay::planned());
}

// Where the frame of the recorded call at `position` is: its record number, or -1.
int standin_replay_planned(int position, unsigned long long *offset) {
    const replay::State &s = replay::state;
    if (position < 0 || static_cast<std::size_t>(position) >= replay::planned()) return -1;
    const replay::Planned &x = s.plan->calls[static_cast<std::size_t>(position)];
    *offset = x.offset;
    return static_cast<int>(x.record);
}

// Recorded events not delivered: those between calls that no qvi_run or qvi_poll came for,
// those a stop or a divergence cut short, those of the calls not yet made, and those recorded
// after the last call.
int standin_replay_undelivered(void) {
    const replay::State &s = replay::state;
    if (!s.plan) return 0;
    std::size_t n = s.cut + s.pending.size();
    if (s.next < s.plan->calls.size())
        n += s.plan->events.size() - s.plan->calls[s.next].before;
    else
        n += s.plan->events.size() - s.plan->staged;
    return static_cast<int>(n);
}

int standin_replay_divergence(int *reason, int *position, int *record, int *got,
                              const char **got_args, int *got_args_len) {
    const replay::State &s = replay::state;
    *reason = static_cast<int>(s.reason);
    if (s.reason == replay::none) return 0;
    *position = static_cast<int>(s.position);
    *record =
        s.position < replay::planned() ? static_cast<int>(s.plan->calls[s.position].record) : -1;
    *got = static_cast<int>(s.got);
    *got_args = s.got_args.data();
    *got_args_len = static_cast<int>(s.got_args.size());
    return 1;
}

}  // extern "C"
