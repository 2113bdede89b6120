// mksetup: builds installers from the unpacker and a set of files, and
// lists, verifies and extracts them exactly as the unpacker reads them.
#include "tools/mksetup/command_line.h"
#include "tools/mksetup/interrupt.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

using namespace mksetup;

static const char kUsageText[] =
    "usage: mksetup COMMAND [OPTIONS] ...\n"
    "\n"
    "  build    pack files into an installer\n"
    "  list     show an installer's records\n"
    "  verify   check that the unpacker would extract every record\n"
    "  extract  write an installer's records into a folder\n"
    "\n"
    "mksetup COMMAND --help tells more; mksetup --version its version.\n"
    "Exit codes: 0 success; 1 refused or problems found; 2 wrong usage; 3 a\n"
    "file could not be read or written.\n";

int main(int argc, char** argv)
{
    HandleInterrupts();
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);  // what it prints is UTF-8, as its code page is (see mksetup.manifest)
#endif
    if (argc < 2)
        return Usage("", "no command given");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == "--version" || command == "-V") {
        std::printf("mksetup %s\n", MKSETUP_VERSION);
        return kOk;
    }
    try {
        if (command == "build")
            return Build(args);
        if (command == "list")
            return List(args);
        if (command == "verify")
            return Verify(args);
        if (command == "extract")
            return Extract(args);
    } catch (const std::bad_alloc&) {  // no memory is a report and an exit code, never an abort
        std::fprintf(stderr, "mksetup: not enough memory\n");
        return kIoError;
    }
    return Usage("", "unknown command " + command);
}
