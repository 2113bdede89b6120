// The unpacker's resources as the system reads them back from the built
// file, and the 32-bit and x86-64 builds carrying the same ones.
#include "tests/support/windows_test.h"

#include <gtest/gtest.h>

namespace {

std::string Resource(HMODULE module, LPCSTR type, LPCSTR name)
{
    HRSRC found = FindResourceExA(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    return found ? std::string((const char*)LockResource(LoadResource(module, found)), SizeofResource(module, found)) : "";
}

BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR all)
{
    auto key = [](LPCSTR id) { return IS_INTRESOURCE(id) ? "#" + std::to_string((ULONG_PTR)id) : std::string(id); };
    (*(std::map<std::string, std::string>*)all)[key(type) + "/" + key(name)] = Resource(module, type, name);
    return TRUE;
}

BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR all)
{
    return EnumResourceNamesA(module, type, AddName, all);
}

INT_PTR CALLBACK NoDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(Resources, DialogIconVersionAndInertManifestsAsWindowsReadsThemTheSameInBothBuilds)
{
    std::string path = Here() + "unpacker-stub.exe";
    std::string other = Here() + "..\\..\\..\\" + (sizeof(void*) == 4 ? "win64" : "win32") + "\\unpacker\\unpacker.exe";
    HMODULE module = LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    HMODULE otherModule = LoadLibraryExA(other.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module && otherModule) << "both presets are built first: " << other;
    std::map<std::string, std::string> all, allOther;
    EnumResourceTypesA(module, AddType, (LONG_PTR)&all);
    EnumResourceTypesA(otherModule, AddType, (LONG_PTR)&allOther);
    EXPECT_EQ(11u, all.size()) << "dialog, icon group, 4 icons, version, 4 manifests";
    EXPECT_TRUE(all == allOther) << "the other build carries other resources";

    // The progress dialog: a caption with a close box, centred, 186 x 58
    // units, one static line at (22, 22).
    std::string dialog = Resource(module, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(101));
    HWND window = CreateDialogIndirectParamA(NULL, (LPCDLGTEMPLATEA)dialog.data(), NULL, NoDialogProc, 0);
    ASSERT_NE(nullptr, window);
    const LONG kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER;  // shown centred, not yet visible
    EXPECT_EQ(kStyle, GetWindowLongA(window, GWL_STYLE) & (kStyle | WS_VISIBLE));
    RECT client, units = {22, 22, 186, 58}, line;
    GetClientRect(window, &client);
    MapDialogRect(window, &units);
    HWND child = GetWindow(window, GW_CHILD);
    GetWindowRect(child, &line);
    MapWindowPoints(NULL, window, (POINT*)&line, 2);
    EXPECT_EQ(std::make_pair(units.right, units.bottom), std::make_pair(client.right, client.bottom));
    EXPECT_EQ(std::make_pair(units.left, units.top), std::make_pair(line.left, line.top));
    char text[64] = "";
    GetWindowTextA(child, text, sizeof text);
    EXPECT_STREQ("Prepearing to install...", text);
    EXPECT_EQ(nullptr, GetWindow(child, GW_HWNDNEXT)) << "one control";
    DestroyWindow(window);

    // The icon: an image of 16 and one of 32 pixels for the system to pick.
    std::string group = Resource(module, (LPCSTR)RT_GROUP_ICON, MAKEINTRESOURCEA(102));
    for (int pixels : {16, 32}) {
        int id = LookupIconIdFromDirectoryEx((PBYTE)&group[0], TRUE, pixels, pixels, LR_DEFAULTCOLOR);
        std::string image = Resource(module, (LPCSTR)RT_ICON, MAKEINTRESOURCEA(id));
        EXPECT_EQ(pixels, image.size() > 8 ? *(LONG*)&image[4] : 0) << "BITMAPINFOHEADER.biWidth";
    }

    DWORD ignored, size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> block(size);
    ASSERT_TRUE(size && GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(std::make_tuple(0x00010000ul, 1ul, (DWORD)VFT_APP),
              std::make_tuple(fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwFileType));
    for (const char* entry : {"FileVersion=1, 0, 0, 1", "ProductVersion=1, 0, 0, 1",
                              "ProductName=Install/Uninstall Application", "FileDescription= Install/Uninstall Application"}) {
        char* value = NULL;
        std::string name(entry, strchr(entry, '=') - entry), path = "\\StringFileInfo\\040904b0\\" + name;
        VerQueryValueA(block.data(), path.c_str(), (void**)&value, &length);
        EXPECT_NE(std::string::npos, std::string(value ? value : "").find(strchr(entry, '=') + 1)) << name;
    }
    // Four manifests under types the loader never reads.
    for (const char* n : {"1", "2", "3", "4"})
        EXPECT_NE(std::string::npos, Resource(module, (std::string("RT_MANIFEST") + n).c_str(), (std::string("MANIFEST_RESOURCE_ID") + n).c_str())
                                         .find("level=\"requireAdministrator\" uiAccess=\"false\"")) << n;
    EXPECT_EQ(nullptr, FindResourceA(module, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST));
    FreeLibrary(module), FreeLibrary(otherModule);
}

}  // namespace
