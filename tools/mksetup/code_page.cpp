#include "tools/mksetup/code_page.h"

#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <clocale>
#include <cwctype>
#include <iconv.h>
#include <locale.h>
#endif

namespace mksetup {

#ifdef _WIN32
static bool Widen(const std::string& text, unsigned codePage, std::wstring* wide)
{
    if (text.empty())
        return wide->clear(), true;
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), NULL, 0);
    if (n <= 0)
        return false;
    wide->resize(n);
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), &(*wide)[0], n) == n;
}

static bool Narrow(const std::wstring& wide, unsigned codePage, std::string* text)
{
    if (wide.empty())
        return text->clear(), true;
    int n = WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(), NULL, 0, NULL, NULL);
    if (n <= 0)
        return false;
    text->resize(n);
    return WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(), &(*text)[0], n, NULL, NULL) == n;
}

static bool Convertible(unsigned codePage)
{
    return IsValidCodePage(codePage);
}

// Through UTF-16, both ways: a character the code page lacks comes back
// as another (a '?', or a best fit), and is found so.
static bool Convert(const std::string& in, unsigned from, unsigned to, std::string* out)
{
    std::wstring wide, back;
    return Widen(in, from, &wide) && Narrow(wide, to, out) && Widen(*out, to, &back) && back == wide;
}

bool ToCodePage(const std::string& utf8, unsigned codePage, std::string* out)
{
    return Convert(utf8, CP_UTF8, codePage, out);
}

bool FromCodePage(const std::string& bytes, unsigned codePage, std::string* utf8)
{
    return Convert(bytes, codePage, CP_UTF8, utf8);
}
#else
static std::string IconvName(unsigned codePage)
{
    return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

static bool Convert(const std::string& in, const std::string& from, const std::string& to, std::string* out)
{
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == (iconv_t)-1)
        return false;
    std::vector<char> buffer(in.size() * 4 + 16);
    char* inPointer = const_cast<char*>(in.data());
    char* outPointer = buffer.data();
    size_t inLeft = in.size(), outLeft = buffer.size();
    bool ok = iconv(cd, &inPointer, &inLeft, &outPointer, &outLeft) != (size_t)-1 &&
              iconv(cd, nullptr, nullptr, &outPointer, &outLeft) != (size_t)-1;
    iconv_close(cd);
    out->assign(buffer.data(), outPointer);
    return ok && inLeft == 0;
}

static bool Convertible(unsigned codePage)
{
    iconv_t cd = iconv_open(IconvName(codePage).c_str(), "UTF-8");
    if (cd == (iconv_t)-1)
        return false;
    iconv_close(cd);
    return true;
}

// iconv refuses what the code page lacks (no //TRANSLIT): no best fit.
bool ToCodePage(const std::string& utf8, unsigned codePage, std::string* out)
{
    std::string back;
    return Convert(utf8, "UTF-8", IconvName(codePage), out) && Convert(*out, IconvName(codePage), "UTF-8", &back) &&
           back == utf8;
}

bool FromCodePage(const std::string& bytes, unsigned codePage, std::string* utf8)
{
    return Convert(bytes, IconvName(codePage), "UTF-8", utf8);
}
#endif

bool CodePageKnown(unsigned codePage)
{
    std::string ascii, out;
    for (char c = 0x20; c < 0x7F; ++c)
        ascii += c;
    return Convertible(codePage) && ToCodePage(ascii, codePage, &out) && out == ascii;
}

size_t Utf8Sequence(const std::string& s, size_t i, unsigned* point)
{
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    unsigned p = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if (((unsigned char)s[i + k] & 0xC0) != 0x80)
            return 0;
        p = p << 6 | ((unsigned char)s[i + k] & 0x3F);
    }
    if ((n == 3 && p < 0x800) || (n == 4 && (p < 0x10000 || p > 0x10FFFF)) || (p >= 0xD800 && p <= 0xDFFF))
        return 0;
    *point = p;
    return n;
}

static unsigned Capital(unsigned point)
{
    if (point < 0x80)
        return point >= 'a' && point <= 'z' ? point - 32 : point;
    if (point > 0xFFFF)
        return point;  // no case outside the BMP in Windows' table
#ifdef _WIN32
    WCHAR c = (WCHAR)point;
    CharUpperBuffW(&c, 1);
    return c;
#else
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    return utf8 ? (unsigned)towupper_l((wint_t)point, utf8) : point;
#endif
}

std::string FoldedName(const std::string& utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned point;
        size_t length = Utf8Sequence(utf8, i, &point);
        if (length == 0) {  // not UTF-8: the byte as it is
            out += utf8[i++];
            continue;
        }
        point = Capital(point);
        if (point < 0x80)
            out += (char)point;
        else if (point < 0x800)
            out += (char)(0xC0 | point >> 6), out += (char)(0x80 | (point & 0x3F));
        else if (point < 0x10000)
            out += (char)(0xE0 | point >> 12), out += (char)(0x80 | (point >> 6 & 0x3F)), out += (char)(0x80 | (point & 0x3F));
        else
            out += (char)(0xF0 | point >> 18), out += (char)(0x80 | (point >> 12 & 0x3F)),
                out += (char)(0x80 | (point >> 6 & 0x3F)), out += (char)(0x80 | (point & 0x3F));
        i += length;
    }
    return out;
}

}  // namespace mksetup
