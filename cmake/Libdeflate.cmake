# libdeflate for the Windows builds (Debian ships none for MinGW), built from
# the sources that scripts/setup.sh fetches and checks: the decompressor for
# the unpacker, the compressor as well for mksetup.exe. The host build uses
# Debian's libdeflate-dev instead.
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
foreach(target libdeflate_decompress libdeflate_compress)
  target_include_directories(${target} SYSTEM PUBLIC ${LIBDEFLATE_SOURCE_DIR})
  # Built for speed also in the size-optimised shipping build: the inflate
  # loop is where extraction spends its time. No unwind tables (nothing
  # unwinds through C), only what is reachable.
  target_compile_options(${target} PRIVATE -O2 -w
    -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables)
endforeach()
