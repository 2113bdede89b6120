# Shared part of the two MinGW-w64 toolchain files. The including file sets
# MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and MINGW_THREADS
# (win32 or posix) before including this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP      ${MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Headers and libraries of the target (zlib from libz-mingw-w64-dev) live
# under /usr/<triple>; programs are always taken from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
