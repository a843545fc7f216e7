// Secrets kept out of recordings: which arguments and results are secrets, and how they are
// recorded in their place (tag `redacted`: the secret's tag and length, none of its bytes).
//
// The table is checked against the catalogue when the recorder is built: every parameter whose
// name says it holds a secret (token, password, key, secret, credential...) must be listed as a
// secret or as not one, so that a new SDK function cannot bring a password in unredacted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "recording.h"
#include "secrets.h"
#include "standin.h"

namespace recorder {

using standin::Id;

using standin::has_secret_args;
using standin::is_secret;
using standin::listed;
using standin::not_secrets;
using standin::Secret;
using standin::secrets;
inline constexpr int result = standin::secret_result;  // the function's result

// ---- the check against the catalogue ----

constexpr char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool contains(std::string_view hay, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        bool same = true;
        for (std::size_t j = 0; j < needle.size() && same; ++j)
            same = lower(hay[i + j]) == needle[j];
        if (same) return true;
    }
    return false;
}

// Words in a parameter's (or a text-returning function's) name that say it holds a secret.
constexpr bool sounds_secret(std::string_view name) {
    constexpr std::string_view words[] = {"token",  "passw", "passwd", "pwd",    "key",
                                          "secret", "cred",  "auth",   "private"};
    for (std::string_view w : words)
        if (contains(name, w)) return true;
    return false;
}

constexpr bool is_ident(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whether every parameter of every function (by the names in its prototype) is either listed
// or sounds harmless, and every text result that sounds secret is listed.
constexpr bool catalogue_checked() {
    for (std::size_t f = 0; f < std::size(qvrec::catalogue); ++f) {
        const std::string_view sig = qvrec::catalogue[f].signature;
        const std::string_view name = qvrec::catalogue[f].name;
        const auto id = static_cast<Id>(f);
        const std::size_t open = sig.find('(');
        if (open == std::string_view::npos) continue;  // exchange, command, fetch: req and res
        if (sig.substr(0, open).find("char") != std::string_view::npos && sounds_secret(name) &&
            !is_secret(id, result) && !listed(not_secrets, std::size(not_secrets), id, result))
            return false;
        int arg = 0;
        std::size_t at = open + 1;
        while (at < sig.size()) {
            std::size_t end = sig.find_first_of(",)", at);
            if (end == std::string_view::npos) end = sig.size();
            std::string_view param = sig.substr(at, end - at);
            std::size_t stop = param.size();
            while (stop > 0 && !is_ident(param[stop - 1])) --stop;
            std::size_t start = stop;
            while (start > 0 && is_ident(param[start - 1])) --start;
            const std::string_view pname = param.substr(start, stop - start);
            if (pname != "void" && !pname.empty()) {
                if (sounds_secret(pname) && !is_secret(id, arg) &&
                    !listed(not_secrets, std::size(not_secrets), id, arg))
                    return false;
                ++arg;
            }
            at = end + 1;
        }
    }
    return true;
}
static_assert(catalogue_checked(),
              "a parameter named like a secret is neither in recorder::secrets nor in "
              "recorder::not_secrets");

// ---- recording ----

// Where the recorder keeps secrets as they are (QVSDK_RECORD_SECRETS=keep).
extern bool keep_secrets;

template <typename E>
void redact(E &e, const char *text) {
    if (text == nullptr) return e.null();  // a NULL pointer hides nothing
    e.tag(qvrec::Tag::redacted);
    e.tag(qvrec::Tag::text);
    e.u32(static_cast<std::uint32_t>(std::strlen(text)));
}

template <Id id, typename E, typename T>
void secret_or_value(E &e, int arg, T v) {
    if constexpr (std::is_same_v<T, const char *>) {
        if (is_secret(id, arg) && !keep_secrets) return redact(e, v);
    }
    e.value(v);
}

// The arguments of one call as qvrec::encode_args gives them, secrets redacted.
template <Id id, bool request, typename E, typename... A>
void encode_args(E &e, A... a) {
    if constexpr (!has_secret_args(id)) {
        qvrec::encode_args<request>(e, a...);
    } else {
        static_assert(!request && qvrec::value_count_v<A...> == sizeof...(A),
                      "a function with secrets takes neither a request nor out-parameters");
        e.u8(static_cast<std::uint8_t>(sizeof...(A)));
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (secret_or_value<id>(e, static_cast<int>(I), a), ...);
        }(std::index_sequence_for<A...>{});
    }
}

}  // namespace recorder
