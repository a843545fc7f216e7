// Market data and history queries: the current price, the last tick, history of ticks and bars,
// level-2 history and the opening call auction.
#include "calls/call.h"
#include "qvsdk/qvsdk.h"

namespace csdk::calls {
namespace {

const auto table = std::tuple{
    Member{"py_qvi_current_price", exchange(qvi_current_price_pb), adapted},
    Member{"py_qvi_last_tick", exchange(qvi_last_tick_pb), adapted},
    Member{"py_qvi_history_ticks_pb", exchange(qvi_history_ticks_pb), plain},
    Member{"py_qvi_history_bars_pb", exchange(qvi_history_bars_pb), plain},
    Member{"py_qvi_history_ticks_n_pb", exchange(qvi_history_ticks_n_pb), plain},
    Member{"py_qvi_history_bars_n_pb", exchange(qvi_history_bars_n_pb), plain},
    // The level-2 members drop the "_pb" of their SDK functions.
    Member{"py_qvi_history_ticks_l2", exchange(qvi_history_ticks_l2_pb), adapted},
    Member{"py_qvi_history_bars_l2", exchange(qvi_history_bars_l2_pb), adapted},
    Member{"py_qvi_history_transaction_l2", exchange(qvi_history_transaction_l2_pb), adapted},
    Member{"py_qvi_history_order_l2", exchange(qvi_history_order_l2_pb), adapted},
    Member{"py_qvi_history_order_queue_l2", exchange(qvi_history_order_queue_l2_pb), adapted},
    Member{"py_qvi_get_open_call_auction", exchange(qvi_get_open_call_auction), plain},
};

}  // namespace

Definitions market_data() {
    return definitions<table>();
}

}  // namespace csdk::calls
