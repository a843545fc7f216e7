// The 187 SDK functions of the stand-in, instantiated from the catalogue in qvsdk.h.
//
// Each body records its arguments, lets programmed events arrive, lets the outcome hook decide
// (if the function has one), and answers with the programmed outcome or the default one.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>

#include "market.h"
#include "replay.h"
#include "standin.h"

namespace standin {
namespace {

const char *name_of(Id id);

// Records the arguments of one call (when the journal or an outcome hook wants them) and, for a
// function that answers with a response or a text and has no programmed one, builds the default
// answer "name:arg|arg|...".
class Recorder {
public:
    Recorder(Id id, bool answers)
        : id_(id),
          index_(begin_call(id)),
          hooked_(has_hook(id)),
          keep_(hooked_ || journal_enabled()),
          build_(answers && needs_default(id)) {
        if (build_) {
            fallback_ = name_of(id);
            fallback_ += ':';
        }
    }

    void request(const char *req, int req_len) {
        keep(req, req_len < 0 ? 0 : req_len);
        if (build_) {
            separate();
            if (req != nullptr && req_len > 0) fallback_.append(req, static_cast<size_t>(req_len));
        }
    }
    void add(const char *text) {
        keep(text, text != nullptr ? static_cast<long long>(std::strlen(text)) : 0);
        if (build_) separate(text != nullptr ? text : "");
    }
    void add(int value) {
        keep(Kind::integer, value, 0.0);
        if (build_) separate(std::to_string(value));
    }
    void add(double value) {
        keep(Kind::real, 0, value);
        if (build_) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", value);
            separate(buf);
        }
    }
    void add(bool value) {
        keep(Kind::flag, value ? 1 : 0, 0.0);
        if (build_) separate(value ? "true" : "false");
    }
    void add(qvi_event_callback cb) {
        keep(Kind::integer, static_cast<long long>(reinterpret_cast<std::uintptr_t>(cb)), 0.0);
    }
    // Out-parameters are not arguments.
    void add(char **) {}
    void add(int *) {}

    // The arguments are complete: into the journal, before any event can make another call.
    void recorded() {
        if (keep_) journal_add(id_, args_, hooked_);
    }
    // Events have arrived: the outcome hook, if the function had one when the call began, may
    // now program this call's outcome.
    void settled() const {
        if (hooked_) settle(id_, index_, args_);
    }

    const std::string &fallback() const { return fallback_; }

private:
    void keep(const char *data, long long size) {
        if (!keep_) return;
        if (data == nullptr)
            args_.push_back(Arg{Kind::null, {}, 0, 0.0});
        else
            args_.push_back(Arg{Kind::bytes, std::string(data, static_cast<size_t>(size)), 0, 0.0});
    }
    void keep(Kind kind, long long integer, double real) {
        if (keep_) args_.push_back(Arg{kind, {}, integer, real});
    }
    void separate(const std::string &piece = {}) {
        if (!first_) fallback_ += '|';
        first_ = false;
        fallback_ += piece;
    }
    Id id_;
    int index_;
    bool hooked_;
    bool keep_;
    bool build_;
    bool first_ = true;
    Args args_;
    std::string fallback_;
};

const char *const names[] = {
#define STANDIN_NAME_(name) #name,
#define STANDIN_VALUE_NAME_(ret, name, params, args) #name,
    QVSDK_EXCHANGE_FUNCTIONS(STANDIN_NAME_) QVSDK_COMMAND_FUNCTIONS(STANDIN_NAME_)
        QVSDK_FETCH_FUNCTIONS(STANDIN_NAME_) QVSDK_VALUE_FUNCTIONS(STANDIN_VALUE_NAME_)
#undef STANDIN_NAME_
#undef STANDIN_VALUE_NAME_
};
static_assert(sizeof names / sizeof names[0] == function_count);

const char *name_of(Id id) {
    return names[static_cast<int>(id)];
}

// Which functions answer through (char **res, int *res_len) or one text out-parameter.
using qvrec::ends_with_response;
using qvrec::ends_with_text_out;

template <Id id, typename... A>
void record(Recorder &rec, A... a) {
    if constexpr (id == Id::qvi_algo_order_batch_pb) {
        // (req, req_len, ...): the request is recorded whole, its length is not a value.
        [&rec](const char *req, int req_len, auto... rest) {
            rec.request(req, req_len);
            (rec.add(rest), ...);
        }(a...);
    } else {
        (rec.add(a), ...);
    }
}

}  // namespace

const char *function_name(int id) {
    return id >= 0 && id < function_count ? names[id] : nullptr;
}

