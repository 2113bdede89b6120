// The unpacker's resources as the system reads them back, from this test's
// build and from the other one (32-bit and x86-64), which must carry the
// same ones.
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

const bool k32Bit = sizeof(void*) == 4;

std::string Unpacker64()
{
    return k32Bit ? ThisProgramsFolder() + "..\\..\\..\\win64\\unpacker\\unpacker.exe"
                  : ThisProgramsFolder() + "unpacker-stub.exe";
}

std::string Unpacker32()
{
    return k32Bit ? ThisProgramsFolder() + "unpacker-stub.exe"
                  : ThisProgramsFolder() + "..\\..\\..\\win32\\unpacker\\unpacker.exe";
}

struct Module {
    explicit Module(const std::string& path) : handle(LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~Module()
    {
        if (handle)
            FreeLibrary(handle);
    }
    HMODULE handle;
};

// The bytes of one resource in the US English language, empty if absent.
std::string Resource(HMODULE module, LPCSTR type, LPCSTR name)
{
    HRSRC found = FindResourceExA(module, type, name, kEnglishUs);
    if (!found)
        return "";
    const char* data = (const char*)LockResource(LoadResource(module, found));
    return std::string(data, SizeofResource(module, found));
}

WORD Word(const std::string& b, size_t at)
{
    return (WORD)((BYTE)b[at] | ((BYTE)b[at + 1] << 8));
}

DWORD Dword(const std::string& b, size_t at)
{
    return Word(b, at) | ((DWORD)Word(b, at + 2) << 16);
}

// A zero-terminated UTF-16 string of ASCII characters at *at; moves past it.
std::string Utf16(const std::string& b, size_t* at)
{
    std::string s;
    for (WORD c; (c = Word(b, *at)) != 0; *at += 2)
        s += (char)c;
    *at += 2;
    return s;
}

void ExpectProgressDialog(HMODULE module)
{
    std::string t = Resource(module, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(101));
    ASSERT_GE(t.size(), 18u) << "dialog 101";
    EXPECT_EQ(0x80C808C0u, Dword(t, 0)) << "style";
    EXPECT_EQ(0u, Dword(t, 4)) << "extended style";
    EXPECT_EQ(1, Word(t, 8)) << "controls";
    EXPECT_EQ(0, (short)Word(t, 10));
    EXPECT_EQ(0, (short)Word(t, 12));
    EXPECT_EQ(186, Word(t, 14));
    EXPECT_EQ(58, Word(t, 16));
    size_t at = 18;
    EXPECT_EQ(0, Word(t, at)) << "no menu";
    at += 2;
    EXPECT_EQ(0, Word(t, at)) << "the system's dialog class";
    at += 2;
    EXPECT_EQ("", Utf16(t, &at)) << "empty caption";
    EXPECT_EQ(8, Word(t, at)) << "point size";
    at += 2;
    EXPECT_EQ("MS Sans Serif", Utf16(t, &at));

    at = (at + 3) & ~(size_t)3;  // items are DWORD-aligned
    ASSERT_GE(t.size(), at + 18);
    EXPECT_EQ(0x50020000u, Dword(t, at));
    EXPECT_EQ(0u, Dword(t, at + 4));
    EXPECT_EQ(22, Word(t, at + 8));
    EXPECT_EQ(22, Word(t, at + 10));
    EXPECT_EQ(135, Word(t, at + 12));
    EXPECT_EQ(8, Word(t, at + 14));
    EXPECT_EQ(0xFFFF, Word(t, at + 16)) << "IDC_STATIC";
    at += 18;
    EXPECT_EQ(0xFFFF, Word(t, at));
    EXPECT_EQ(0x0082, Word(t, at + 2)) << "STATIC";
    at += 4;
    EXPECT_EQ("Prepearing to install...", Utf16(t, &at));
    EXPECT_EQ(0, Word(t, at)) << "no creation data";
}

void ExpectIcon(HMODULE module)
{
    std::string group = Resource(module, (LPCSTR)RT_GROUP_ICON, MAKEINTRESOURCEA(102));
    ASSERT_EQ(6u + 4 * 14, group.size()) << "icon group 102 with four images";
    EXPECT_EQ(1, Word(group, 2));
    EXPECT_EQ(4, Word(group, 4));
    const struct {
        int size, colours, bits;
        DWORD bytes;
    } expected[4] = {{16, 16, 4, 296}, {16, 0, 8, 1384}, {32, 16, 4, 744}, {32, 0, 8, 2216}};
    for (int i = 0; i < 4; ++i) {
        size_t e = 6 + 14 * i;
        EXPECT_EQ(expected[i].size, (BYTE)group[e]) << i;
        EXPECT_EQ(expected[i].size, (BYTE)group[e + 1]) << i;
        EXPECT_EQ(expected[i].colours, (BYTE)group[e + 2]) << i;
        EXPECT_EQ(1, Word(group, e + 4)) << i;
        EXPECT_EQ(expected[i].bits, Word(group, e + 6)) << i;
        EXPECT_EQ(expected[i].bytes, Dword(group, e + 8)) << i;
        WORD id = Word(group, e + 12);
        EXPECT_EQ(i + 1, id);
        std::string image = Resource(module, (LPCSTR)RT_ICON, MAKEINTRESOURCEA(id));
        ASSERT_EQ(expected[i].bytes, image.size()) << i;
        EXPECT_EQ(40u, Dword(image, 0)) << "BITMAPINFOHEADER";
        EXPECT_EQ((DWORD)expected[i].size, Dword(image, 4));
        EXPECT_EQ((DWORD)expected[i].size * 2, Dword(image, 8)) << "colours and mask";
        EXPECT_EQ(1, Word(image, 12));
        EXPECT_EQ(expected[i].bits, Word(image, 14));
    }
}

void ExpectManifests(HMODULE module)
{
    for (int n = 1; n <= 4; ++n) {
        std::string type = "RT_MANIFEST" + std::to_string(n), name = "MANIFEST_RESOURCE_ID" + std::to_string(n);
        std::string text = Resource(module, type.c_str(), name.c_str());
        EXPECT_GE(text.size(), 670u) << type;
        EXPECT_LE(text.size(), 679u) << type;
        EXPECT_EQ(0u, text.find("<?xml version=\"1.0\" encoding=\"UTF-8\"")) << type;
        for (const char* part : {"version=\"1.0.0.0\"", "processorArchitecture=\"X86\"", "type=\"win32\"",
                                 "<description>", "level=\"requireAdministrator\" uiAccess=\"false\""})
            EXPECT_NE(std::string::npos, text.find(part)) << type << ": " << part;
    }
    EXPECT_EQ(nullptr, FindResourceA(module, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST))
        << "no manifest the loader would read";
}

std::string VersionString(const std::vector<char>& block, const std::string& name)
{
    char* value = nullptr;
    UINT length = 0;
    std::string path = "\\StringFileInfo\\040904b0\\" + name;
    if (!VerQueryValueA(block.data(), path.c_str(), (void**)&value, &length) || !value)
        return "<missing>";
    return std::string(value, length ? length - 1 : 0);
}

void ExpectVersion(const std::string& path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
    EXPECT_EQ(0x17u, fixed->dwFileFlagsMask);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ((DWORD)VOS__WINDOWS32, fixed->dwFileOS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileSubtype);
    EXPECT_EQ(0u, fixed->dwFileDateMS | fixed->dwFileDateLS);

    std::string description = VersionString(block, "FileDescription");
    const std::string product = "Install/Uninstall Application";
    ASSERT_GT(description.size(), product.size() + 1);
    EXPECT_EQ(" " + product, description.substr(description.size() - product.size() - 1));
    EXPECT_EQ("1, 0, 0, 1", VersionString(block, "FileVersion"));
    EXPECT_EQ(product, VersionString(block, "ProductName"));
    EXPECT_EQ("1, 0, 0, 1", VersionString(block, "ProductVersion"));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
}

// Machine, optional header magic and subsystem from the PE headers.
struct PeKind {
    WORD machine, magic, subsystem;
};

PeKind ReadPeKind(const std::string& path)
{
    std::string file = ReadWholeFile(path);
    PeKind kind = {};
    if (file.size() < 0x40 || file.compare(0, 2, "MZ") != 0)
        return kind;
    DWORD pe = Dword(file, 0x3C);
    if (file.size() < pe + 24 + 70 || file.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return kind;
    kind.machine = Word(file, pe + 4);
    kind.magic = Word(file, pe + 24);
    kind.subsystem = Word(file, pe + 24 + 68);
    return kind;
}

struct Resources {
    HMODULE module;
    std::map<std::string, std::string> all;  // "type/name" -> bytes
};

BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR into)
{
    auto key = [](LPCSTR id) { return IS_INTRESOURCE(id) ? "#" + std::to_string((ULONG_PTR)id) : std::string(id); };
    (*(std::map<std::string, std::string>*)into)[key(type) + "/" + key(name)] = Resource(module, type, name);
    return TRUE;
}

BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR into)
{
    EnumResourceNamesA(module, type, AddName, into);
    return TRUE;
}

