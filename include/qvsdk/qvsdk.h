/*
 * qvsdk.h: the C functions of the qvsdk trading and market-data library, declared as c_sdk
 * calls them.
 *
 * Conventions of the library:
 *   - every function is called synchronously on the calling thread, which holds the Python
 *     interpreter lock throughout;
 *   - text arguments are NUL-terminated and valid only for the duration of the call;
 *   - a serialised request travels as (address, length); it may contain NUL bytes;
 *   - a serialised response comes back through (char **res, int *res_len); the buffer belongs
 *     to the library and the caller copies it at once, it never frees it;
 *   - a returned `const char *` is a NUL-terminated string owned by the library;
 *   - the event callback is invoked on a thread that is inside a call into the library
 *     (qvi_run, qvi_poll and the like).
 *
 * The catalogue below lists all 187 functions once. It declares the prototypes here and lets
 * the stand-in library build its bodies from the same list.
 */
#ifndef QVSDK_QVSDK_H
#define QVSDK_QVSDK_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(QVSDK_BUILDING_LIBRARY)
#define QVSDK_API __declspec(dllexport)
#else
#define QVSDK_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QVSDK_API __attribute__((visibility("default")))
#else
#define QVSDK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The one event callback: event text (NUL-terminated), payload and its length. */
typedef void (*qvi_event_callback)(const char *event, const char *data, int len);

