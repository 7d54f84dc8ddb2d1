# 64-bit RISC-V boards, built with g++-riscv64-linux-gnu and run under qemu-riscv64-static.
set(PUSHFILE_TRIPLE riscv64-linux-gnu)
set(PUSHFILE_PROCESSOR riscv64)
set(PUSHFILE_QEMU qemu-riscv64-static)
set(PUSHFILE_DEB_ARCHITECTURE riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
