# Cross toolchain for the 32-bit Windows self-extractor (Debian's mingw-w64).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
#         -DZQ_STUB_ONLY=ON -DCMAKE_BUILD_TYPE=MinSizeRel
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZQ_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Prefix of the mingw-w64 cross tools")
set(CMAKE_C_COMPILER ${ZQ_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZQ_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${ZQ_MINGW_PREFIX}-windres)
set(CMAKE_AR ${ZQ_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZQ_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${ZQ_MINGW_PREFIX}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${ZQ_MINGW_PREFIX}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler checks link a test program; the stub itself links no C runtime,
# but the toolchain's own defaults are fine for the checks.
