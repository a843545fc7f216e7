// Market replay (market.h): the plan, loaded from a mapping of the recording by the recording
// parser (reader.h), the index of recorded answers, the event stream, its clock and its pace, and
// the control functions (declared below, exported with the rest of the control API).
//
// The plan holds where the frames are, never copies of them: the index keys are views of the
// recorded arguments in the mapping, the stream is found by walking the checked frames (or, out of
// the file's order, listed by their offsets). Answers and events are decoded from the mapping when
// they are due. The load checks every frame's checksum and decodes the calls; an event's values are
// decoded and checked when it is delivered: a malformed one ends the delivery there, and closing
// the replay reports it.
//
// A large file is loaded in parts walked by two threads at once: each part starts where a frame
// seems to start (a plausible size and a checksum that passes), and the parts are joined in the
// file's order only where the walk of one ended exactly where the next began; elsewhere the walk
// goes on from where it was, alone. Whatever the threads' timing, the plan is the one a walk
// from the first frame gives.
#include "market.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "control.h"
#include "reader.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

extern "C" {
STANDIN_CONTROL_API int standin_market_load(const char *path, double pace, long long from_ns,
                                            long long to_ns, const char *names, int names_size,
                                            char *error, int error_size);
STANDIN_CONTROL_API void standin_market_end(void);
STANDIN_CONTROL_API long long standin_market_info(int which);
STANDIN_CONTROL_API int standin_market_error(char *error, int error_size);
STANDIN_CONTROL_API void standin_market_part_bytes(long long bytes);
}

// What standin_market_info tells.
#define STANDIN_MARKET_EVENTS 0     // events in the stream (the selection)
#define STANDIN_MARKET_DELIVERED 1  // events of the stream delivered (or dropped: no callback)
#define STANDIN_MARKET_ANSWERED 2   // calls answered from the recording
#define STANDIN_MARKET_CLOCK 3      // the stream's time, ns since the recording's start
#define STANDIN_MARKET_START 4      // the recording's start, ns since 1970-01-01 UTC
#define STANDIN_MARKET_ANSWERS 5    // recorded answers not used

namespace standin::market {

bool on = false;

namespace {

// The recorded answers to one question, in the order recorded, and the next one to give.
struct Answers {
    std::vector<std::uint64_t> offsets;
    std::size_t next = 0;
};

struct Key {
    Id id;
    std::string_view args;
    bool operator==(const Key &) const = default;
};

struct KeyHash {
    std::size_t operator()(const Key &k) const {
        return std::hash<std::string_view>()(k.args) * 31u + static_cast<std::size_t>(k.id);
    }
};

// A recorded call with a redacted argument: it answers any call whose arguments match it.
struct Secret {
    std::string_view args;
    std::uint64_t offset;
    bool used = false;
};

struct Plan {
    qvrec::Mapping map;
    std::uint16_t version = qvrec::version;  // of the file's format
    std::int64_t start_ns = 0;               // the header's wall-clock start
    std::unordered_map<Key, Answers, KeyHash> answers;
    std::vector<std::vector<Secret>> secrets = std::vector<std::vector<Secret>>(function_count);
    // The stream: the selected events in the order they arrived. Where that is the file's order
    // and no name is selected, found by walking the checked frames as they are delivered;
    // otherwise listed (the offsets of their frames).
    std::size_t events = 0;
    bool listed = false;
    std::vector<std::uint64_t> stream;
    std::uint64_t end = qvrec::header_size;  // the end of the frames checked
    std::int64_t select_from = 0, select_to = -1;
    std::int64_t from_ns = 0;  // the selection's start: the clock before any event