// A function taking individual values.
template <Id id, typename R, typename... A>
R value_call(A... a) {
    constexpr bool answers =
        ends_with_response<A...>() || ends_with_text_out<A...>() || std::is_same_v<R, const char *>;
    Recorder rec(id, answers);
    record<id>(rec, a...);
    rec.recorded();
    if constexpr (id == Id::qvi_set_event_callback_pb) set_callback(a...);
    if (replay::on) return replay::call<id, qvrec::takes_request_v<id>, R>(a...);
    // A market replay delivers the recorded market in qvi_run and qvi_poll, tells the recorded
    // time, and answers from the recording what it can; the programmed outcomes the rest.
    const bool market_on = market::on;
    if (market_on) {
        if constexpr (id == Id::qvi_now) {
            return market::now();
        } else if constexpr (id == Id::qvi_now_plus) {
            return market::now_plus();
        } else {
            replay::Answer x;
            const bool found = market::find<id, qvrec::takes_request_v<id>>(x, a...);
            if constexpr (id == Id::qvi_run)
                market::run();
            else if constexpr (id == Id::qvi_poll)
                market::poll();
            if (found) {
                if constexpr (id == Id::qvi_stop) stop();
                return replay::apply<R>(x, a...);
            }
        }
    }
    if constexpr (id == Id::qvi_run) {
        if (!market_on) run();
    } else if constexpr (id == Id::qvi_poll) {
        if (!market_on) poll();
    } else if constexpr (id == Id::qvi_stop) {
        stop();
    } else {
        deliver_hooked(id);
    }
    rec.settled();
    if constexpr (ends_with_response<A...>()) {
        auto args = std::make_tuple(a...);
        response_of(id, rec.fallback(), std::get<sizeof...(A) - 2>(args),
                    std::get<sizeof...(A) - 1>(args));
    } else if constexpr (ends_with_text_out<A...>()) {
        char **out = std::get<sizeof...(A) - 1>(std::make_tuple(a...));
        if (const char *text = text_of(id, rec.fallback()); out != nullptr)
            *out = const_cast<char *>(text);
    }
    if constexpr (std::is_same_v<R, int>) return status_of(id);
    if constexpr (std::is_same_v<R, long long>) return wide_of(id);
    if constexpr (std::is_same_v<R, double>) return real_of(id);
    if constexpr (std::is_same_v<R, const char *>) return text_of(id, rec.fallback());
}

template <Id id>
int exchange_call(const char *req, int req_len, char **res, int *res_len) {
    Recorder rec(id, true);
    rec.request(req, req_len);
    rec.recorded();
    if (replay::on) return replay::call<id, true, int>(req, req_len, res, res_len);
    if (replay::Answer x; market::on && market::find<id, true>(x, req, req_len, res, res_len))
        return replay::apply<int>(x, req, req_len, res, res_len);
    deliver_hooked(id);
    rec.settled();
    response_of(id, rec.fallback(), res, res_len);
    return status_of(id);
}

template <Id id>
int command_call(const char *req, int req_len) {
    Recorder rec(id, false);
    rec.request(req, req_len);
    rec.recorded();
    if (replay::on) return replay::call<id, true, int>(req, req_len);
    if (replay::Answer x; market::on && market::find<id, true>(x, req, req_len))
        return replay::apply<int>(x, req, req_len);
    deliver_hooked(id);
    rec.settled();
    return status_of(id);
}

template <Id id>
int fetch_call(char **res, int *res_len) {
    Recorder rec(id, true);
    rec.recorded();
    if (replay::on) return replay::call<id, false, int>(res, res_len);
    if (replay::Answer x; market::on && market::find<id, false>(x, res, res_len))
        return replay::apply<int>(x, res, res_len);
    deliver_hooked(id);
    rec.settled();
    response_of(id, rec.fallback(), res, res_len);
    return status_of(id);
}

Result result_of(int id) {
    switch (static_cast<Id>(id)) {
#define STANDIN_RESULT_(name) \
    case Id::name:            \
        return Result::status;
        QVSDK_EXCHANGE_FUNCTIONS(STANDIN_RESULT_)
        QVSDK_COMMAND_FUNCTIONS(STANDIN_RESULT_)
        QVSDK_FETCH_FUNCTIONS(STANDIN_RESULT_)
#undef STANDIN_RESULT_
#define STANDIN_VALUE_RESULT_(ret, name, params, args)                        \
    case Id::name:                                                            \
        if constexpr (std::is_same_v<ret, int>) return Result::status;        \
        if constexpr (std::is_same_v<ret, long long>) return Result::wide;    \
        if constexpr (std::is_same_v<ret, double>) return Result::real;       \
        if constexpr (std::is_same_v<ret, const char *>) return Result::text; \
        return Result::none;
        QVSDK_VALUE_FUNCTIONS(STANDIN_VALUE_RESULT_)
#undef STANDIN_VALUE_RESULT_
        default:
            return Result::none;
    }
}

}  // namespace standin

extern "C" {

#define STANDIN_EXCHANGE_(name)                                                       \
    QVSDK_API int name(const char *req, int req_len, char **res, int *res_len) {      \
        return standin::exchange_call<standin::Id::name>(req, req_len, res, res_len); \
    }
#define STANDIN_COMMAND_(name)                                         \
    QVSDK_API int name(const char *req, int req_len) {                 \
        return standin::command_call<standin::Id::name>(req, req_len); \
    }
#define STANDIN_FETCH_(name)                                         \
    QVSDK_API int name(char **res, int *res_len) {                   \
        return standin::fetch_call<standin::Id::name>(res, res_len); \
    }
#define STANDIN_VALUE_(ret, name, params, args)                  \
    QVSDK_API ret name params {                                  \
        return standin::value_call<standin::Id::name, ret> args; \
    }

QVSDK_EXCHANGE_FUNCTIONS(STANDIN_EXCHANGE_)
QVSDK_COMMAND_FUNCTIONS(STANDIN_COMMAND_)
QVSDK_FETCH_FUNCTIONS(STANDIN_FETCH_)
QVSDK_VALUE_FUNCTIONS(STANDIN_VALUE_)

}  // extern "C"
