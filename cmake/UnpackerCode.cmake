# Code that ends up in the shipped unpacker: no exceptions, no RTTI, nothing
# that would pull the C++ runtime in.
function(unpacker_code target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
    $<$<AND:$<CONFIG:MinSizeRel>,$<BOOL:${WIN32}>>:-Oz>)
endfunction()

if(WIN32)
  # zlib from libz-mingw-w64-dev, always the static archive.
  find_library(ZLIB_STATIC_LIBRARY NAMES libz.a REQUIRED)
  find_path(ZLIB_STATIC_INCLUDE_DIR zlib.h REQUIRED)
  add_library(zlib_static STATIC IMPORTED GLOBAL)
  set_target_properties(zlib_static PROPERTIES
    IMPORTED_LOCATION ${ZLIB_STATIC_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${ZLIB_STATIC_INCLUDE_DIR})
  # Every Windows program is self-contained (Wine finds no MinGW DLLs) and
  # has no link time in its header, so that builds repeat byte for byte.
  add_link_options(-static -Wl,--no-insert-timestamp)
  # The shipping build is small and stripped.
  if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    add_link_options(-s)
  endif()
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsSources.cmake)
else()
  # Debian's libdeflate-dev, the static archive where there is one.
  find_library(LIBDEFLATE_LIBRARY NAMES libdeflate.a deflate REQUIRED)
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
  add_library(libdeflate_decompress INTERFACE IMPORTED GLOBAL)
  set_target_properties(libdeflate_decompress PROPERTIES
    INTERFACE_LINK_LIBRARIES ${LIBDEFLATE_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${LIBDEFLATE_INCLUDE_DIR})
  add_library(libdeflate_compress ALIAS libdeflate_decompress)
endif()