    bool selected(std::int64_t t) const {
        return t >= select_from && (select_to < 0 || t < select_to);
    }
};

using Clock = std::chrono::steady_clock;

struct State {
    std::shared_ptr<Plan> plan;
    std::size_t next = 0;                       // in the stream
    std::uint64_t cursor = qvrec::header_size;  // a walked stream: no selected event before it
    std::int64_t clock_ns = 0;
    double pace = 0.0;  // 0: as fast as possible; else the recorded pace times this
    bool anchored = false;
    Clock::time_point anchor_wall;
    std::int64_t anchor_ns = 0;
    long long answered = 0;
    std::size_t unused = 0;  // recorded answers not used yet
    std::unique_ptr<qvrec::Decoded> frame = std::make_unique<qvrec::Decoded>();
    std::string text, out;  // the last answer's text and output, NUL-terminated
    std::string error;      // a malformed event frame met in delivery: the replay ends there
};

State state;

// Decodes the frame at `offset` (checked when the plan was loaded).
const qvrec::Decoded &decode(const Plan &plan, std::uint64_t offset, qvrec::Decoded &d) {
    const unsigned char *p = plan.map.data() + offset;
    const char *why = nullptr;
    qvrec::decode_body(p + 4, qvrec::load32(p), plan.version, true, d, why);
    return d;
}

// The answer recorded in the call frame at `offset`, as replay gives it.
replay::Answer answer_at(const Plan &plan, std::uint64_t offset) {
    const qvrec::Decoded &d = decode(plan, offset, *state.frame);
    const qvrec::Value &result = d.values[d.nargs];
    replay::Answer a;
    a.result = static_cast<qvrec::Tag>(result.tag);
    a.integer = result.integer;
    a.real = result.real;
    if (a.result == qvrec::Tag::text || a.result == qvrec::Tag::bytes) {
        state.text.assign(result.view());
        a.text = state.text.c_str();
    } else if (result.tag == qvrec::redacted_tag) {
        // A secret the recorder left out (an encrypted token): a placeholder of its length.
        a.result = static_cast<qvrec::Tag>(result.sub);
        state.text.assign(result.length, '*');
        a.text = state.text.c_str();
    }
    if (d.nouts >= 1) {
        const qvrec::Value &out = d.values[d.nargs + 1];
        a.out = static_cast<qvrec::Tag>(out.tag);
        if (a.out == qvrec::Tag::bytes || a.out == qvrec::Tag::text) {
            state.out.assign(out.view());
            a.out_data = state.out.c_str();
        }
    }
    if (d.nouts >= 2) a.out_len = static_cast<int>(d.values[d.nargs + 2].integer);
    return a;
}

// The number of the frame at `offset` (one the load walked to), counted from the first: told
// when a frame is refused, found by walking the frames' sizes again.
std::size_t frame_number(const Plan &plan, std::uint64_t offset) {
    std::size_t index = 0;
    for (std::uint64_t at = qvrec::header_size; at < offset; ++index)
        at += 8 + static_cast<std::uint64_t>(qvrec::load32(plan.map.data() + at));
    return index;
}

// When the event recorded at `t` is due at the pace asked for.
Clock::time_point due_at(std::int64_t t) {
    const double after = static_cast<double>(t - state.anchor_ns) / state.pace;
    return state.anchor_wall + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double, std::nano>(after > 0 ? after : 0));
}

// Waits until the event recorded at `t` is due; false when the run was stopped meanwhile. Waits
// in short slices so that a stop is seen soon.
bool wait_until_due(std::int64_t t) {
    if (state.pace <= 0.0) return true;
    const Clock::time_point due = due_at(t);
    for (Clock::time_point at = Clock::now(); at < due; at = Clock::now()) {
        if (stop_requested_now()) return false;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(due - at, std::chrono::milliseconds(5)));
    }
    return true;
}

bool due_now(std::int64_t t) {
    return state.pace <= 0.0 || Clock::now() >= due_at(t);
}

// The offset of the stream's next event frame (there is one).
std::uint64_t next_event(const Plan &plan) {
    if (plan.listed) return plan.stream[state.next];
    const unsigned char *p = plan.map.data();
    std::uint64_t at = state.cursor;
    while (at < plan.end) {  // frames the load checked: their sizes hold
        const unsigned char *body = p + at + 4;
        if (body[0] == static_cast<unsigned char>(qvrec::Frame::event) &&
            plan.selected(static_cast<std::int64_t>(qvrec::load64(body + 24))))
            break;
        at += 8 + static_cast<std::uint64_t>(qvrec::load32(p + at));
    }
    state.cursor = at;
    return at;
}

