// The one clock for waits, timeouts and rates.
#pragma once

#include <chrono>

namespace pushfile {

// Every wait, timeout and rate is measured on this clock, never on the wall clock, which can jump.
using monotonic_clock = std::chrono::steady_clock;

}  // namespace pushfile
