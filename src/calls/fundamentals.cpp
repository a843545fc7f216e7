// Stock fundamentals and corporate data: categories and constituents, dividends and rations,
// shareholders, financial statements and indicators, valuations, money flow.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_stk_get_industry_category", exchange(qvi_stk_get_industry_category), plain},
    Member{"py_qvi_stk_get_industry_constituents", exchange(qvi_stk_get_industry_constituents),
           plain},
    Member{"py_qvi_stk_get_symbol_industry", exchange(qvi_stk_get_symbol_industry), plain},
    Member{"py_qvi_stk_get_sector_category", exchange(qvi_stk_get_sector_category), plain},
    Member{"py_qvi_stk_get_sector_constituents", exchange(qvi_stk_get_sector_constituents), plain},
    Member{"py_qvi_stk_get_symbol_sector", exchange(qvi_stk_get_symbol_sector), plain},
    Member{"py_qvi_stk_get_index_constituents", exchange(qvi_stk_get_index_constituents), plain},
    Member{"py_qvi_stk_get_index_history_constituents",
           exchange(qvi_stk_get_index_history_constituents), plain},
    Member{"py_qvi_stk_get_dividend", exchange(qvi_stk_get_dividend), plain},
    // Neither name carries "qvi_".
    Member{"py_stk_get_ration", exchange(stk_get_ration), plain},
    Member{"py_qvi_stk_get_adj_factor", exchange(qvi_stk_get_adj_factor), plain},
    Member{"py_qvi_stk_get_shareholder_num", exchange(qvi_stk_get_shareholder_num), plain},
    Member{"py_qvi_stk_get_top_shareholder", exchange(qvi_stk_get_top_shareholder), plain},
    Member{"py_qvi_stk_get_share_change", exchange(qvi_stk_get_share_change), plain},
    Member{"py_qvi_stk_get_fundamentals_balance", exchange(qvi_stk_get_fundamentals_balance),
           plain},
    Member{"py_qvi_stk_get_fundamentals_balance_pt", exchange(qvi_stk_get_fundamentals_balance_pt),
           plain},
    Member{"py_qvi_stk_get_fundamentals_cashflow", exchange(qvi_stk_get_fundamentals_cashflow),
           plain},
    Member{"py_qvi_stk_get_fundamentals_cashflow_pt",
           exchange(qvi_stk_get_fundamentals_cashflow_pt), plain},
    Member{"py_qvi_stk_get_fundamentals_income", exchange(qvi_stk_get_fundamentals_income), plain},
    Member{"py_qvi_stk_get_fundamentals_income_pt", exchange(qvi_stk_get_fundamentals_income_pt),
           plain},
    Member{"py_qvi_stk_get_finance_prime", exchange(qvi_stk_get_finance_prime), plain},
    Member{"py_qvi_stk_get_finance_prime_pt", exchange(qvi_stk_get_finance_prime_pt), plain},
    Member{"py_qvi_stk_get_finance_deriv", exchange(qvi_stk_get_finance_deriv), plain},
    Member{"py_qvi_stk_get_finance_deriv_pt", exchange(qvi_stk_get_finance_deriv_pt), plain},
    Member{"py_qvi_stk_get_daily_valuation", exchange(qvi_stk_get_daily_valuation), plain},
    Member{"py_qvi_stk_get_daily_valuation_pt", exchange(qvi_stk_get_daily_valuation_pt), plain},
    Member{"py_qvi_stk_get_daily_mktvalue", exchange(qvi_stk_get_daily_mktvalue), plain},
    Member{"py_qvi_stk_get_daily_mktvalue_pt", exchange(qvi_stk_get_daily_mktvalue_pt), plain},
    Member{"py_qvi_stk_get_daily_basic", exchange(qvi_stk_get_daily_basic), plain},
    Member{"py_qvi_stk_get_daily_basic_pt", exchange(qvi_stk_get_daily_basic_pt), plain},
    Member{"py_qvi_get_fundamentals", exchange(qvi_get_fundamentals), plain},
    Member{"py_qvi_get_fundamentals_n", exchange(qvi_get_fundamentals_n), plain},
    Member{"py_qvi_stk_abnor_change_stocks", exchange(qvi_stk_abnor_change_stocks), plain},
    Member{"py_qvi_stk_abnor_change_detail", exchange(qvi_stk_abnor_change_detail), plain},
    Member{"py_qvi_stk_quota_shszhk_infos", exchange(qvi_stk_quota_shszhk_infos), plain},
    Member{"py_qvi_stk_hk_inst_holding_detail_info", exchange(qvi_stk_hk_inst_holding_detail_info),
           plain},
    Member{"py_qvi_stk_hk_inst_holding_info", exchange(qvi_stk_hk_inst_holding_info), plain},
    Member{"py_qvi_stk_active_stock_top10_shszhk_info",
           exchange(qvi_stk_active_stock_top10_shszhk_info), plain},
    Member{"py_qvi_stk_get_money_flow", exchange(qvi_stk_get_money_flow), plain},
    Member{"py_qvi_stk_get_finance_audit", exchange(qvi_stk_get_finance_audit), plain},
    Member{"py_qvi_stk_get_finance_forecast", exchange(qvi_stk_get_finance_forecast), plain},
};

}  // namespace

Definitions fundamentals() {
    return definitions<table>();
}

}  // namespace csdk::calls
