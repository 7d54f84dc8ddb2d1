#include "common/failure.h"

#include <cstring>

namespace pushfile {

std::string failure_text(const std::string& what, int error_number) {
    return what + ": " + std::strerror(error_number);
}

}  // namespace pushfile
