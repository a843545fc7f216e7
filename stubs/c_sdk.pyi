# Type stubs of c_sdk, written by tools/stubgen.py from the tables that define the module.
# Do not edit: change the tables and run tools/stubgen.py.
#
# Text parameters take bytes or bytearray; a function bound through adapt_to_python3 also takes
# str (ASCII). Integer parameters are C ints (anything with __int__, within 32 bits), real
# parameters C doubles, flags the truth value of any object. Results that carry a response are
# (status, payload) on success and (status, None) otherwise.

import functools as functools
import platform as platform
from collections.abc import Callable
from typing import Any, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

_T = TypeVar("_T")

class _Logger(Protocol):
    def debug(self, msg: str, /) -> object: ...

# What a record reads its entries through: item writes need __setitem__ as well, and the bar's
# membership test the `in` operator.
class _Mapping(Protocol):
    def get(self, key: Any, /) -> Any: ...

CSDK_OPERATE_SUCCESS: int
qvsdklogger: _Logger
IS_PY2: bool
IS_PY3: bool
__test__: dict[str, Any]
# The callable that py_qvi_set_data_callback registered; unbound until then.
f: Callable[[str, bytes], object]

# The record classes, in the order of creation.

class QuoteItemLikeDict2:
    data: _Mapping
    def __init__(self, data: _Mapping) -> None: ...
    def __getitem__(self, item: Any) -> Any: ...
    def __setitem__(self, item: Any, value: Any) -> None: ...
    def __getattr__(self, item: str) -> Any: ...
    def __setattr__(self, item: str, value: Any) -> None: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    @property
    def bid_p(self) -> Any: ...
    @property
    def bid_v(self) -> Any: ...
    @property
    def ask_p(self) -> Any: ...
    @property
    def ask_v(self) -> Any: ...

class TickLikeDict2:
    data: _Mapping
    def __init__(self, data: _Mapping) -> None: ...
    def __getitem__(self, item: Any) -> Any: ...
    def __setitem__(self, item: Any, value: Any) -> None: ...
    def __getattr__(self, item: str) -> Any: ...
    def __setattr__(self, item: str, value: Any) -> None: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    @property
    def quotes(self) -> Any: ...
    @quotes.setter
    def quotes(self, value: Any) -> None: ...
    @property
    def symbol(self) -> Any: ...
    @symbol.setter
    def symbol(self, value: Any) -> None: ...
    @property
    def created_at(self) -> Any: ...
    @created_at.setter
    def created_at(self, value: Any) -> None: ...
    @property
    def price(self) -> Any: ...
    @price.setter
    def price(self, value: Any) -> None: ...
    @property
    def open(self) -> Any: ...
    @open.setter
    def open(self, value: Any) -> None: ...
    @property
    def high(self) -> Any: ...
    @high.setter
    def high(self, value: Any) -> None: ...
    @property
    def low(self) -> Any: ...
    @low.setter
    def low(self, value: Any) -> None: ...
    @property
    def cum_volume(self) -> Any: ...
    @cum_volume.setter
    def cum_volume(self, value: Any) -> None: ...
    @property
    def cum_amount(self) -> Any: ...
    @cum_amount.setter
    def cum_amount(self, value: Any) -> None: ...
    @property
    def cum_position(self) -> Any: ...
    @cum_position.setter
    def cum_position(self, value: Any) -> None: ...
    @property
    def last_amount(self) -> Any: ...
    @last_amount.setter
    def last_amount(self, value: Any) -> None: ...
    @property
    def last_volume(self) -> Any: ...
    @last_volume.setter
    def last_volume(self, value: Any) -> None: ...
    @property
    def trade_type(self) -> Any: ...
    @trade_type.setter
    def trade_type(self, value: Any) -> None: ...
    @property
    def receive_local_time(self) -> Any: ...
    @receive_local_time.setter
    def receive_local_time(self, value: Any) -> None: ...

