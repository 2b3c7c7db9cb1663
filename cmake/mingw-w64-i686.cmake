# 32-bit Windows (i686), for the 32-bit hosts of plant floors, with MinGW-w64:
# preset mingw32. Vista or later: the library reads the monotonic clock
# through GetTickCount64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VQ6120_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
