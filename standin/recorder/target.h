// The vendor's library the recorder stands in front of: loaded and resolved once.
#pragma once

#include <string>

namespace recorder {

using Fn = void (*)();

// Loads the library at `path` and resolves every function of the catalogue into `out`
// (indexed as the catalogue); fails naming the variable, the path and what went wrong.
void load_target(const std::string &path, Fn *out);

// The recorder's own file, as the loader knows it (UTF-8); empty if it cannot tell.
std::string own_path();

}  // namespace recorder
