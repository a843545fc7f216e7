// Connection, backtest, subscription and re-ordering wrappers.
#include "module/function.h"
#include "qvsdk/qvsdk.h"

namespace csdk {
namespace {

// py_qvi_current converts in the order of the C call: symbols, the flag, then fields.
constexpr int current_order[] = {0, 2, 1};

const auto setup = std::tuple{
    Wrapper{"py_qvi_set_token", {"token"}, qvi_set_token},
    Wrapper{"py_qvi_set_mode_consistency",
            {"mode"},
            +[](int mode) { qvi_set_mode_consistency(mode != 0); }},
    Wrapper{"py_qvi_current",
            {"symbols", "fields", "include_call_auction"},
            +[](const char *symbols, bool include_call_auction, const char *fields) {
                Reply r{0, nullptr, 0};
                r.status =
                    qvi_current_pb(symbols, include_call_auction, fields, &r.res, &r.res_len);
                return r;
            },
            {.order = current_order}},
};

}  // namespace

const Definitions &setup_functions() {
    static const Definitions defs = wrapper_definitions<setup>();
    return defs;
}

}  // namespace csdk
