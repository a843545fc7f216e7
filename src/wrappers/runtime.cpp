// The strategy's lifecycle, timers and error texts, the message bus, and the event bridge.
#include "module/function.h"
#include "qvsdk/qvsdk.h"
#include "wrappers/events.h"

namespace csdk {
namespace {

// Bound as they are.
const auto lifecycle = std::tuple{
    Wrapper{"py_qvi_strerror", {"errorno"}, qvi_strerror},
    Wrapper{"py_qvi_get_ext_errormsg", qvi_get_ext_errormsg},
    Wrapper{"py_qvi_run", qvi_run},
    Wrapper{"py_qvi_stop", qvi_stop},
    Wrapper{"py_qvi_set_timer", {"interval"}, qvi_set_timer},
    Wrapper{"py_qvi_get_stop_error_code", qvi_get_stop_error_code},
};

// Bound through adapt_to_python3, so their text parameters also take str.
const auto adapted = std::tuple{
    Wrapper{"py_qvi_schedule", {"date_rule", "time_rule"}, qvi_schedule},
    Wrapper{"py_qvi_user_timer", {"period", "start_delay"}, qvi_user_timer},
    Wrapper{"py_qvi_user_timer_stop", {"timer_id"}, qvi_user_timer_stop},
    Wrapper{"py_qvi_set_bus_info", {"server_addr", "user_name", "password"}, qvi_set_bus_info},
    Wrapper{"py_qvi_set_bus_secure",
            {"in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"},
            qvi_set_bus_secure},
    Wrapper{"py_qvi_add_bus_topic", {"topic"}, qvi_add_bus_topic},
    Wrapper{"py_qvi_send_msg_to_bus", {"topic", "msg"}, qvi_send_msg_to_bus},
};

Definitions build() {
    Definitions defs{data_callback_definition()};
    for (Definition d : definitions<lifecycle>()) {
        d.adapted = 0;
        defs.push_back(d);
    }
    for (Definition d : definitions<adapted>()) {
        d.adapted = 1;
        defs.push_back(d);
    }
    return defs;
}

}  // namespace

const Definitions &runtime_functions() {
    static const Definitions defs = build();
    return defs;
}

}  // namespace csdk
