# Cross-compiles the Windows programs for 32-bit x86 with Debian's mingw-w64
# (posix thread model) into fully static executables. Wine runs them through
# its 32-bit loader (wine32:i386) in the same win64 prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
