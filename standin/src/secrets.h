// The secrets the SDK's functions take or give: the arguments and results the recorder
// redacts, and that the reader looks at to tell whether a recording holds any in clear.
// The recorder checks this table against the catalogue when it is built (redaction.h).
#pragma once

#include <cstddef>
#include <iterator>

#include "standin.h"

namespace standin {

inline constexpr int secret_result = -1;  // the function's result, not an argument

struct Secret {
    Id id;
    int arg;  // the recorded argument's index (these functions take no request), or the result
};

// Every secret the SDK's functions take or give.
inline constexpr Secret secrets[] = {
    {Id::qvi_set_token, 0},     // token
    {Id::qvi_set_apitoken, 0},  // token
    {Id::qvi_get_encrypted_token, secret_result},
    {Id::qvi_set_ctp_md_info, 2},  // password
    {Id::qvi_set_bus_info, 2},     // password
    {Id::qvi_set_bus_secure, 3},   // tlskey: the TLS private key
};

// Parameters whose names sound like secrets but are not (none today).
inline constexpr Secret not_secrets[] = {{Id::count, 0}};

constexpr bool listed(const Secret *table, std::size_t n, Id id, int arg) {
    for (std::size_t i = 0; i < n; ++i)
        if (table[i].id == id && table[i].arg == arg) return true;
    return false;
}

constexpr bool is_secret(Id id, int arg) {
    return listed(secrets, std::size(secrets), id, arg);
}

constexpr bool has_secret_args(Id id) {
    for (const Secret &s : secrets)
        if (s.id == id && s.arg != secret_result) return true;
    return false;
}

}  // namespace standin
