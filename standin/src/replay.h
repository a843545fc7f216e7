// Replay: the stand-in answers from a recording instead of from programmed outcomes.
//
// The control module (qvsdk_standin.replaying) names the recording; replay.cpp maps it and plans
// the calls in the order they were made, each with the events delivered inside it (the file is
// read by the one parser of the format, reader.h); every SDK function of the
// stand-in, once it has journalled its arguments, asks replay::call for its answer while a
// replay is on. A call that does not match the next recorded one (another function; in strict
// mode, other arguments) is a divergence: it is kept for the control module to report, the
// call answers with a failure, and so does every later call, while no more events are
// delivered, so that a run ends as after qvi_stop.
#pragma once

#include <string>
#include <tuple>
#include <type_traits>

#include "recording.h"
#include "standin.h"

namespace standin::replay {

inline constexpr int diverged_status = -1;

extern bool on;

// The outcome of one call, as recorded (or a failure after a divergence).
struct Answer {
    bool failed = false;
    qvrec::Tag result = qvrec::Tag::none;
    long long integer = 0;
    double real = 0.0;
    const char *text = nullptr;  // a text result
    qvrec::Tag out = qvrec::Tag::null;
    const char *out_data = nullptr;  // the response or text output
    int out_len = 0;
};

// Matches a call (its arguments encoded as the recording encodes them) with the next recorded
// one, delivers the events recorded inside it, and gives its outcome.
Answer take(Id id, const std::string &args);

// Ends any replay (standin_replay_end; the stand-in's reset leaves it on).
void reset();

// Answers a call with `x`: its outputs written, its result returned (market replay answers
// the calls it finds in the recording this way too).
template <typename R, typename... A>
R apply(const Answer &x, A... a) {
    if constexpr (qvrec::ends_with_response<A...>()) {
        auto outs = std::make_tuple(a...);
        char **res = std::get<sizeof...(A) - 2>(outs);
        int *res_len = std::get<sizeof...(A) - 1>(outs);
        if (res != nullptr) *res = const_cast<char *>(x.out_data);
        if (res_len != nullptr) *res_len = x.out_len;
    } else if constexpr (qvrec::ends_with_text_out<A...>()) {
        char **out = std::get<sizeof...(A) - 1>(std::make_tuple(a...));
        if (out != nullptr) *out = const_cast<char *>(x.out_data);
    }
    if constexpr (std::is_same_v<R, int>) {
        return x.failed ? diverged_status : static_cast<int>(x.integer);
    } else if constexpr (std::is_same_v<R, long long>) {
        return x.integer;
    } else if constexpr (std::is_same_v<R, double>) {
        return x.real;
    } else if constexpr (std::is_same_v<R, const char *>) {
        return x.text;
    }
}

template <Id id, bool request, typename R, typename... A>
R call(A... a) {
    std::string args;
    qvrec::Encoder e(args);
    qvrec::encode_args<request>(e, a...);
    return apply<R>(take(id, args), a...);
}

}  // namespace standin::replay
