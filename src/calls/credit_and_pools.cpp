// Credit account, new-issue subscription, strategy parameters, instrument pools and the log.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_repay_cash_directly_pb", exchange(qvi_repay_cash_directly_pb), adapted},
    Member{"py_qvi_get_collateral_instruments_pb", exchange(qvi_get_collateral_instruments_pb),
           adapted},
    Member{"py_qvi_get_borrowable_instruments_pb", exchange(qvi_get_borrowable_instruments_pb),
           adapted},
    Member{"py_qvi_get_borrowable_instruments_positions_pb",
           exchange(qvi_get_borrowable_instruments_positions_pb), adapted},
    Member{"py_qvi_get_credit_contracts_pb", exchange(qvi_get_credit_contracts_pb), adapted},
    Member{"py_qvi_get_credit_cash_pb", exchange(qvi_get_credit_cash_pb), adapted},
    Member{"py_qvi_get_ipo_quota_pb", exchange(qvi_get_ipo_quota_pb), adapted},
    Member{"py_qvi_get_ipo_instruments_pb", exchange(qvi_get_ipo_instruments_pb), adapted},
    Member{"py_qvi_get_ipo_match_number_pb", exchange(qvi_get_ipo_match_number_pb), adapted},
    Member{"py_qvi_get_ipo_lot_info_pb", exchange(qvi_get_ipo_lot_info_pb), adapted},
    Member{"py_qvi_get_parameters", exchange(qvi_get_parameters_pb), plain},
    Member{"py_qvi_add_parameters", command(qvi_add_parameters_pb), plain},
    Member{"py_qvi_set_parameters", command(qvi_set_parameters_pb), plain},
    Member{"py_qvi_get_instrument_pool_by_name_pb", exchange(qvi_get_instrument_pool_by_name_pb),
           plain},
    Member{"py_qvi_get_instrument_pools_pb", exchange(qvi_get_instrument_pools_pb), plain},
    Member{"py_qvi_set_instrument_pool_symbols_pb", command(qvi_set_instrument_pool_symbols_pb),
           plain},
    Member{"py_qvi_del_instrument_pool_by_name_pb", command(qvi_del_instrument_pool_by_name_pb),
           plain},
    Member{"py_qvi_log", command(qvi_log_pb), plain},
};

}  // namespace

Definitions credit_and_pools() {
    return definitions<table>();
}

}  // namespace csdk::calls
