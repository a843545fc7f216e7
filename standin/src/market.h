// Market replay: a recorded session's market played to a strategy that may differ from the one
// recorded.
//
// The events come from the recording, all of them (or those selected by a time range and a set
// of names), as one stream in the order they arrived; qvi_run delivers the stream until it is
// exhausted or the strategy stops the run, qvi_poll the events due. A call is answered from the
// recording when the recording holds an answer to the very same question (the same function,
// the same arguments, request bytes included; a redacted recorded argument matches any value of
// its kind), each recorded answer once, in the order recorded; every other call falls through to
// the stand-in's programmed outcomes. The journal marks the calls answered from the recording.
// qvi_now and qvi_now_plus tell the recorded session's time at the current point of the stream.
//
// Like the rest of the stand-in's state, the market is used under the interpreter lock.
#pragma once

#include <string>
#include <type_traits>

#include "recording.h"
#include "replay.h"
#include "standin.h"

namespace standin::market {

extern bool on;

// Looks up a recorded answer to this call (its arguments encoded as the recording encodes them):
// true with `x` set, the answer used up and the journal's last call marked, or false.
bool find(Id id, const std::string &args, replay::Answer &x);

// The recorded session's time at the current point of the stream: nanoseconds since 1970-01-01
// UTC (qvi_now), and the same in seconds (qvi_now_plus). The journal's last call is marked as
// answered from the recording.
long long now();
double now_plus();

// Delivers the stream: until it is exhausted or the run is stopped (qvi_run), or the events due
// (qvi_poll: with a pace, those whose time has come; without, the rest of the stream).
void run();
void poll();

// Ends any market replay (standin_replay_end; the stand-in's reset leaves it on).
void reset();

template <Id id, bool request, typename... A>
bool find(replay::Answer &x, A... a) {
    std::string args;
    qvrec::Encoder e(args);
    qvrec::encode_args<request>(e, a...);
    return find(id, args, x);
}

}  // namespace standin::market