std::map<std::string, std::string> AllResources(HMODULE module)
{
    std::map<std::string, std::string> all;
    EnumResourceTypesA(module, AddType, (LONG_PTR)&all);
    return all;
}

TEST(Resources, UnpackerCarriesDialogIconVersionAndInertManifests)
{
    std::string unpacker = k32Bit ? Unpacker32() : Unpacker64();
    Module module(unpacker);
    ASSERT_NE(nullptr, module.handle);
    ExpectProgressDialog(module.handle);
    ExpectIcon(module.handle);
    ExpectManifests(module.handle);
    ExpectVersion(unpacker);
    EXPECT_EQ(11u, AllResources(module.handle).size()) << "dialog, icon group, 4 icons, version, 4 manifests";
}

TEST(Resources, ShippingBuildIsA32BitGuiProgramWithTheSameResources)
{
    // scripts/test.sh builds both presets before it runs any test.
    ASSERT_TRUE(FileExists(Unpacker32()) && FileExists(Unpacker64()))
        << "build both the win32 and the win64 preset: " << Unpacker32() << ", " << Unpacker64();
    PeKind kind32 = ReadPeKind(Unpacker32());
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, kind32.machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, kind32.magic) << "PE32";
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, kind32.subsystem);
    PeKind kind64 = ReadPeKind(Unpacker64());
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, kind64.machine);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, kind64.subsystem);

    Module module32(Unpacker32()), module64(Unpacker64());
    ASSERT_NE(nullptr, module32.handle);
    ASSERT_NE(nullptr, module64.handle);
    ExpectProgressDialog(k32Bit ? module64.handle : module32.handle);
    ExpectVersion(k32Bit ? Unpacker64() : Unpacker32());
    auto resources32 = AllResources(module32.handle), resources64 = AllResources(module64.handle);
    ASSERT_EQ(resources64.size(), resources32.size());
    for (const auto& r : resources64)
        EXPECT_TRUE(resources32[r.first] == r.second) << r.first << " differs";
}

}  // namespace