// Delivers the stream from its cursor. `run`: until it is exhausted or the run is stopped,
// waiting for each event's time at the pace asked for; otherwise (a poll) the events due now.
void deliver(bool run) {
    if (!state.plan) return;
    // Held for the whole delivery: a reset from one of its events leaves the plan readable.
    const std::shared_ptr<Plan> plan = state.plan;
    const auto owned = std::make_unique<qvrec::Decoded>();  // its own: an event may poll
    qvrec::Decoded &d = *owned;
    std::string name;
    while (state.plan == plan && state.error.empty() && state.next < plan->events) {
        if (run && stop_requested_now()) return;
        const std::uint64_t offset = next_event(*plan);
        const unsigned char *p = plan->map.data() + offset;
        const char *why = nullptr;
        if (!qvrec::decode_event(p + 4, qvrec::load32(p), d) &&
            !qvrec::decode_body(p + 4, qvrec::load32(p), plan->version, true, d, why)) {
            state.error = qvrec::malformed_text(offset, frame_number(*plan, offset), why);
            return;
        }
        if (state.pace > 0.0 && !state.anchored) {  // the pace counts from the first event
            state.anchored = true;
            state.anchor_wall = Clock::now();
            state.anchor_ns = d.time;
        }
        if (run ? !wait_until_due(d.time) : !due_now(d.time)) return;
        ++state.next;
        state.cursor = offset + 8 + d.size;
        state.clock_ns = d.time;
        qvi_event_callback cb = current_callback();
        count_event(cb != nullptr);
        if (cb == nullptr) continue;
        const qvrec::Value &text = d.values[0], &data = d.values[1];
        const bool text_null = text.tag == static_cast<std::uint8_t>(qvrec::Tag::null);
        const bool data_null = data.tag == static_cast<std::uint8_t>(qvrec::Tag::null);
        name.assign(text.view());  // a C text: NUL-terminated
        cb(text_null ? nullptr : name.c_str(),
           data_null ? nullptr : reinterpret_cast<const char *>(data.bytes), d.length);
    }
}

}  // namespace

bool find(Id id, const std::string &args, replay::Answer &x) {
    if (!state.plan) return false;
    Plan &plan = *state.plan;
    std::uint64_t offset = 0;
    if (auto it = plan.answers.find(Key{id, args}); it != plan.answers.end()) {
        Answers &a = it->second;
        if (a.next < a.offsets.size()) offset = a.offsets[a.next++];
    }
    if (offset == 0) {
        for (Secret &s : plan.secrets[static_cast<std::size_t>(id)]) {
            if (!s.used && qvrec::args_match(s.args, args, true)) {
                s.used = true;
                offset = s.offset;
                break;
            }
        }
    }
    if (offset == 0) return false;
    --state.unused;
    ++state.answered;
    journal_mark_recorded();
    x = answer_at(plan, offset);
    return true;
}

long long now() {
    ++state.answered;
    journal_mark_recorded();
    return state.plan ? state.plan->start_ns + state.clock_ns : 0;
}

double now_plus() {
    return static_cast<double>(now()) / 1e9;
}

void run() {
    run_begin();
    deliver(true);
    run_end(stop_requested_now());
}

void poll() {
    deliver(false);
}

void reset() {
    on = false;
    state = State{};
}

namespace {

// A recorded call that returned: an answer for the index.
struct Recorded {
    std::uint64_t seq, offset;
    std::string_view args;
    Id id;
    bool redacted;
};

// What to select from the file.
struct Selection {
    std::uint16_t version;
    std::int64_t from_ns, to_ns;
    const std::unordered_set<std::string_view> *names;  // null: every event
};

// One part of the file: the frames from `from` (where one starts, or seems to) to the first at
// or beyond `to`, walked by one thread.
struct Part {
    std::size_t from = 0, to = 0;
    std::size_t end = 0;     // where its walk ended: the next frame's offset
    std::size_t frames = 0;  // frames walked
    bool stopped = false;    // at damage or a malformed frame: the file is read no further
    std::string error;       // the malformed frame, as the text refusing the file
    std::size_t events = 0;  // selected
    std::uint64_t first_seq = 0, last_seq = 0;
    bool in_order = true;  // the selected events' sequence numbers rising
    std::vector<Recorded> calls;

