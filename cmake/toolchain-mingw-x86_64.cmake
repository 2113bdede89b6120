# The same sources for 64-bit Windows, run under wine64 by the tests. The
# posix thread model is the one GoogleTest builds with.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
