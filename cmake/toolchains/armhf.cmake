set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VASQ_CROSS_TRIPLE arm-linux-gnueabihf)
set(VASQ_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