class BarLikeDict2:
    data: _Mapping
    def __init__(self, data: _Mapping) -> None: ...
    def __getitem__(self, item: Any) -> Any: ...
    def __setitem__(self, item: Any, value: Any) -> None: ...
    def __contains__(self, key: object) -> bool: ...
    def __getattr__(self, item: str) -> Any: ...
    def __setattr__(self, item: str, value: Any) -> None: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    @property
    def symbol(self) -> Any: ...
    @symbol.setter
    def symbol(self, value: Any) -> None: ...
    @property
    def eob(self) -> Any: ...
    @eob.setter
    def eob(self, value: Any) -> None: ...
    @property
    def bob(self) -> Any: ...
    @bob.setter
    def bob(self, value: Any) -> None: ...
    @property
    def open(self) -> Any: ...
    @open.setter
    def open(self, value: Any) -> None: ...
    @property
    def close(self) -> Any: ...
    @close.setter
    def close(self, value: Any) -> None: ...
    @property
    def high(self) -> Any: ...
    @high.setter
    def high(self, value: Any) -> None: ...
    @property
    def low(self) -> Any: ...
    @low.setter
    def low(self, value: Any) -> None: ...
    @property
    def volume(self) -> Any: ...
    @volume.setter
    def volume(self, value: Any) -> None: ...
    @property
    def amount(self) -> Any: ...
    @amount.setter
    def amount(self, value: Any) -> None: ...
    @property
    def pre_close(self) -> Any: ...
    @pre_close.setter
    def pre_close(self, value: Any) -> None: ...
    @property
    def position(self) -> Any: ...
    @position.setter
    def position(self, value: Any) -> None: ...
    @property
    def frequency(self) -> Any: ...
    @frequency.setter
    def frequency(self, value: Any) -> None: ...
    @property
    def receive_local_time(self) -> Any: ...
    @receive_local_time.setter
    def receive_local_time(self, value: Any) -> None: ...

class ObjectLikeDict2:
    data: _Mapping
    def __init__(self, data: _Mapping) -> None: ...
    def __getitem__(self, item: Any) -> Any: ...
    def __getattr__(self, item: str) -> Any: ...
    def __setitem__(self, item: Any, value: Any) -> None: ...
    def __setattr__(self, item: str, value: Any) -> None: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

# Helpers.

def is_windows() -> bool: ...
def is_linux() -> bool: ...
def adapt_to_python3(func: Callable[..., _T]) -> Callable[..., _T]: ...
def c_status_ok(status: object) -> bool: ...
def c_status_fail(status: object, cfunname: object = '') -> bool: ...

# The SDK wrappers, in the order of binding; each calls the C function named.

def py_qvi_set_mode_consistency(mode: SupportsInt) -> None:
    """void qvi_set_mode_consistency(bool mode)"""
def py_qvi_current(
    symbols: str | bytes | bytearray,
    fields: str | bytes | bytearray,
    include_call_auction: object,
) -> tuple[int, bytes | None]:
    """int qvi_current_pb(const char *symbols, bool include_call_auction, const char *fields, char **res, int *res_len)"""
