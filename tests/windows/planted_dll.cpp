// A library planted beside an installer under a system library's name. If
// anything loads it, it leaves "<its own path>.loaded" behind and refuses
// to load, so that the system falls back on its own copy.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    lstrcpyA(path + (length < MAX_PATH ? length : 0), ".loaded");
    CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return FALSE;
}
