# Cross build of quella.sys with mingw-w64 (32-bit x86), Debian's g++-mingw-w64-i686.
#   cmake --preset windows && cmake --build --preset windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QUELLA_MINGW_TRIPLET i686-w64-mingw32)
# The mingw-w64 sysroot; its include/ddk holds the kernel-mode headers the driver compiles against.
set(QUELLA_MINGW_SYSROOT /usr/${QUELLA_MINGW_TRIPLET} CACHE PATH "mingw-w64 i686 sysroot")

# Debian ships the compiler as i686-w64-mingw32-g++ (an alternative pointing at the -win32 or
# -posix flavour); the driver uses neither threading model, so either will do.
set(CMAKE_CXX_COMPILER ${QUELLA_MINGW_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${QUELLA_MINGW_TRIPLET}-gcc)
set(CMAKE_RC_COMPILER ${QUELLA_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${QUELLA_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH ${QUELLA_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