/* Exchange calls: int f(const char *req, int req_len, char **res, int *res_len). */
#define QVSDK_EXCHANGE_FUNCTIONS(X)                \
    X(qvi_place_order_pb)                          \
    X(qvi_get_unfinished_orders_pb)                \
    X(qvi_get_orders_pb)                           \
    X(qvi_close_all_positions_pb)                  \
    X(qvi_get_execution_reports_pb)                \
    X(qvi_get_cash_pb)                             \
    X(qvi_get_positions_pb)                        \
    X(qvi_get_account_status_pb)                   \
    X(qvi_raw_func_pb)                             \
    X(qvi_place_algo_orders_pb)                    \
    X(qvi_get_algo_orders_pb)                      \
    X(qvi_get_entrustable_volume_by_symbol_pb)     \
    X(qvi_option_comb_entrust_pb)                  \
    X(qvi_option_sep_entrust_pb)                   \
    X(qvi_get_option_combinable_pb)                \
    X(qvi_get_option_comb_position_pb)             \
    X(qvi_get_cash_pb_v2)                          \
    X(qvi_get_positions_pb_v2)                     \
    X(qvi_current_price_pb)                        \
    X(qvi_last_tick_pb)                            \
    X(qvi_history_ticks_pb)                        \
    X(qvi_history_bars_pb)                         \
    X(qvi_history_ticks_n_pb)                      \
    X(qvi_history_bars_n_pb)                       \
    X(qvi_history_ticks_l2_pb)                     \
    X(qvi_history_bars_l2_pb)                      \
    X(qvi_history_transaction_l2_pb)               \
    X(qvi_history_order_l2_pb)                     \
    X(qvi_history_order_queue_l2_pb)               \
    X(qvi_get_open_call_auction)                   \
    X(qvi_get_symbol_infos)                        \
    X(qvi_get_symbols_v2)                          \
    X(qvi_get_history_symbol)                      \
    X(qvi_get_instrumentInfos)                     \
    X(qvi_get_fuzzy_match_instrumentInfos)         \
    X(qvi_get_history_instruments)                 \
    X(qvi_get_instruments)                         \
    X(qvi_get_trading_session)                     \
    X(qvi_get_trading_time)                        \
    X(qvi_get_trading_times_ext)                   \
    X(qvi_get_contract_expire_rest_days)           \
    X(qvi_get_varietyinfos)                        \
    X(qvi_get_continuous_contracts)                \
    X(qvi_get_constituents)                        \
    X(qvi_get_sector)                              \
    X(qvi_get_industry)                            \
    X(qvi_get_concept)                             \
    X(qvi_get_trading_dates)                       \
    X(qvi_get_previous_trading_date)               \
    X(qvi_get_next_trading_date)                   \
    X(qvi_get_previous_n_trading_dates)            \
    X(qvi_get_next_n_trading_dates)                \
    X(qvi_get_trading_dates_by_year)               \
    X(qvi_get_dividends)                           \
    X(qvi_get_dividends_snapshot)                  \
    X(qvi_stk_get_industry_category)               \
    X(qvi_stk_get_industry_constituents)           \
    X(qvi_stk_get_symbol_industry)                 \
    X(qvi_stk_get_sector_category)                 \
    X(qvi_stk_get_sector_constituents)             \
    X(qvi_stk_get_symbol_sector)                   \
    X(qvi_stk_get_index_constituents)              \
    X(qvi_stk_get_index_history_constituents)      \
    X(qvi_stk_get_dividend)                        \
    X(stk_get_ration)                              \
    X(qvi_stk_get_adj_factor)                      \
    X(qvi_stk_get_shareholder_num)                 \
    X(qvi_stk_get_top_shareholder)                 \
    X(qvi_stk_get_share_change)                    \
    X(qvi_stk_get_fundamentals_balance)            \
    X(qvi_stk_get_fundamentals_balance_pt)         \
    X(qvi_stk_get_fundamentals_cashflow)           \
    X(qvi_stk_get_fundamentals_cashflow_pt)        \
    X(qvi_stk_get_fundamentals_income)             \
    X(qvi_stk_get_fundamentals_income_pt)          \
    X(qvi_stk_get_finance_prime)                   \
    X(qvi_stk_get_finance_prime_pt)                \
    X(qvi_stk_get_finance_deriv)                   \
    X(qvi_stk_get_finance_deriv_pt)                \
    X(qvi_stk_get_daily_valuation)                 \
    X(qvi_stk_get_daily_valuation_pt)              \
    X(qvi_stk_get_daily_mktvalue)                  \
    X(qvi_stk_get_daily_mktvalue_pt)               \
    X(qvi_stk_get_daily_basic)                     \
    X(qvi_stk_get_daily_basic_pt)                  \
    X(qvi_get_fundamentals)                        \
    X(qvi_get_fundamentals_n)                      \
    X(qvi_stk_abnor_change_stocks)                 \
    X(qvi_stk_abnor_change_detail)                 \
    X(qvi_stk_quota_shszhk_infos)                  \
    X(qvi_stk_hk_inst_holding_detail_info)         \
    X(qvi_stk_hk_inst_holding_info)                \
    X(qvi_stk_active_stock_top10_shszhk_info)      \
    X(qvi_stk_get_money_flow)                      \
    X(qvi_stk_get_finance_audit)                   \
    X(qvi_stk_get_finance_forecast)                \
    X(qvi_fut_get_continuous_contracts)            \
    X(qvi_fut_get_contract_info)                   \
    X(qvi_fut_get_transaction_ranking)             \
    X(qvi_fut_get_transaction_rankings)            \
    X(qvi_fut_get_warehouse_receipt)               \
    X(qvi_fnd_get_etf_components)                  \
    X(qvi_fnd_get_portfolio)                       \
    X(qvi_fnd_get_net_value)                       \
    X(qvi_fnd_get_adj_factor)                      \
    X(qvi_fnd_get_dividend)                        \
    X(qvi_fnd_get_split)                           \
    X(qvi_fnd_get_share)                           \
    X(qvi_bnd_get_conversion_price)                \
    X(qvi_bnd_get_call_info)                       \
    X(qvi_bnd_get_put_info)                        \
    X(qvi_bnd_get_amount_change)                   \
    X(qvi_bnd_get_analysis)                        \
    X(qvi_get_convertible_bond_call_info)          \
    X(qvi_option_get_symbols_by_exchange)          \
    X(qvi_option_get_symbols_by_in_at_out)         \
    X(qvi_option_get_delisted_dates)               \
    X(qvi_option_get_exercise_prices)              \
    X(qvi_repay_cash_directly_pb)                  \
    X(qvi_get_collateral_instruments_pb)           \
    X(qvi_get_borrowable_instruments_pb)           \
    X(qvi_get_borrowable_instruments_positions_pb) \
    X(qvi_get_credit_contracts_pb)                 \
    X(qvi_get_credit_cash_pb)                      \
    X(qvi_get_ipo_quota_pb)                        \
    X(qvi_get_ipo_instruments_pb)                  \
    X(qvi_get_ipo_match_number_pb)                 \
    X(qvi_get_ipo_lot_info_pb)                     \
    X(qvi_get_parameters_pb)                       \
    X(qvi_get_instrument_pool_by_name_pb)          \
    X(qvi_get_instrument_pools_pb)

