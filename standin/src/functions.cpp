// The 187 SDK functions of the stand-in, instantiated from the catalogue in qvsdk.h.
//
// Each body records its arguments, lets programmed events arrive, and answers with the
// programmed outcome or the default one.
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <type_traits>

#include "replay.h"
#include "standin.h"

namespace standin {
namespace {

const char *name_of(Id id);

// Records the arguments of one call and, for a function that answers with a response or a
// text and has no programmed one, builds the default answer "name:arg|arg|...".
class Recorder {
public:
    Recorder(Id id, bool answers) : build_(answers && needs_default(id)) {
        if (build_) {
            fallback_ = name_of(id);
            fallback_ += ':';
        }
        journal_begin(id);
    }

    void request(const char *req, int req_len) {
        journal_bytes(req, req_len < 0 ? 0 : req_len);
        if (build_) {
            separate();
            if (req != nullptr && req_len > 0) fallback_.append(req, static_cast<size_t>(req_len));
        }
    }
    void add(const char *text) {
        journal_text(text);
        if (build_) separate(text != nullptr ? text : "");
    }
    void add(int value) {
        journal_integer(value);
        if (build_) separate(std::to_string(value));
    }
    void add(double value) {
        journal_real(value);
        if (build_) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", value);
            separate(buf);
        }
    }
    void add(bool value) {
        journal_flag(value);
        if (build_) separate(value ? "true" : "false");
    }
    void add(qvi_event_callback cb) {
        journal_integer(static_cast<long long>(reinterpret_cast<std::uintptr_t>(cb)));
    }
    // Out-parameters are not arguments.
    void add(char **) {}
    void add(int *) {}

    const std::string &fallback() const { return fallback_; }

private:
    void separate(const std::string &piece = {}) {
        if (!first_) fallback_ += '|';
        first_ = false;
        fallback_ += piece;
    }
    bool build_;
    bool first_ = true;
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
    if constexpr (id == Id::qvi_set_event_callback_pb) set_callback(a...);
    if (replay::on) return replay::call<id, qvrec::takes_request_v<id>, R>(a...);
    if constexpr (id == Id::qvi_run) return run();
    if constexpr (id == Id::qvi_poll) return poll();
    if constexpr (id == Id::qvi_stop) return stop();
    deliver_hooked(id);
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
    if (replay::on) return replay::call<id, true, int>(req, req_len, res, res_len);
    deliver_hooked(id);
    response_of(id, rec.fallback(), res, res_len);
    return status_of(id);
}

template <Id id>
int command_call(const char *req, int req_len) {
    Recorder rec(id, false);
    rec.request(req, req_len);
    if (replay::on) return replay::call<id, true, int>(req, req_len);
    deliver_hooked(id);
    return status_of(id);
}

template <Id id>
int fetch_call(char **res, int *res_len) {
    Recorder rec(id, true);
    if (replay::on) return replay::call<id, false, int>(res, res_len);
    deliver_hooked(id);
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
