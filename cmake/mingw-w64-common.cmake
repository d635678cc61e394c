# The part of the two mingw-w64 toolchain files that does not depend on the
# processor; TOOLCHAIN_PREFIX names the compiler triplet.
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Without -static the programs import libstdc++-6.dll, libgcc_s and
# libwinpthread-1.dll, which neither Windows nor a clean Wine prefix has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine; `wine` picks the 32- or 64-bit loader that
# matches the executable.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
