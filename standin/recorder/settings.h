// The recorder's settings, read once from the environment at load, and how it fails there.
//
// QVSDK_RECORD_TARGET   the vendor's library, by full path (required)
// QVSDK_RECORD_FILE     where to record (default qvsdk-<pid>.qvrec in the current folder)
// QVSDK_RECORD_BUFFER   bytes of the file mapped ahead of the callers (default 256 KiB, at
//                       least 4 KiB, at most 1 GiB): decimal digits and nothing else
// QVSDK_RECORD_SECRETS  `keep` records secrets as they are; unset or `redact` replaces them
//
// The recorder also publishes two variables for what it loads and starts: QVSDK_RECORDER, its
// own file (c_sdk checks that its SDK functions come from there when recording is asked for),
// and QVSDK_RECORD_PARENT_FILE, the QVSDK_RECORD_FILE it has taken (a child process that
// inherits both with the same value records into a file of its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace recorder {

// Says what failed on stderr and ends the process: only while loading, never once running.
[[noreturn]] void fail(const std::string &message);

// A variable of the environment as UTF-8; empty when unset.
std::string env(const char *name);
// Sets a variable of this process's environment, inherited by the processes it starts.
void publish(const char *name, const std::string &value);

std::uint32_t process_id();

// A number in decimal digits. (Not std::to_string: its table of digits is a unique symbol,
// which would keep the library from being unloaded, and with it from closing its recording.)
std::string decimal(std::uint64_t v);

struct Settings {
    std::string target;  // QVSDK_RECORD_TARGET
    std::string file;    // QVSDK_RECORD_FILE, empty for the default name
    std::size_t buffer = 256u << 10;
    bool keep_secrets = false;
    std::string parent_file;  // QVSDK_RECORD_PARENT_FILE as inherited, empty if none
};

// Reads and checks every setting; fails naming the variable and its value.
Settings read_settings();

// A size in bytes: decimal digits only, at most `most`, raised to `least`; false otherwise.
bool parse_size(const std::string &text, std::size_t least, std::size_t most, std::size_t &out);

}  // namespace recorder
