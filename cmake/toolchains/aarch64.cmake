# 64-bit ARM (AArch64: ARM servers, Raspberry Pi 3 and later running a 64-bit system), built with
# g++-aarch64-linux-gnu and run under qemu-aarch64-static.
set(PUSHFILE_TRIPLE aarch64-linux-gnu)
set(PUSHFILE_PROCESSOR aarch64)
set(PUSHFILE_QEMU qemu-aarch64-static)
set(PUSHFILE_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
