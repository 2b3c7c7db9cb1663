# Cross-building for Windows with Debian's MinGW-w64 g++ (posix thread model:
# std::thread and std::mutex, which the tests use, need it). Included by the
# toolchain files of the two targets, mingw-w64-x86_64.cmake and
# mingw-w64-i686.cmake, which set VQ6120_MINGW_TRIPLE and the processor.
#
# The GCC runtime, the C++ standard library and winpthread are linked
# statically, so VQ6120_LIB.dll and the .exe files need no MinGW DLLs beside
# them: they import only from system DLLs (KERNEL32, WS2_32, msvcrt), and run
# under Wine or on Windows as they are.
#
# Executables built here run through scripts/wine-run.sh, for ctest and for
# GoogleTest's test discovery alike.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VQ6120_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VQ6120_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VQ6120_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VQ6120_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