def py_qvi_current_price(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_current_price_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_serv_addr(serv_id: str | bytes | bytearray) -> bytes | None:
    """int qvi_get_serv_addr(const char *serv_id, char **addr)"""
def py_qvi_set_bus_info(
    server_addr: str | bytes | bytearray,
    user_name: str | bytes | bytearray,
    password: str | bytes | bytearray,
) -> None:
    """void qvi_set_bus_info(const char *server_addr, const char *user_name, const char *password)"""
def py_qvi_set_bus_secure(
    in_mode: SupportsInt,
    tlsca: str | bytes | bytearray,
    tlscert: str | bytes | bytearray,
    tlskey: str | bytes | bytearray,
    skip_verify: object,
) -> None:
    """void qvi_set_bus_secure(int in_mode, const char *tlsca, const char *tlscert, const char *tlskey, bool skip_verify)"""
def py_qvi_add_bus_topic(topic: str | bytes | bytearray) -> None:
    """void qvi_add_bus_topic(const char *topic)"""
def py_qvi_send_msg_to_bus(topic: str | bytes | bytearray, msg: str | bytes | bytearray) -> int:
    """int qvi_send_msg_to_bus(const char *topic, const char *msg)"""
def py_qvi_set_data_callback(pythonf: Callable[[str, bytes], object]) -> None:
    """void qvi_set_event_callback_pb(qvi_event_callback callback)"""
def py_qvi_schedule(
    date_rule: str | bytes | bytearray,
    time_rule: str | bytes | bytearray,
) -> int:
    """int qvi_schedule(const char *date_rule, const char *time_rule)"""
def py_qvi_set_backtest_config(
    start_time: str | bytes | bytearray,
    end_time: str | bytes | bytearray,
    initial_cash: SupportsFloat | SupportsIndex,
    transaction_ratio: SupportsFloat | SupportsIndex,
    commission_ratio: SupportsFloat | SupportsIndex,
    commission_unit: SupportsFloat | SupportsIndex,
    slippage_ratio: SupportsFloat | SupportsIndex,
    option_float_margin_ratio1: SupportsFloat | SupportsIndex,
    option_float_margin_ratio2: SupportsFloat | SupportsIndex,
    adjust: SupportsInt,
    match_mode: SupportsInt,
    check_cache: SupportsInt,
) -> int:
    """int qvi_set_backtest_config(const char *start_time, const char *end_time, double initial_cash, double transaction_ratio, double commission_ratio, double commission_unit, double slippage_ratio, double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode, int check_cache)"""
def py_qvi_place_order(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_place_order_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_set_backtest_intraday(req: SupportsInt) -> None:
    """void qvi_set_backtest_intraday(int intraday)"""
def py_qvi_last_tick(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_last_tick_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_unfinished_orders(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_unfinished_orders_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_orders(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_orders_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_cancel_all_orders(req: str | bytes | bytearray) -> int:
    """int qvi_cancel_all_orders_pb(const char *req, int req_len)"""
def py_qvi_close_all_positions(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_close_all_positions_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_execution_reports(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_execution_reports_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_cash(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_cash_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_positions(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_positions_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_cancel_order(req: str | bytes | bytearray) -> int:
    """int qvi_cancel_orders_pb(const char *req, int req_len)"""
def py_qvi_set_strategy_id(strategy_id: str | bytes | bytearray) -> None:
    """void qvi_set_strategy_id(const char *strategy_id)"""
def py_qvi_subscribe(
    symbols: str | bytes | bytearray,
    frequency: str | bytes | bytearray,
    unsubscribe_previous: object,
) -> int:
    """int qvi_subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous)"""
def py_qvi_set_token(token: str | bytes | bytearray) -> int:
    """int qvi_set_token(const char *token)"""
def py_qvi_get_encrypted_token() -> bytes:
    """const char *qvi_get_encrypted_token(void)"""
def py_qvi_get_orgcode() -> bytes:
    """const char *qvi_get_orgcode(void)"""
def py_qvi_set_mfp(mfp: str | bytes | bytearray) -> None:
    """void qvi_set_mfp(const char *mfp)"""
def py_qvi_set_apitoken(token: str | bytes | bytearray) -> None:
    """void qvi_set_apitoken(const char *token)"""
def py_qvi_unsubscribe(
    symbols: str | bytes | bytearray,
    frequency: str | bytes | bytearray,
) -> int:
    """int qvi_unsubscribe(const char *symbols, const char *frequency)"""
def py_qvi_set_serv_addr(addr: str | bytes | bytearray) -> None:
    """void qvi_set_serv_addr(const char *addr)"""
def py_qvi_set_ctp_md_info(
    front_addresses: str | bytes | bytearray,
    user_name: str | bytes | bytearray,
    password: str | bytes | bytearray,
) -> None:
    """void qvi_set_ctp_md_info(const char *front_addresses, const char *user_name, const char *password)"""
def py_qvi_get_accounts() -> tuple[int, bytes | None]:
    """int qvi_get_account_info_pb(char **res, int *res_len)"""
def py_qvi_get_account_status(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_account_status_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_raw_func(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_raw_func_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_repay_cash_directly_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_repay_cash_directly_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_collateral_instruments_pb(
    req: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_get_collateral_instruments_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_borrowable_instruments_pb(
    req: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_get_borrowable_instruments_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_borrowable_instruments_positions_pb(
    req: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_get_borrowable_instruments_positions_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_credit_contracts_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_credit_contracts_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_credit_cash_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_credit_cash_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_ipo_quota_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_ipo_quota_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_ipo_instruments_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_ipo_instruments_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_ipo_match_number_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_ipo_match_number_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_ipo_lot_info_pb(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_ipo_lot_info_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_parameters(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_parameters_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_add_parameters(req: bytes | bytearray) -> int:
    """int qvi_add_parameters_pb(const char *req, int req_len)"""
def py_qvi_set_parameters(req: bytes | bytearray) -> int:
    """int qvi_set_parameters_pb(const char *req, int req_len)"""
def py_qvi_log(req: bytes | bytearray) -> int:
    """int qvi_log_pb(const char *req, int req_len)"""
def py_qvi_strerror(errorno: SupportsInt) -> bytes:
    """const char *qvi_strerror(int errorno)"""
def py_qvi_get_ext_errormsg() -> bytes:
    """const char *qvi_get_ext_errormsg(void)"""
def py_qvi_run() -> int:
    """int qvi_run(void)"""
def py_qvi_stop() -> int:
    """int qvi_stop(void)"""
def py_qvi_set_timer(interval: SupportsInt) -> None:
    """void qvi_set_timer(int interval)"""
def py_qvi_set_version(
    sdk_version: str | bytes | bytearray,
    sdk_lang: str | bytes | bytearray,
) -> None:
    """void qvi_set_version(const char *sdk_version, const char *sdk_lang, const char *reserved1, const char *reserved2)"""
def py_qvi_history_ticks_l2(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_ticks_l2_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_bars_l2(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_bars_l2_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_transaction_l2(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_transaction_l2_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_place_algo_orders(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_place_algo_orders_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_algo_order_batch(
    req: str | bytes | bytearray,
    algo_name: str | bytes | bytearray,
    algo_params: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_algo_order_batch_pb(const char *req, int req_len, const char *algo_name, const char *algo_params, char **res, int *res_len)"""
def py_qvi_cancel_algo_orders(req: str | bytes | bytearray) -> int:
    """int qvi_cancel_algo_orders_pb(const char *req, int req_len)"""
def py_qvi_pause_algo_orders(req: str | bytes | bytearray) -> int:
    """int qvi_pause_algo_orders_pb(const char *req, int req_len)"""
def py_qvi_get_algo_orders(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_algo_orders_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_child_orders(
    account_id: str | bytes | bytearray,
    algo_id: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_get_child_orders_pb(const char *account_id, const char *algo_id, char **res, int *res_len)"""
def py_qvi_history_order_l2(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_order_l2_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_order_queue_l2(req: str | bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_order_queue_l2_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_entrustable_volume_by_symbol_pb(
    req: str | bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_get_entrustable_volume_by_symbol_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_smart_reorder(
    symbol: str | bytes | bytearray,
    price: SupportsFloat | SupportsIndex,
    volume: SupportsInt,
    side: SupportsInt,
    order_type: SupportsInt,
    position_effect: SupportsInt,
    repeat_n: SupportsInt,
    max_price_offset: SupportsInt,
    time_out: SupportsInt,
    time_wait: SupportsInt,
    account: str | bytes | bytearray,
) -> int:
    """int qvi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait, const char *account)"""
def py_qvi_smart_reorder_cancel(reorder_id: SupportsInt) -> int:
    """int qvi_smart_reorder_cancel(int reorder_id)"""
def py_qvi_user_timer(period: SupportsInt, start_delay: SupportsInt) -> int:
    """int qvi_user_timer(int period, int start_delay)"""
def py_qvi_user_timer_stop(timer_id: SupportsInt) -> None:
    """void qvi_user_timer_stop(int timer_id)"""
def py_qvi_set_serv_addr_v5(
    addr: bytes | bytearray,
    orgcode: bytes | bytearray,
    site_id: bytes | bytearray,
) -> None:
    """void qvi_set_serv_addr_v5(const char *addr, const char *orgcode, const char *site_id)"""
def py_qvi_set_account_id(account_ids: bytes | bytearray) -> None:
    """void qvi_set_account_id(const char *account_ids)"""
def py_qvi_set_simtrade_only() -> None:
    """void qvi_set_simtrade_only(void)"""
def py_qvi_get_symbol_infos(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_symbol_infos(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_symbols_v2(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_symbols_v2(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_history_symbol(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_history_symbol(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_trading_session(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_trading_session(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_contract_expire_rest_days(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_contract_expire_rest_days(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_industry_category(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_industry_category(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_industry_constituents(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_industry_constituents(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_symbol_industry(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_symbol_industry(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_sector_category(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_sector_category(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_sector_constituents(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_sector_constituents(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_symbol_sector(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_symbol_sector(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_index_constituents(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_index_constituents(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_index_history_constituents(
    req: bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_stk_get_index_history_constituents(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_dividend(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_dividend(const char *req, int req_len, char **res, int *res_len)"""
def py_stk_get_ration(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int stk_get_ration(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_adj_factor(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_adj_factor(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_shareholder_num(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_shareholder_num(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_top_shareholder(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_top_shareholder(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_share_change(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_share_change(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_balance(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_balance(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_balance_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_balance_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_cashflow(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_cashflow(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_cashflow_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_cashflow_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_income(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_income(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_fundamentals_income_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_fundamentals_income_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_prime(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_prime(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_prime_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_prime_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_deriv(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_deriv(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_deriv_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_deriv_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_valuation(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_valuation(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_valuation_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_valuation_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_mktvalue(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_mktvalue(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_mktvalue_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_mktvalue_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_basic(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_basic(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_daily_basic_pt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_daily_basic_pt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fut_get_continuous_contracts(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fut_get_continuous_contracts(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fut_get_contract_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fut_get_contract_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fut_get_transaction_ranking(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fut_get_transaction_ranking(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fut_get_transaction_rankings(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fut_get_transaction_rankings(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fut_get_warehouse_receipt(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fut_get_warehouse_receipt(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_etf_constituents(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_etf_components(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_portfolio(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_portfolio(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_net_value(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_net_value(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_adj_factor(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_adj_factor(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_dividend(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_dividend(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_split(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_split(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_bnd_get_conversion_price(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_bnd_get_conversion_price(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_bnd_get_call_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_bnd_get_call_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_bnd_get_put_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_bnd_get_put_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_bnd_get_amount_change(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_bnd_get_amount_change(const char *req, int req_len, char **res, int *res_len)"""
def py_get_trading_dates_by_year(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_trading_dates_by_year(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_comb_entrust_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_comb_entrust_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_sep_entrust_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_sep_entrust_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_option_combinable_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_option_combinable_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_option_comb_position_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_option_comb_position_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_fundamentals(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_fundamentals(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_fundamentals_n(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_fundamentals_n(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_instrumentInfos(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_instrumentInfos(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_fuzzy_match_instrumentInfos(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_fuzzy_match_instrumentInfos(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_history_instruments(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_history_instruments(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_constituents(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_constituents(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_sector(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_sector(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_industry(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_industry(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_concept(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_concept(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_trading_dates(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_trading_dates(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_previous_trading_date(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_previous_trading_date(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_next_trading_date(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_next_trading_date(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_dividends(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_dividends(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_dividends_snapshot(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_dividends_snapshot(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_continuous_contracts(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_continuous_contracts(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_varietyinfos(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_varietyinfos(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_trading_time(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_trading_time(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_get_symbols_by_exchange(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_get_symbols_by_exchange(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_get_symbols_by_in_at_out(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_get_symbols_by_in_at_out(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_get_delisted_dates(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_get_delisted_dates(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_option_get_exercise_prices(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_option_get_exercise_prices(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_ticks_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_ticks_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_bars_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_bars_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_ticks_n_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_ticks_n_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_history_bars_n_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_history_bars_n_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_instruments(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_instruments(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_trading_times_ext(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_trading_times_ext(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_convertible_bond_call_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_convertible_bond_call_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_set_max_wait_time(max_wait_time: SupportsInt) -> None:
    """void qvi_set_max_wait_time(int max_wait_time)"""
def py_qvi_set_backtest_threadnum(n: SupportsInt) -> None:
    """void qvi_set_backtest_threadnum(int n)"""
def py_qvi_get_stop_error_code() -> int:
    """int qvi_get_stop_error_code(void)"""
def py_qvi_use_dsproxy() -> int:
    """int qvi_use_dsproxy(void)"""
def py_qvi_get_previous_n_trading_dates(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_previous_n_trading_dates(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_next_n_trading_dates(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_next_n_trading_dates(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_abnor_change_stocks(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_abnor_change_stocks(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_abnor_change_detail(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_abnor_change_detail(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_quota_shszhk_infos(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_quota_shszhk_infos(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_hk_inst_holding_detail_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_hk_inst_holding_detail_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_hk_inst_holding_info(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_hk_inst_holding_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_active_stock_top10_shszhk_info(
    req: bytes | bytearray,
) -> tuple[int, bytes | None]:
    """int qvi_stk_active_stock_top10_shszhk_info(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_money_flow(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_money_flow(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_audit(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_audit(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_stk_get_finance_forecast(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_stk_get_finance_forecast(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_fnd_get_share(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_fnd_get_share(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_bnd_get_analysis(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_bnd_get_analysis(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_cash_pb_v2(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_positions_pb_v2(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_positions_pb_v2(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_instrument_pool_by_name_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_instrument_pool_by_name_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_get_instrument_pools_pb(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_instrument_pools_pb(const char *req, int req_len, char **res, int *res_len)"""
def py_qvi_set_instrument_pool_symbols_pb(req: bytes | bytearray) -> int:
    """int qvi_set_instrument_pool_symbols_pb(const char *req, int req_len)"""
def py_qvi_del_instrument_pool_by_name_pb(req: bytes | bytearray) -> int:
    """int qvi_del_instrument_pool_by_name_pb(const char *req, int req_len)"""
def py_qvi_get_open_call_auction(req: bytes | bytearray) -> tuple[int, bytes | None]:
    """int qvi_get_open_call_auction(const char *req, int req_len, char **res, int *res_len)"""

# SDK functions under their own names (text as bytes or bytearray only).

def qvi_add_bus_topic(topic: bytes | bytearray) -> None:
    """void qvi_add_bus_topic(const char *topic)"""
def qvi_get_c_version() -> bytes:
    """const char *qvi_get_c_version(void)"""
def qvi_get_encrypted_token() -> bytes:
    """const char *qvi_get_encrypted_token(void)"""
def qvi_get_ext_errormsg() -> bytes:
    """const char *qvi_get_ext_errormsg(void)"""
def qvi_get_orgcode() -> bytes:
    """const char *qvi_get_orgcode(void)"""
def qvi_init() -> int:
    """int qvi_init(void)"""
def qvi_now() -> int:
    """long long qvi_now(void)"""
def qvi_now_plus() -> float:
    """double qvi_now_plus(void)"""
def qvi_poll() -> int:
    """int qvi_poll(void)"""
def qvi_send_msg_to_bus(topic: bytes | bytearray, msg: bytes | bytearray) -> int:
    """int qvi_send_msg_to_bus(const char *topic, const char *msg)"""
def qvi_set_bus_info(
    server_addr: bytes | bytearray,
    user_name: bytes | bytearray,
    password: bytes | bytearray,
) -> None:
    """void qvi_set_bus_info(const char *server_addr, const char *user_name, const char *password)"""
def qvi_set_bus_secure(
    in_mode: SupportsInt,
    tlsca: bytes | bytearray,
    tlscert: bytes | bytearray,
    tlskey: bytes | bytearray,
    skip_verify: object,
) -> None:
    """void qvi_set_bus_secure(int in_mode, const char *tlsca, const char *tlscert, const char *tlskey, bool skip_verify)"""
def qvi_set_mode(mode: SupportsInt) -> None:
    """void qvi_set_mode(int mode)"""
def qvi_strerror(errorno: SupportsInt) -> bytes:
    """const char *qvi_strerror(int errorno)"""
