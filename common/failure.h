// The form of a failure message: what failed, then the system's reason.
#pragma once

#include <string>

namespace pushfile {

// "what: why" from an error number the caller saved before building what: anything that
// allocates may change errno.
std::string failure_text(const std::string& what, int error_number);

}  // namespace pushfile
