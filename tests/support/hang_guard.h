// The one guard against a hung test: a run that works ends far sooner, also under the sanitizers.
#pragma once

#include <chrono>

namespace pushfile_test {

inline constexpr std::chrono::milliseconds HANG_GUARD{30000};

}  // namespace pushfile_test
