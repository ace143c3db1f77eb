# Cross toolchain for the aarch64 Linux stub (Debian's g++-aarch64-linux-gnu),
# linked statically against the toolchain's C library; run it under qemu-user.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake \
#         -DZQ_STUB_ONLY=ON -DCMAKE_BUILD_TYPE=MinSizeRel
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZQ_CROSS_PREFIX aarch64-linux-gnu CACHE STRING "Prefix of the aarch64 cross tools")
set(CMAKE_C_COMPILER ${ZQ_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZQ_CROSS_PREFIX}-g++)
set(CMAKE_AR ${ZQ_CROSS_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZQ_CROSS_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${ZQ_CROSS_PREFIX}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZQ_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
