// Trading and account queries: orders, algorithmic orders, cash, positions, accounts and
// option combinations.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_place_order", exchange(qvi_place_order_pb), adapted},
    Member{"py_qvi_get_unfinished_orders", exchange(qvi_get_unfinished_orders_pb), adapted},
    Member{"py_qvi_get_orders", exchange(qvi_get_orders_pb), adapted},
    Member{"py_qvi_cancel_all_orders", command(qvi_cancel_all_orders_pb), adapted},
    Member{"py_qvi_close_all_positions", exchange(qvi_close_all_positions_pb), adapted},
    Member{"py_qvi_get_execution_reports", exchange(qvi_get_execution_reports_pb), adapted},
    Member{"py_qvi_get_cash", exchange(qvi_get_cash_pb), adapted},
    Member{"py_qvi_get_positions", exchange(qvi_get_positions_pb), adapted},
    // The SDK function is named in the plural.
    Member{"py_qvi_cancel_order", command(qvi_cancel_orders_pb), adapted},
    // No parameters; the SDK function is named after account information.
    Member{"py_qvi_get_accounts", fetch(qvi_get_account_info_pb), plain},
    Member{"py_qvi_get_account_status", exchange(qvi_get_account_status_pb), adapted},
    Member{"py_qvi_raw_func", exchange(qvi_raw_func_pb), adapted},
    Member{"py_qvi_place_algo_orders", exchange(qvi_place_algo_orders_pb), adapted},
    Member{"py_qvi_cancel_algo_orders", command(qvi_cancel_algo_orders_pb), adapted},
    Member{"py_qvi_pause_algo_orders", command(qvi_pause_algo_orders_pb), adapted},
    Member{"py_qvi_get_algo_orders", exchange(qvi_get_algo_orders_pb), adapted},
    Member{"py_qvi_get_entrustable_volume_by_symbol_pb",
           exchange(qvi_get_entrustable_volume_by_symbol_pb), adapted},
    Member{"py_qvi_option_comb_entrust_pb", exchange(qvi_option_comb_entrust_pb), plain},
    Member{"py_qvi_option_sep_entrust_pb", exchange(qvi_option_sep_entrust_pb), plain},
    Member{"py_qvi_get_option_combinable_pb", exchange(qvi_get_option_combinable_pb), plain},
    Member{"py_qvi_get_option_comb_position_pb", exchange(qvi_get_option_comb_position_pb), plain},
    Member{"py_qvi_get_cash_pb_v2", exchange(qvi_get_cash_pb_v2), plain},
    Member{"py_qvi_get_positions_pb_v2", exchange(qvi_get_positions_pb_v2), plain},
};

}  // namespace

Definitions trading() {
    return definitions<table>();
}

}  // namespace csdk::calls
