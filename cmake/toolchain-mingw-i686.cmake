# The shipping target: 32-bit Windows. The posix thread model is the one
# GoogleTest builds with; the unpacker links no C++ runtime, so the model
# does not reach it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
