# libdeflate and zlib's inflate for the Windows builds (Debian ships no
# MinGW build of libdeflate, and its MinGW zlib is not built for size), from
# the sources that scripts/setup.sh fetches and checks: libdeflate's
# decompressor for the unpacker, its compressor as well for mksetup.exe, and
# zlib's streaming inflate for the unpacker's records too large for one
# window. The host build uses Debian's libdeflate-dev and zlib1g-dev instead.
set(LIBDEFLATE_SOURCE_DIR "$ENV{HOME}/.cache/veltrano-setup/libdeflate-1.14"
  CACHE PATH "libdeflate's sources (scripts/setup.sh fetches them)")
if(NOT EXISTS "${LIBDEFLATE_SOURCE_DIR}/.verified")
  message(FATAL_ERROR "libdeflate's sources are not in ${LIBDEFLATE_SOURCE_DIR}: run scripts/setup.sh")
endif()

set(libdeflate_lib ${LIBDEFLATE_SOURCE_DIR}/lib)
add_library(libdeflate_decompress STATIC
  ${libdeflate_lib}/deflate_decompress.c ${libdeflate_lib}/zlib_decompress.c
  ${libdeflate_lib}/adler32.c ${libdeflate_lib}/utils.c ${libdeflate_lib}/x86/cpu_features.c)
add_library(libdeflate_compress STATIC
  ${libdeflate_lib}/deflate_compress.c ${libdeflate_lib}/zlib_compress.c)
target_link_libraries(libdeflate_compress PUBLIC libdeflate_decompress)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_compile_options(libdeflate_decompress PRIVATE -include ${CMAKE_CURRENT_LIST_DIR}/libdeflate_i686.h)
  target_include_directories(libdeflate_decompress PRIVATE ${libdeflate_lib})
endif()
foreach(target libdeflate_decompress libdeflate_compress)
  target_include_directories(${target} SYSTEM PUBLIC ${LIBDEFLATE_SOURCE_DIR})
  # Built for speed also in the size-optimised shipping build: the inflate
  # loop is where extraction spends its time. No unwind tables (nothing
  # unwinds through C), only what is reachable.
  target_compile_options(${target} PRIVATE -O2 -w
    -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables)
endforeach()

# zlib's inflate alone, for size: no gzip support (so no CRC-32), nothing
# that deflates. mksetup.exe keeps Debian's MinGW zlib for compressing.
set(ZLIB_SOURCE_DIR "$ENV{HOME}/.cache/veltrano-setup/zlib-1.2.13.dfsg"
  CACHE PATH "zlib's sources (scripts/setup.sh fetches them)")
if(NOT EXISTS "${ZLIB_SOURCE_DIR}/.verified")
  message(FATAL_ERROR "zlib's sources are not in ${ZLIB_SOURCE_DIR}: run scripts/setup.sh")
endif()
# Its Adler-32 is libdeflate's (extract/zlib_adler32.c).
add_library(zlib_inflate STATIC
  ${ZLIB_SOURCE_DIR}/inflate.c ${ZLIB_SOURCE_DIR}/inffast.c ${ZLIB_SOURCE_DIR}/inftrees.c
  ${ZLIB_SOURCE_DIR}/zutil.c ${PROJECT_SOURCE_DIR}/extract/zlib_adler32.c)
target_include_directories(zlib_inflate SYSTEM PUBLIC ${ZLIB_SOURCE_DIR})
target_link_libraries(zlib_inflate PUBLIC libdeflate_decompress)
target_compile_definitions(zlib_inflate PRIVATE NO_GZIP)
target_compile_options(zlib_inflate PRIVATE -Os -w
  -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables)
