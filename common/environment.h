// Environment variables through a lookup that parts reading them take, so that tests can give
// them an environment of their own.
#pragma once

#include <cstdlib>
#include <functional>

namespace pushfile {

// Looks up an environment variable: nullptr when it is not set.
using environment_lookup = std::function<const char*(const char* name)>;
// The process's own environment.
inline const char* process_environment(const char* name) { return std::getenv(name); }

}  // namespace pushfile
