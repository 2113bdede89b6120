// A cache of compressed records, so that a rebuild in which most inputs
// did not change costs little more than reading them. builder.cpp's.
//
// A record's stream is kept under a key made of everything that decides
// its bytes: the input's size and a fast hash of it, the compressor, its level
// and library version, and the way mksetup drives it. A stream found there
// is used only once it has been inflated and found to give the input's
// exact bytes, and to end where its entry ends: whoever else can write the
// cache can make a build slower, but can put nothing into an installer
// that the same inputs would not put there. Entries are written whole under
// a temporary name and renamed, so that an interrupted build leaves none
// half-written; the least recently used go once the cache is over its
// limit (BuildOptions::cacheLimit).
#pragma once

#include "tools/mksetup/installer.h"

#include <string>

namespace mksetup {

// The cache mksetup uses unless told otherwise: $XDG_CACHE_HOME/mksetup or
// ~/.cache/mksetup on Linux, %LOCALAPPDATA%\mksetup\cache on Windows; ""
// when there is no such place.
std::string DefaultCacheFolder();

// Whether folder is one only this user can write in (or is not there yet,
// and will be made so): a cache that others can write is not used. On
// Windows, where the default lies in the user's profile, true.
bool CacheIsPrivate(const std::string& folder);

// The stream cached in options.cacheFolder for data compressed as options
// say, into *stream; false when there is none that inflates to exactly
// data (or no cache). Any thread.
bool FindCachedStream(const BuildOptions& options, const uint8_t* data, size_t size, Bytes* stream);

// Keeps stream as the one for data compressed as options say; a cache that
// cannot be written is passed over, the build does not need it. Any thread.
void CacheStream(const BuildOptions& options, const uint8_t* data, size_t size, const Bytes& stream);

// Removes the least recently used entries until the cache is within
// options.cacheLimit.
void TrimCache(const BuildOptions& options);

}  // namespace mksetup
