// Reference data and trading calendars: symbols, instruments, sessions and trading times,
// varieties, constituents and classifications, trading dates and dividends.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_get_symbol_infos", exchange(qvi_get_symbol_infos), plain},
    Member{"py_qvi_get_symbols_v2", exchange(qvi_get_symbols_v2), plain},
    Member{"py_qvi_get_history_symbol", exchange(qvi_get_history_symbol), plain},
    Member{"py_qvi_get_instrumentInfos", exchange(qvi_get_instrumentInfos), plain},
    Member{"py_qvi_get_fuzzy_match_instrumentInfos", exchange(qvi_get_fuzzy_match_instrumentInfos),
           plain},
    Member{"py_qvi_get_history_instruments", exchange(qvi_get_history_instruments), plain},
    Member{"py_qvi_get_instruments", exchange(qvi_get_instruments), plain},
    Member{"py_qvi_get_trading_session", exchange(qvi_get_trading_session), plain},
    Member{"py_qvi_get_trading_time", exchange(qvi_get_trading_time), plain},
    Member{"py_qvi_get_trading_times_ext", exchange(qvi_get_trading_times_ext), plain},
    Member{"py_qvi_get_contract_expire_rest_days", exchange(qvi_get_contract_expire_rest_days),
           plain},
    Member{"py_qvi_get_varietyinfos", exchange(qvi_get_varietyinfos), plain},
    Member{"py_qvi_get_continuous_contracts", exchange(qvi_get_continuous_contracts), plain},
    Member{"py_qvi_get_constituents", exchange(qvi_get_constituents), plain},
    Member{"py_qvi_get_sector", exchange(qvi_get_sector), plain},
    Member{"py_qvi_get_industry", exchange(qvi_get_industry), plain},
    Member{"py_qvi_get_concept", exchange(qvi_get_concept), plain},
    Member{"py_qvi_get_trading_dates", exchange(qvi_get_trading_dates), plain},
    Member{"py_qvi_get_previous_trading_date", exchange(qvi_get_previous_trading_date), plain},
    Member{"py_qvi_get_next_trading_date", exchange(qvi_get_next_trading_date), plain},
    Member{"py_qvi_get_previous_n_trading_dates", exchange(qvi_get_previous_n_trading_dates),
           plain},
    Member{"py_qvi_get_next_n_trading_dates", exchange(qvi_get_next_n_trading_dates), plain},
    // The Python name lacks the "qvi_" of the SDK function.
    Member{"py_get_trading_dates_by_year", exchange(qvi_get_trading_dates_by_year), plain},
    Member{"py_qvi_get_dividends", exchange(qvi_get_dividends), plain},
    Member{"py_qvi_get_dividends_snapshot", exchange(qvi_get_dividends_snapshot), plain},
};

}  // namespace

Definitions reference_data() {
    return definitions<table>();
}

}  // namespace csdk::calls
