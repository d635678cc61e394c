# Cross-compiles the Windows programs for x64 with Debian's mingw-w64 (posix
# thread model, so std::thread and std::mutex work) into fully static
# executables.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
