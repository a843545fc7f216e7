// Connection, backtest, subscription and re-ordering wrappers.
//
// One row per wrapper: its Python parameters and the C function it calls. Most rows are the SDK
// function itself; a small lambda stands in where the Python parameters differ from the C call
// (constant arguments, out-parameters, a status to compare).
#include "module/function.h"
#include "qvsdk/qvsdk.h"

namespace csdk {
namespace {

// py_qvi_current converts in the order of the C call: symbols, the flag, then fields.
constexpr int current_order[] = {0, 2, 1};

const auto setup = std::tuple{
    // Connection and credentials.
    Wrapper{"py_qvi_set_token", {"token"}, qvi_set_token},
    Wrapper{"py_qvi_set_apitoken", {"token"}, qvi_set_apitoken},
    Wrapper{"py_qvi_get_encrypted_token", qvi_get_encrypted_token},
    Wrapper{"py_qvi_get_orgcode", qvi_get_orgcode},
    Wrapper{"py_qvi_set_serv_addr", {"addr"}, qvi_set_serv_addr},
    Wrapper{"py_qvi_set_serv_addr_v5", {"addr", "orgcode", "site_id"}, qvi_set_serv_addr_v5},
    Wrapper{"py_qvi_get_serv_addr",
            {"serv_id"},
            +[](const char *serv_id) {
                // The address belongs to the SDK; it is copied only when the status says success.
                TextReply r{0, nullptr};
                r.status = qvi_get_serv_addr(serv_id, &r.text);
                return r;
            }},
    Wrapper{"py_qvi_set_account_id", {"account_ids"}, qvi_set_account_id},
    Wrapper{"py_qvi_set_strategy_id", {"strategy_id"}, qvi_set_strategy_id},
    // The mode is checked as a 32-bit integer before it becomes the SDK's flag.
    Wrapper{"py_qvi_set_mode_consistency",
            {"mode"},
            +[](int mode) { qvi_set_mode_consistency(mode != 0); }},
    // The two reserved arguments are always null.
    Wrapper{"py_qvi_set_version",
            {"sdk_version", "sdk_lang"},
            +[](const char *sdk_version, const char *sdk_lang) {
                qvi_set_version(sdk_version, sdk_lang, nullptr, nullptr);
            }},
    Wrapper{"py_qvi_set_mfp", {"mfp"}, qvi_set_mfp},
    Wrapper{"py_qvi_set_ctp_md_info",
            {"front_addresses", "user_name", "password"},
            qvi_set_ctp_md_info},
    Wrapper{"py_qvi_use_dsproxy", qvi_use_dsproxy},
    Wrapper{"py_qvi_set_simtrade_only", qvi_set_simtrade_only},
    Wrapper{"py_qvi_set_max_wait_time", {"max_wait_time"}, qvi_set_max_wait_time},

    // Backtest configuration.
    Wrapper{"py_qvi_set_backtest_config",
            {"start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio",
             "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
             "option_float_margin_ratio2", "adjust", "match_mode", "check_cache"},
            qvi_set_backtest_config},
    // `req` is the intraday setting, an integer.
    Wrapper{"py_qvi_set_backtest_intraday", {"req"}, qvi_set_backtest_intraday},
    Wrapper{"py_qvi_set_backtest_threadnum", {"n"}, qvi_set_backtest_threadnum},

    // Subscription and snapshots.
    Wrapper{"py_qvi_subscribe", {"symbols", "frequency", "unsubscribe_previous"}, qvi_subscribe},
    Wrapper{"py_qvi_unsubscribe", {"symbols", "frequency"}, qvi_unsubscribe},
    Wrapper{"py_qvi_current",
            {"symbols", "fields", "include_call_auction"},
            fills<const char *, bool, const char *>(qvi_current_pb),
            {.order = current_order}},

    // Smart re-ordering and algorithmic batches.
    Wrapper{"py_qvi_smart_reorder",
            {"symbol", "price", "volume", "side", "order_type", "position_effect", "repeat_n",
             "max_price_offset", "time_out", "time_wait", "account"},
            qvi_smart_reorder},
    Wrapper{"py_qvi_smart_reorder_cancel", {"reorder_id"}, qvi_smart_reorder_cancel},
    Wrapper{"py_qvi_algo_order_batch",
            {"req", "algo_name", "algo_params"},
            +[](RequestArg req, const char *algo_name, const char *algo_params) {
                Reply r{0, nullptr, 0};
                r.status = qvi_algo_order_batch_pb(req.data, req.size, algo_name, algo_params,
                                                   &r.res, &r.res_len);
                return r;
            }},
    Wrapper{"py_qvi_get_child_orders",
            {"account_id", "algo_id"},
            fills<const char *, const char *>(qvi_get_child_orders_pb)},
};

}  // namespace

const Definitions &setup_functions() {
    static const Definitions defs = definitions<setup>();
    return defs;
}

}  // namespace csdk
