// What mksetup's commands share: the exit codes, the options (parsed in
// one place), usage errors, and the words in which they describe an
// installer. One file per command: build_command.cpp, list_command.cpp,
// verify_command.cpp, extract_command.cpp.
#pragma once

#include "tools/mksetup/file_io.h"
#include "tools/mksetup/installer.h"
#include "tools/mksetup/json.h"

#include <string>
#include <vector>

namespace mksetup {

enum ExitCode { kOk = 0, kProblems = 1, kUsage = 2, kIoError = 3 };

// Every command's options.
struct Options {
    bool help = false;
    std::string stub, out, manifest, sign;
    Compressor compressor = DefaultCompressor();
    long long level = -1;  // -1: the compressor's default
    long long jobs = 0;    // 0: one per core
    bool json = false, force = false, names = false, followLinks = false, noCache = false;
    std::string cache;                    // --cache: "" for the default one
    long long cacheLimit = 2048;          // --cache-limit, MB
    bool quiet = false, verbose = false;  // -q, -v
    long long codePage = 1252;           // the manifest's (--codepage)
    std::vector<std::string> operands;
};

// Parses the args of command ("build"), which may hold the options named
// in accepted (e.g. " --stub -o --json "), each once. False when the
// command ends here, its help printed or what is wrong with its arguments
// said, with *exit its exit code.
bool ParseCommand(const std::vector<std::string>& args, const char* command, const std::string& accepted,
                  const char* help, Options* o, int* exit);

// Says in one line what is wrong with command's arguments, and where help
// is; the usage exit code.
int Usage(const char* command, const std::string& complaint);

// Plain decimal digits for a number up to max; false for anything else.
bool ParseNumber(const std::string& text, long long max, long long* value);

// An installer opened for reading: kOk, or after saying why not, kProblems
// for a folder or what is no regular file and kIoError for a file that
// cannot be read. (A file that
// is no installer, or is cut short, the walk says so in plain words.)
int LoadInstaller(const std::string& path, FileView* data);

// A command that reads an installer: its options parsed as ParseCommand
// does, then exactly operands operands (else wanted is the complaint), the
// first the installer, opened. False when the command ends here, with
// *exit its exit code.
bool OpenCommand(const std::vector<std::string>& args, const char* command, const std::string& accepted,
                 const char* help, size_t operands, const char* wanted, Options* o, FileView* data, int* exit);

// The name the manifest gives record index, in UTF-8 and fit for a
// terminal (a control character shown as '?'); "" where it gives none.
std::string ShownName(const InstallerWalk& walk, uint32_t index, unsigned codePage);

// The words for what a walk found.
std::string SignatureText(const InstallerWalk& walk);
std::string DigestText(const InstallerWalk& walk);
std::string Hex(const uint8_t* bytes, size_t size);
unsigned long long BytesAfterTrailer(const InstallerWalk& walk);
void PrintProblems(const std::string& file, const InstallerWalk& walk);
double Ratio(const FileRecordHeader& h);
// For --json: the installer as a whole (file, size, signature, digests),
// and the problems and warnings, as keys of the object json is in.
void JsonInstaller(Json& json, const std::string& path, const InstallerWalk& walk);
void JsonProblems(Json& json, const InstallerWalk& walk);

int Build(const std::vector<std::string>& args);
int List(const std::vector<std::string>& args);
int Verify(const std::vector<std::string>& args);
int Extract(const std::vector<std::string>& args);

}  // namespace mksetup