/* Command calls: int f(const char *req, int req_len). */
#define QVSDK_COMMAND_FUNCTIONS(X)        \
    X(qvi_cancel_all_orders_pb)           \
    X(qvi_cancel_orders_pb)               \
    X(qvi_cancel_algo_orders_pb)          \
    X(qvi_pause_algo_orders_pb)           \
    X(qvi_add_parameters_pb)              \
    X(qvi_set_parameters_pb)              \
    X(qvi_set_instrument_pool_symbols_pb) \
    X(qvi_del_instrument_pool_by_name_pb) \
    X(qvi_log_pb)

/* Fetch calls: int f(char **res, int *res_len). */
#define QVSDK_FETCH_FUNCTIONS(X) X(qvi_get_account_info_pb)

/*
 * Functions taking individual values: X(return type, name, (parameters), (argument names)).
 * A request travelling with other values is named `req` and followed by `req_len`.
 */
#define QVSDK_VALUE_FUNCTIONS(X)                                                                   \
    /* connection and credentials */                                                               \
    X(int, qvi_set_token, (const char *token), (token))                                            \
    X(void, qvi_set_apitoken, (const char *token), (token))                                        \
    X(const char *, qvi_get_encrypted_token, (void), ())                                           \
    X(const char *, qvi_get_orgcode, (void), ())                                                   \
    X(void, qvi_set_serv_addr, (const char *addr), (addr))                                         \
    X(void, qvi_set_serv_addr_v5, (const char *addr, const char *orgcode, const char *site_id),    \
      (addr, orgcode, site_id))                                                                    \
    X(int, qvi_get_serv_addr, (const char *serv_id, char **addr), (serv_id, addr))                 \
    X(void, qvi_set_account_id, (const char *account_ids), (account_ids))                          \
    X(void, qvi_set_strategy_id, (const char *strategy_id), (strategy_id))                         \
    X(void, qvi_set_mode_consistency, (bool mode), (mode))                                         \
    X(void, qvi_set_version,                                                                       \
      (const char *sdk_version, const char *sdk_lang, const char *reserved1,                       \
       const char *reserved2),                                                                     \
      (sdk_version, sdk_lang, reserved1, reserved2))                                               \
    X(void, qvi_set_mfp, (const char *mfp), (mfp))                                                 \
    X(void, qvi_set_ctp_md_info,                                                                   \
      (const char *front_addresses, const char *user_name, const char *password),                  \
      (front_addresses, user_name, password))                                                      \
    X(int, qvi_use_dsproxy, (void), ())                                                            \
    X(void, qvi_set_simtrade_only, (void), ())                                                     \
    X(void, qvi_set_max_wait_time, (int max_wait_time), (max_wait_time))                           \
    /* events */                                                                                   \
    X(void, qvi_set_event_callback_pb, (qvi_event_callback callback), (callback))                  \
    /* lifecycle, timers and diagnostics */                                                        \
    X(int, qvi_run, (void), ())                                                                    \
    X(int, qvi_stop, (void), ())                                                                   \
    X(int, qvi_get_stop_error_code, (void), ())                                                    \
    X(void, qvi_set_timer, (int interval), (interval))                                             \
    X(int, qvi_user_timer, (int period, int start_delay), (period, start_delay))                   \
    X(void, qvi_user_timer_stop, (int timer_id), (timer_id))                                       \
    X(int, qvi_schedule, (const char *date_rule, const char *time_rule), (date_rule, time_rule))   \
    X(const char *, qvi_strerror, (int errorno), (errorno))                                        \
    X(const char *, qvi_get_ext_errormsg, (void), ())                                              \
    /* backtest configuration */                                                                   \
    X(int, qvi_set_backtest_config,                                                                \
      (const char *start_time, const char *end_time, double initial_cash,                          \
       double transaction_ratio, double commission_ratio, double commission_unit,                  \
       double slippage_ratio, double option_float_margin_ratio1,                                   \
       double option_float_margin_ratio2, int adjust, int match_mode, int check_cache),            \
      (start_time, end_time, initial_cash, transaction_ratio, commission_ratio, commission_unit,   \
       slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode, \
       check_cache))                                                                               \
    X(void, qvi_set_backtest_intraday, (int intraday), (intraday))                                 \
    X(void, qvi_set_backtest_threadnum, (int n), (n))                                              \
    /* subscription and snapshots */                                                               \
    X(int, qvi_subscribe, (const char *symbols, const char *frequency, bool unsubscribe_previous), \
      (symbols, frequency, unsubscribe_previous))                                                  \
    X(int, qvi_unsubscribe, (const char *symbols, const char *frequency), (symbols, frequency))    \
    X(int, qvi_current_pb,                                                                         \
      (const char *symbols, bool include_call_auction, const char *fields, char **res,             \
       int *res_len),                                                                              \
      (symbols, include_call_auction, fields, res, res_len))                                       \
    /* smart re-ordering and algorithmic batches */                                                \
    X(int, qvi_smart_reorder,                                                                      \
      (const char *symbol, double price, int volume, int side, int order_type,                     \
       int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait,       \
       const char *account),                                                                       \
      (symbol, price, volume, side, order_type, position_effect, repeat_n, max_price_offset,       \
       time_out, time_wait, account))                                                              \
    X(int, qvi_smart_reorder_cancel, (int reorder_id), (reorder_id))                               \
    X(int, qvi_algo_order_batch_pb,                                                                \
      (const char *req, int req_len, const char *algo_name, const char *algo_params, char **res,   \
       int *res_len),                                                                              \
      (req, req_len, algo_name, algo_params, res, res_len))                                        \
    X(int, qvi_get_child_orders_pb,                                                                \
      (const char *account_id, const char *algo_id, char **res, int *res_len),                     \
      (account_id, algo_id, res, res_len))                                                         \
    /* message bus */                                                                              \
    X(void, qvi_set_bus_info,                                                                      \
      (const char *server_addr, const char *user_name, const char *password),                      \
      (server_addr, user_name, password))                                                          \
    X(void, qvi_set_bus_secure,                                                                    \
      (int in_mode, const char *tlsca, const char *tlscert, const char *tlskey, bool skip_verify), \
      (in_mode, tlsca, tlscert, tlskey, skip_verify))                                              \
    X(void, qvi_add_bus_topic, (const char *topic), (topic))                                       \
    X(int, qvi_send_msg_to_bus, (const char *topic, const char *msg), (topic, msg))                \
    /* reached only through the directly exposed callables */                                      \
    X(const char *, qvi_get_c_version, (void), ())                                                 \
    X(int, qvi_init, (void), ())                                                                   \
    X(long long, qvi_now, (void), ())                                                              \
    X(double, qvi_now_plus, (void), ())                                                            \
    X(int, qvi_poll, (void), ())                                                                   \
    X(void, qvi_set_mode, (int mode), (mode))

#define QVSDK_DECLARE_EXCHANGE_(name) \
    QVSDK_API int name(const char *req, int req_len, char **res, int *res_len);
#define QVSDK_DECLARE_COMMAND_(name) QVSDK_API int name(const char *req, int req_len);
#define QVSDK_DECLARE_FETCH_(name) QVSDK_API int name(char **res, int *res_len);
#define QVSDK_DECLARE_VALUE_(ret, name, params, args) QVSDK_API ret name params;

QVSDK_EXCHANGE_FUNCTIONS(QVSDK_DECLARE_EXCHANGE_)
QVSDK_COMMAND_FUNCTIONS(QVSDK_DECLARE_COMMAND_)
QVSDK_FETCH_FUNCTIONS(QVSDK_DECLARE_FETCH_)
QVSDK_VALUE_FUNCTIONS(QVSDK_DECLARE_VALUE_)

#ifdef __cplusplus
}
#endif

#endif /* QVSDK_QVSDK_H */
