# Shared part of the MinGW-w64 toolchain files. The including file sets TERVAN_MINGW_TRIPLE
# (i686-w64-mingw32 or x86_64-w64-mingw32) and CMAKE_SYSTEM_PROCESSOR.
#
# The -posix compilers use the POSIX thread model, which brings std::thread and std::mutex;
# GoogleTest does not build with the win32 thread model.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TERVAN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TERVAN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TERVAN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TERVAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: the C and C++ runtimes and winpthreads are linked in, so an .exe
# runs on a machine without any MinGW DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the test programs of both architectures: Debian's `wine` starts the 32-bit or the
# 64-bit loader as the program asks.
find_program(TERVAN_WINE NAMES wine)
if(TERVAN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TERVAN_WINE})
endif()
