# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model: std::thread and std::mutex need it). Programs are linked
# statically, so they run without the compiler's DLLs, and run under wine
# where a build step or a test needs to run one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
# Headers and libraries come only from the mingw sysroot and the staged
# prefix (QUORRIN_WINDOWS_PREFIX), never from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${QUORRIN_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine CACHE STRING "How the build machine runs a Windows program")
