// SDK functions exposed under their own names.
//
// Each is a builtin named "wrap" whose docstring states the C signature of the SDK function it
// calls. Their text parameters take bytes or bytearray only (they are not decorated), and an
// exception left pending by the SDK call is raised instead of returning a value.
#include "module/function.h"
#include "qvsdk/qvsdk.h"

namespace csdk {
namespace {

constexpr Options direct(const char *doc) {
    return {.name = "wrap", .doc = doc, .check_pending = true};
}

constexpr const char text_doc[] = "wrap() -> 'const char *'";
constexpr const char status_doc[] = "wrap() -> 'int'";

const auto callables = std::tuple{
    Wrapper{"qvi_add_bus_topic",
            {"topic"},
            qvi_add_bus_topic,
            direct("wrap(topic: 'const char *') -> 'void'")},
    Wrapper{"qvi_get_c_version", qvi_get_c_version, direct(text_doc)},
    Wrapper{"qvi_get_encrypted_token", qvi_get_encrypted_token, direct(text_doc)},
    Wrapper{"qvi_get_ext_errormsg", qvi_get_ext_errormsg, direct(text_doc)},
    Wrapper{"qvi_get_orgcode", qvi_get_orgcode, direct(text_doc)},
    Wrapper{"qvi_init", qvi_init, direct(status_doc)},
    Wrapper{"qvi_now", qvi_now, direct("wrap() -> 'long long'")},
    Wrapper{"qvi_now_plus", qvi_now_plus, direct("wrap() -> float")},
    Wrapper{"qvi_poll", qvi_poll, direct(status_doc)},
    Wrapper{"qvi_send_msg_to_bus",
            {"topic", "msg"},
            qvi_send_msg_to_bus,
            direct("wrap(topic: 'const char *', msg: 'const char *') -> 'int'")},
    Wrapper{"qvi_set_bus_info",
            {"server_addr", "user_name", "password"},
            qvi_set_bus_info,
            direct("wrap(server_addr: 'const char *', user_name: 'const char *', password: "
                   "'const char *') -> 'void'")},
    Wrapper{"qvi_set_bus_secure",
            {"in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"},
            qvi_set_bus_secure,
            direct("wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
                   "tlskey: 'const char *', skip_verify: 'bool') -> 'void'")},
    Wrapper{"qvi_set_mode", {"mode"}, qvi_set_mode, direct("wrap(mode: 'int') -> 'void'")},
    Wrapper{"qvi_strerror",
            {"errorno"},
            qvi_strerror,
            direct("wrap(errorno: 'int') -> 'const char *'")},
};

}  // namespace

const Definitions &direct_callables() {
    static const Definitions defs = [] {
        Definitions d = definitions<callables>();
        for (Definition &def : d) def.adapted = 0;
        return d;
    }();
    return defs;
}

}  // namespace csdk