    // Appends the part that follows this one.
    void append(Part &next) {
        if (events != 0 && next.events != 0) in_order = in_order && next.first_seq > last_seq;
        in_order = in_order && next.in_order;
        if (events == 0) first_seq = next.first_seq;
        if (next.events != 0) last_seq = next.last_seq;
        events += next.events;
        frames += next.frames;
        end = next.end;
        stopped = next.stopped;
        error = std::move(next.error);
        calls.insert(calls.end(), next.calls.begin(), next.calls.end());
    }
};

// Asks the system to map the pages of [from, to) now, in one call rather than page fault by
// page fault: every page is read (the walk now, the run again). A kernel without it (before
// 5.14) faults them in as they are read.
void populate(const qvrec::Mapping &map, std::size_t from, std::size_t to) {
#if defined(__linux__) && defined(MADV_POPULATE_READ)
    static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    from = from / page * page;
    to = std::min(to, map.size());
    if (to > from)
        madvise(const_cast<unsigned char *>(map.data()) + from, to - from, MADV_POPULATE_READ);
#else
    (void)map;
    (void)from;
    (void)to;
#endif
}

// Walks the part's frames, numbered from `index`: checks each against its checksum, decodes the
// calls (and, selecting by name, the events), counts the selected events and keeps the answers.
void walk(const qvrec::Mapping &map, const Selection &sel, Part &part, std::size_t index,
          qvrec::Decoded &frame) {
    populate(map, part.from, part.to);
    qvrec::Scanner scan(map.data(), map.size(), sel.version, true);
    scan.light_events = true;  // decoded when delivered
    scan.at = part.from;
    scan.index = index;
    while (scan.at < part.to && scan.next(frame)) {
        const qvrec::Decoded &d = frame;
        if (d.kind == qvrec::Frame::event) {
            if (d.time < sel.from_ns || (sel.to_ns >= 0 && d.time >= sel.to_ns)) continue;
            if (sel.names != nullptr) {  // selecting by name: the event decoded now
                const char *why = nullptr;
                if (!qvrec::decode_body(d.body, d.size, sel.version, true, frame, why)) {
                    part.error = qvrec::malformed_text(d.offset, d.index, why);
                    part.stopped = true;
                    part.end = d.offset;
                    part.frames = d.index - index;
                    return;
                }
                if (d.values[0].tag != static_cast<std::uint8_t>(qvrec::Tag::text) ||
                    !sel.names->contains(d.values[0].view()))
                    continue;
            }
            if (part.events++ == 0)
                part.first_seq = d.seq;
            else
                part.in_order = part.in_order && d.seq > part.last_seq;
            part.last_seq = d.seq;
        } else if (d.kind == qvrec::Frame::call) {
            // Only a call that returned holds an answer; a redacted output cannot be given.
            if (d.nouts > 0 && d.values[d.nargs + 1].tag == qvrec::redacted_tag) continue;
            part.calls.push_back(
                {d.seq, d.offset, d.args(), static_cast<Id>(d.function), d.redacted_args});
        }
    }
    part.end = scan.at;
    part.frames = scan.index - index;
    if (!scan.error.empty()) {
        part.error = scan.error;
        part.stopped = true;
    } else if (scan.damage != 0) {
        part.stopped = true;
    }
}

// Where a frame seems to start, at or after `from`: a plausible size and kind, and a checksum
// that passes; 0 when none is found within a bounded search (a file made to defeat it costs a
// bounded time, and its parts are walked by one thread). A frame's payload may hold what looks
// like a frame: the walk from before finds whether it really starts one.
std::size_t find_frame(const qvrec::Mapping &map, std::size_t from) {
    const unsigned char *p = map.data();
    const std::size_t size = map.size();
    std::size_t budget = std::size_t{1} << 20;  // bytes checksummed
    for (std::size_t at = from; at < from + 65536 && size - at >= 8 + qvrec::frame_head; ++at) {
        const std::uint32_t n = qvrec::load32(p + at);
        const unsigned kind = p[at + 4];
        if (n < qvrec::frame_head || n > budget || size - at - 8 < n ||
            kind < static_cast<unsigned>(qvrec::Frame::call) ||
            kind > static_cast<unsigned>(qvrec::Frame::note))
            continue;
        budget -= n;
        if (crc32c::compute(p + at, 4 + static_cast<std::size_t>(n)) ==
            qvrec::load32(p + at + 4 + n))
            return at;
    }
    return 0;
}

std::size_t part_bytes = 0;  // 0: the default
constexpr std::size_t default_part_bytes = std::size_t{4} << 20;

// Walks the frames of the file: in parts on two threads where it is large enough, joined into
// what one walk from the first frame gives (its error text included).
Part walk_all(const qvrec::Mapping &map, const Selection &sel) {
    const std::size_t size = map.size(), bytes = part_bytes != 0 ? part_bytes : default_part_bytes;
    std::vector<Part> parts(1);
    parts[0].from = qvrec::header_size;
    // One processor: one walk (unless the tests ask for parts).
    const bool split = part_bytes != 0 || std::thread::hardware_concurrency() > 1;
    for (std::size_t at = qvrec::header_size + bytes;
         split && size > bytes && at < size - bytes / 2; at += bytes) {
        const std::size_t start = find_frame(map, at);
        if (start > parts.back().from) {
            parts.back().to = start;
            parts.emplace_back().from = start;
        }
    }
    parts.back().to = size;
    auto first = std::make_unique<qvrec::Decoded>();
    if (parts.size() == 1) {
        walk(map, sel, parts[0], 0, *first);
        return std::move(parts[0]);
    }
    std::atomic<std::size_t> next{0};
    std::exception_ptr failed[2];
    auto work = [&](qvrec::Decoded *frame, std::exception_ptr &failure) {
        try {
            std::unique_ptr<qvrec::Decoded> own;
            if (frame == nullptr) frame = (own = std::make_unique<qvrec::Decoded>()).get();
            for (std::size_t k; (k = next.fetch_add(1)) < parts.size();)
                walk(map, sel, parts[k], 0, *frame);
        } catch (...) {
            failure = std::current_exception();
            next = parts.size();
        }
    };
    std::thread helper;
    try {
        helper = std::thread(work, nullptr, std::ref(failed[1]));
    } catch (const std::system_error &) {  // no second thread: this one walks every part
    }
    work(first.get(), failed[0]);
    if (helper.joinable()) helper.join();
    for (const std::exception_ptr &e : failed)
        if (e) std::rethrow_exception(e);
    // Joined in order, as far as each walk ended where the next part begins.
    Part all = std::move(parts[0]);
    for (std::size_t k = 1; k < parts.size() && !all.stopped; ++k) {
        if (all.end != parts[k].from) {  // the next part did not start at a frame: walk on
            Part rest;
            rest.from = all.end;
            rest.to = size;
            walk(map, sel, rest, all.frames, *first);
            all.append(rest);
            break;
        }
        if (!parts[k].error.empty()) {  // its frame numbered as counted from the first
            Part again;
            again.from = parts[k].from;
            again.to = parts[k].to;
            walk(map, sel, again, all.frames, *first);
            parts[k] = std::move(again);
        }
        all.append(parts[k]);
    }
    return all;
}

int load(const char *path, double pace, long long from_ns, long long to_ns, const char *names,
         int names_size, std::string &message) {
    auto plan = std::make_shared<Plan>();
    qvrec::Header header;
    if (!plan->map.open(path, message) ||
        !qvrec::read_header(plan->map.data(), plan->map.size(), header, message))
        return -1;
    if (!header.own_catalogue()) {
        message = "recorded against another SDK catalogue (" + std::to_string(header.functions) +
                  " functions; the stand-in's: " + std::to_string(function_count) + ")";
        return -1;
    }
    plan->start_ns = header.start_ns;
    plan->version = header.version;
    plan->from_ns = from_ns > 0 ? from_ns : 0;
    plan->select_from = from_ns;
    plan->select_to = to_ns;
    std::unordered_set<std::string_view> wanted;
    for (int at = 0; names != nullptr && at < names_size;) {
        const std::string_view name(names + at, std::strlen(names + at));
        wanted.insert(name);
        at += static_cast<int>(name.size()) + 1;
    }
    Part all =
        walk_all(plan->map, Selection{header.version, from_ns, to_ns, names ? &wanted : nullptr});
    if (!all.error.empty()) {
        message = std::move(all.error);
        return -1;
    }
    // The pages read stay mapped: the run reads the events again (resident memory is the file's
    // pages, which the system takes back as it needs, being the file's own).
    plan->end = all.end;
    plan->events = all.events;
    // Events are written as they arrive, in order but for threads racing to write; calls as
    // they return.
    if (!all.in_order || names != nullptr) {
        plan->listed = true;
        plan->stream.reserve(all.events);
        const unsigned char *p = plan->map.data();
        auto frame = std::make_unique<qvrec::Decoded>();
        for (std::uint64_t at = qvrec::header_size; at < all.end;
             at += 8 + static_cast<std::uint64_t>(qvrec::load32(p + at))) {
            const unsigned char *body = p + at + 4;
            if (body[0] != static_cast<unsigned char>(qvrec::Frame::event) ||
                !plan->selected(static_cast<std::int64_t>(qvrec::load64(body + 24))))
                continue;
            const char *why = nullptr;
            if (names != nullptr &&  // decoded by the walk already
                (!qvrec::decode_body(body, qvrec::load32(p + at), header.version, true, *frame,
                                     why) ||
                 frame->values[0].tag != static_cast<std::uint8_t>(qvrec::Tag::text) ||
                 !wanted.contains(frame->values[0].view())))
                continue;
            plan->stream.push_back(at);
        }
        if (!all.in_order) {
            auto seq = [p](std::uint64_t offset) { return qvrec::load64(p + offset + 4 + 8); };
            std::stable_sort(plan->stream.begin(), plan->stream.end(),
                             [&](std::uint64_t a, std::uint64_t b) { return seq(a) < seq(b); });
        }
    }
    std::vector<Recorded> &calls = all.calls;
    std::stable_sort(calls.begin(), calls.end(),
                     [](const Recorded &a, const Recorded &b) { return a.seq < b.seq; });
    for (const Recorded &c : calls) {
        if (c.redacted)
            plan->secrets[static_cast<std::size_t>(c.id)].push_back({c.args, c.offset});
        else
            plan->answers[Key{c.id, c.args}].offsets.push_back(c.offset);
    }
    reset();
    state.plan = std::move(plan);
    state.unused = calls.size();
    state.pace = pace > 0.0 ? pace : 0.0;
    state.clock_ns = state.plan->from_ns;
    on = true;
    return 0;
}

}  // namespace
}  // namespace standin::market

