// Futures, funds, bonds and options data.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_fut_get_continuous_contracts", exchange(qvi_fut_get_continuous_contracts),
           plain},
    Member{"py_qvi_fut_get_contract_info", exchange(qvi_fut_get_contract_info), plain},
    Member{"py_qvi_fut_get_transaction_ranking", exchange(qvi_fut_get_transaction_ranking), plain},
    Member{"py_qvi_fut_get_transaction_rankings", exchange(qvi_fut_get_transaction_rankings),
           plain},
    Member{"py_qvi_fut_get_warehouse_receipt", exchange(qvi_fut_get_warehouse_receipt), plain},
    // The SDK speaks of components where the Python name speaks of constituents.
    Member{"py_qvi_fnd_get_etf_constituents", exchange(qvi_fnd_get_etf_components), plain},
    Member{"py_qvi_fnd_get_portfolio", exchange(qvi_fnd_get_portfolio), plain},
    Member{"py_qvi_fnd_get_net_value", exchange(qvi_fnd_get_net_value), plain},
    Member{"py_qvi_fnd_get_adj_factor", exchange(qvi_fnd_get_adj_factor), plain},
    Member{"py_qvi_fnd_get_dividend", exchange(qvi_fnd_get_dividend), plain},
    Member{"py_qvi_fnd_get_split", exchange(qvi_fnd_get_split), plain},
    Member{"py_qvi_fnd_get_share", exchange(qvi_fnd_get_share), plain},
    Member{"py_qvi_bnd_get_conversion_price", exchange(qvi_bnd_get_conversion_price), plain},
    Member{"py_qvi_bnd_get_call_info", exchange(qvi_bnd_get_call_info), plain},
    Member{"py_qvi_bnd_get_put_info", exchange(qvi_bnd_get_put_info), plain},
    Member{"py_qvi_bnd_get_amount_change", exchange(qvi_bnd_get_amount_change), plain},
    Member{"py_qvi_bnd_get_analysis", exchange(qvi_bnd_get_analysis), plain},
    Member{"py_qvi_get_convertible_bond_call_info", exchange(qvi_get_convertible_bond_call_info),
           plain},
    Member{"py_qvi_option_get_symbols_by_exchange", exchange(qvi_option_get_symbols_by_exchange),
           plain},
    Member{"py_qvi_option_get_symbols_by_in_at_out", exchange(qvi_option_get_symbols_by_in_at_out),
           plain},
    Member{"py_qvi_option_get_delisted_dates", exchange(qvi_option_get_delisted_dates), plain},
    Member{"py_qvi_option_get_exercise_prices", exchange(qvi_option_get_exercise_prices), plain},
};

}  // namespace

Definitions derivatives() {
    return definitions<table>();
}

}  // namespace csdk::calls
