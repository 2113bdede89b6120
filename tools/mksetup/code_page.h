// The manifest's code page: names go into it from UTF-8, and come back out
// of it to be shown. Windows code pages by number (1252, 1250, 932, 65001
// for UTF-8 itself...), through the system's own tables: iconv's CP<n> on
// Linux, MultiByteToWideChar and WideCharToMultiByte on Windows.
#pragma once

#include <string>

namespace mksetup {

// The second stage reads its manifest in the system's ANSI code page,
// Windows-1252 on Western systems.
enum : unsigned { kDefaultCodePage = 1252 };

// True when the system can convert to and from the code page, and it
// keeps printable ASCII as it is (no EBCDIC: the second stage reads the
// manifest's tags and the unpacker its file names in ASCII).
bool CodePageKnown(unsigned codePage);

// utf8 in the code page, every character kept; false when utf8 is not
// valid UTF-8 or holds a character the code page does not have.
bool ToCodePage(const std::string& utf8, unsigned codePage, std::string* out);

// bytes of the code page as UTF-8; false when they are not valid there.
bool FromCodePage(const std::string& bytes, unsigned codePage, std::string* utf8);

// The UTF-8 sequence at s[i]: its length, with its code point in *point;
// 0 when it is none (RFC 3629: no overlong form, no surrogate, nothing
// past U+10FFFF).
size_t Utf8Sequence(const std::string& s, size_t i, unsigned* point);

// A name as Windows compares names: each character of the Basic
// Multilingual Plane folded onto its capital, one for one, as NTFS's
// upcase table does ("Ωmega" and "ωMEGA" fold alike). UTF-8 in, UTF-8
// out; bytes that are not UTF-8 are kept as they are.
std::string FoldedName(const std::string& utf8);

}  // namespace mksetup
