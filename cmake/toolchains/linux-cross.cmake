# Cross-compiles with Debian's cross toolchain for VASQ_CROSS_TRIPLE and runs the
# target's programs (tests, test discovery) under qemu-user with the target's
# libraries from /usr/<triple>. Included by the per-target files beside it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VASQ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VASQ_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VASQ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The guest loader would otherwise follow the host's /etc/ld.so.cache to a host copy
# of the target's C library (multilib /lib32) that does not match the cross loader.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VASQ_CROSS_QEMU} -L /usr/${VASQ_CROSS_TRIPLE}
  -E LD_LIBRARY_PATH=/usr/${VASQ_CROSS_TRIPLE}/lib)
