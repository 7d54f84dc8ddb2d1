// What the receiver's code above the relay shares: its name and exit statuses, the environment
// lookup, the failure messages' form and the clock.
#pragma once

#include "common/clock.h"
#include "common/environment.h"
#include "common/failure.h"
#include "receiver/relay/run_status.h"

namespace pushfile::receive {

// The clock by its short name also where only this namespace is used (the tests).
using pushfile::monotonic_clock;

}  // namespace pushfile::receive
