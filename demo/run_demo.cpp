// Runs a demo installer as a user would and shows what happened:
//
//   run_demo.exe SETUP.exe TEMP_FOLDER\ SCREENSHOT.png
//
// The installer gets TEMP_FOLDER as its temporary folder. While it runs,
// its progress dialog is captured to SCREENSHOT.png; any message box it
// shows is printed and answered. At the end the working folder, the second
// stage's report and the log are printed.
#include "demo/dc_pixels.h"

#include <windows.h>
#include <zlib.h>

#include <stdio.h>
#include <string>
#include <vector>

static void PutU32(std::string& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += (char)(v >> shift);
}

static void Chunk(std::string& png, const char* type, const std::string& data)
{
    PutU32(png, (uint32_t)data.size());
    std::string body = std::string(type, 4) + data;
    png += body;
    PutU32(png, (uint32_t)crc32(0, (const Bytef*)body.data(), (uInt)body.size()));
}

// An RGB PNG of width x height pixels given top-down as 0x00RRGGBB.
static bool WritePng(const char* path, const std::vector<DWORD>& pixels, int width, int height)
{
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < width; ++x) {
            DWORD p = pixels[(size_t)y * width + x];
            raw += (char)(p >> 16);
            raw += (char)(p >> 8);
            raw += (char)p;
        }
    }
    uLongf packedLength = compressBound((uLong)raw.size());
    std::string packed(packedLength, '\0');
    compress2((Bytef*)&packed[0], &packedLength, (const Bytef*)raw.data(), (uLong)raw.size(), 9);
    packed.resize(packedLength);
    std::string header;
    PutU32(header, (uint32_t)width);
    PutU32(header, (uint32_t)height);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
    std::string png = "\x89PNG\r\n\x1a\n";
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", "");
    FILE* file = fopen(path, "wb");
    if (!file)
        return false;
    fwrite(png.data(), 1, png.size(), file);
    return fclose(file) == 0;
}

// The window as it is on the screen.
static bool Capture(HWND window, const char* path)
{
    UpdateWindow(window);
    RECT r;
    GetWindowRect(window, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(NULL);
    std::vector<DWORD> pixels = DcPixels(screen, r.left, r.top, width, height);
    ReleaseDC(NULL, screen);
    return WritePng(path, pixels, width, height);
}

static BOOL CALLBACK AnswerBox(HWND window, LPARAM processId)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    if (pid == (DWORD)processId && !lstrcmpA(className, "#32770") && IsWindowVisible(window) &&
        GetDlgItem(window, IDOK)) {
        char caption[256] = "", text[2048] = "";
        GetWindowTextA(window, caption, sizeof caption);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        printf("\nThe installer showed a message box \"%s\":\n%s\n", caption, text);
        PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

static void PrintFile(const std::string& path, const char* whenEmpty)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        printf("  (not there)\n");
        return;
    }
    char line[1024];
    bool any = false;
    while (fgets(line, sizeof line, file)) {
        printf("  %s", line);
        any = true;
    }
    fclose(file);
    if (!any)
        printf("  %s\n", whenEmpty);
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: run_demo.exe SETUP.exe TEMP_FOLDER\\ SCREENSHOT.png\n");
        return 2;
    }
    std::string setup = argv[1], temp = argv[2], screenshot = argv[3];
    SetEnvironmentVariableA("TMP", temp.c_str());
    SetEnvironmentVariableA("TEMP", temp.c_str());

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + setup + "\"";
    if (!CreateProcessA(setup.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "run_demo: cannot start %s (error %lu)\n", setup.c_str(), GetLastError());
        return 1;
    }
    printf("Started %s\n", setup.c_str());

    bool captured = false;
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        HWND dialog = FindWindowA(NULL, "Veltrano Setup");
        if (!captured && dialog && IsWindowVisible(dialog)) {
            Sleep(30);  // let it paint
            captured = IsWindow(dialog) && Capture(dialog, screenshot.c_str());
        }
        EnumWindows(AnswerBox, (LPARAM)process.dwProcessId);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::string work = temp + "KVFiles_Setup_Temp\\";
    printf("The installer ended with exit code %lu.\n", exitCode);
    printf("\nThe files went to %s\n", work.c_str());
    printf("\nWhat the second stage received and found (its demo_report.txt):\n");
    PrintFile(work + "demo_report.txt", "(empty)");
    printf("\nThe setup error log (%ssetup_error.log):\n", work.c_str());
    PrintFile(work + "setup_error.log", "(empty: nothing went wrong)");
    if (captured)
        printf("\nThe progress dialog, as it looked while extracting: %s\n", screenshot.c_str());
    else
        printf("\nThe progress dialog closed before it could be captured.\n");
    return 0;
}
