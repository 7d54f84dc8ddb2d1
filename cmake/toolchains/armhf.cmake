# 32-bit ARMv7 with hardware floating point (Raspberry Pi 2 and later running a 32-bit system,
# many routers and boards), built with g++-arm-linux-gnueabihf and run under qemu-arm-static.
set(PUSHFILE_TRIPLE arm-linux-gnueabihf)
set(PUSHFILE_PROCESSOR armv7l)
set(PUSHFILE_QEMU qemu-arm-static)
set(PUSHFILE_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