using namespace standin;

extern "C" {

// Loads the recording at `path` and starts a market replay of it: 0, or -1 with `error` naming
// what is wrong. `pace`: 0 as fast as possible, else the recorded pace times this; the events
// recorded in [from_ns, to_ns) (ns since the recording's start; to_ns < 0: to the end) whose
// text is among the NUL-terminated `names` (`names_size` bytes; NULL: every event).
int standin_market_load(const char *path, double pace, long long from_ns, long long to_ns,
                        const char *names, int names_size, char *error, int error_size) {
    std::string message;
    int status;
    replay::reset();
    market::reset();
    try {
        status = market::load(path, pace, from_ns, to_ns, names, names_size, message);
    } catch (const std::bad_alloc &) {
        market::reset();
        message = "not enough memory to plan the market replay";
        status = -1;
    }
    if (status != 0 && error_size > 0) {
        const std::size_t n = std::min(message.size(), static_cast<std::size_t>(error_size - 1));
        std::memcpy(error, message.data(), n);
        error[n] = '\0';
    }
    return status;
}

// The malformed event frame that ended the delivery, as the text refusing the file: its length
// (0: none), at most error_size - 1 bytes of it copied, NUL-terminated.
int standin_market_error(char *error, int error_size) {
    const std::string &e = market::state.error;
    if (error_size > 0) {
        const std::size_t n = std::min(e.size(), static_cast<std::size_t>(error_size - 1));
        std::memcpy(error, e.data(), n);
        error[n] = '\0';
    }
    return static_cast<int>(e.size());
}

// The size of the parts a large file is loaded in (0: the default, 4 MiB): tests make it small
// to walk small files in parts.
void standin_market_part_bytes(long long bytes) {
    market::part_bytes = bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

void standin_market_end(void) {
    market::reset();
}

long long standin_market_info(int which) {
    const market::State &s = market::state;
    switch (which) {
        case STANDIN_MARKET_EVENTS:
            return s.plan ? static_cast<long long>(s.plan->events) : 0;
        case STANDIN_MARKET_DELIVERED:
            return static_cast<long long>(s.next);
        case STANDIN_MARKET_ANSWERED:
            return s.answered;
        case STANDIN_MARKET_CLOCK:
            return s.clock_ns;
        case STANDIN_MARKET_START:
            return s.plan ? s.plan->start_ns : 0;
        case STANDIN_MARKET_ANSWERS:
            return static_cast<long long>(s.unused);
        default:
            return -1;
    }
}

}  // extern "C"
