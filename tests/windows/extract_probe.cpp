// A stand-in for the unpacker's front end around the real extraction: it
// runs ExtractThreadProc on a worker thread over its own executable, as the
// unpacker does, with a window that takes the worker's WM_DESTROY.
//
//   extract_probe.exe WORKING_FOLDER\ REPORT_FILE
//
// Exit code: the worker's exit code. REPORT_FILE receives "destroy=<n>",
// the number of WM_DESTROY messages the window got, and "views=<n>", how
// many more mapped views the process holds after the extraction than
// before it (every view it maps must be released on every path).
#include "extract/extract_files.h"
#include "unpacker/process_state.h"

static int g_destroyCount;

// Mapped views in this process's address space.
static int CountMappedViews()
{
    int count = 0;
    MEMORY_BASIC_INFORMATION info;
    for (BYTE* address = NULL; VirtualQuery(address, &info, sizeof info) == sizeof info;
         address = (BYTE*)info.BaseAddress + info.RegionSize) {
        if (info.Type == MEM_MAPPED && info.BaseAddress == info.AllocationBase)
            ++count;
    }
    return count;
}

static LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        ++g_destroyCount;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 100;
    g_moduleHandle = GetModuleHandleA(NULL);
    lstrcpynA(g_workingFolder, argv[1], MAX_PATH);
    wsprintfA(g_logPath, "%s%s", g_workingFolder, "setup_error.log");

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProbeWindowProc;
    windowClass.hInstance = g_moduleHandle;
    windowClass.lpszClassName = "ExtractProbe";
    RegisterClassA(&windowClass);
    g_dialog = CreateWindowA("ExtractProbe", "probe", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL, g_moduleHandle, NULL);

    int viewsBefore = CountMappedViews();
    HANDLE worker = CreateThread(NULL, 0, ExtractThreadProc, g_workingFolder, 0, NULL);
    // Until the quit message, or until the worker ends without sending its
    // WM_DESTROY (a fault in GetViewFile ends it at once).
    BOOL quit = FALSE;
    while (!quit) {
        if (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0)
            break;
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                quit = TRUE;
            DispatchMessageA(&message);
        }
    }
    WaitForSingleObject(worker, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(worker, &code);

    HANDLE report = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    char text[64];
    DWORD written;
    WriteFile(report, text, wsprintfA(text, "destroy=%d\nviews=%d", g_destroyCount, CountMappedViews() - viewsBefore),
              &written, NULL);
    CloseHandle(report);
    return (int)code;
}
