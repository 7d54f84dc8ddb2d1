// A fresh directory under /tmp for a test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace pushfile_test {

// path is empty if it could not be made.
class scratch_dir {
public:
    scratch_dir() {
        char pattern[] = "/tmp/pushfile-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path = made;
    }
    ~scratch_dir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::filesystem::path path;
};

}  // namespace pushfile_test
