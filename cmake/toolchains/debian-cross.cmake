# Cross building with Debian's cross compilers (g++-<triple>), included by the per-target files
# beside this one after they set PUSHFILE_TRIPLE, PUSHFILE_PROCESSOR, PUSHFILE_QEMU and
# PUSHFILE_DEB_ARCHITECTURE. The target's C library lives in /usr/<triple>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PUSHFILE_PROCESSOR})
set(CMAKE_CXX_COMPILER ${PUSHFILE_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${PUSHFILE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under qemu-user (package qemu-user-static), which finds the target's loader
# and shared libraries under -L; the static sender needs neither.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PUSHFILE_QEMU} -L /usr/${PUSHFILE_TRIPLE})

# The system has GoogleTest only for the build machine; the tests build it from its source.
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/../gtest-from-source)
