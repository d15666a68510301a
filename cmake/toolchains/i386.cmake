set(CMAKE_SYSTEM_PROCESSOR i686)
set(VASQ_CROSS_TRIPLE i686-linux-gnu)
set(VASQ_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
