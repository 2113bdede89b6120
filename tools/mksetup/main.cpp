// mksetup: builds installers from the unpacker and a set of files, and
// lists, verifies and extracts them exactly as the unpacker reads them.
#include "tools/mksetup/file_io.h"
#include "tools/mksetup/installer.h"
#include "tools/mksetup/sign_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <string>
#include <vector>

using namespace mksetup;

namespace {

enum ExitCode { kOk = 0, kProblems = 1, kUsage = 2, kIoError = 3 };

const char kUsageText[] =
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

const char kBuildHelp[] =
    "usage: mksetup build --stub UNPACKER.exe -o SETUP.exe [--manifest FILE] [--level N] FILE...\n"
    "\n"
    "Writes the stub, record 0 (the manifest), one record per FILE in order,\n"
    "then the trailer. Without --manifest the manifest has one <Pn=\"NAME\">\n"
    "line per FILE. A manifest given must hold the tags <P1=\" to <PN=\" for\n"
    "exactly the N files, and no zero byte. FILE 1 is the program the\n"
    "unpacker starts. Each record keeps its file's creation, last-access and\n"
    "last-write times. With SOURCE_DATE_EPOCH set, creation and last-write\n"
    "times are clamped to it, the last-access time (which reading a file\n"
    "moves) is the last-write time, and equal inputs give byte-identical\n"
    "installers.\n"
    "\n"
    "  --compressor libdeflate|zlib\n"
    "              what writes the zlib-format streams (default libdeflate,\n"
    "              which packs smaller)\n"
    "  --level N   libdeflate 0 to 12 (default 12), zlib 0 to 9 (default 9)\n"
    "  --jobs N    compress on N threads (default: one per core); the bytes\n"
    "              are the same for any N. Memory: about twice the largest\n"
    "              file, whatever the number and size of the others\n"
    "  --sign COMMAND\n"
    "              sign the installer: the program COMMAND names runs, without a\n"
    "              shell, with {in} replaced by the unsigned file and {out} by\n"
    "              the file it must write, e.g. 'osslsigncode sign -certs c.pem\n"
    "              -key k.pem -in {in} -out {out}'. COMMAND is split into words\n"
    "              at blanks, the same on every system: a part in '...' or\n"
    "              \"...\" keeps its blanks and loses its quotes; nothing else is\n"
    "              special (a backslash is a backslash). {in} and {out} always\n"
    "              stay within their word, quoted or not. The signed file is\n"
    "              read back as the unpacker reads it, and refused (no output)\n"
    "              if it carries no signature, if the signature pushed the\n"
    "              trailer out of the scan window, or if anything broke.\n"
    "\n"
    "Refused, leaving no output: an empty FILE, 4 GB or more in all, a\n"
    "manifest that skips a tag or names a record not given, marker bytes\n"
    "in the last 30000 bytes before the trailer.\n";

const char kListHelp[] =
    "usage: mksetup list [--json] SETUP.exe\n"
    "\n"
    "Shows the first record's offset, the trailer's position, how many bytes\n"
    "follow it, the Authenticode signature if any and, per record the\n"
    "manifest names, its index, output name, offset, stored and compressed\n"
    "size, ratio and its three times in UTC.\n";

const char kVerifyHelp[] =
    "usage: mksetup verify SETUP.exe\n"
    "\n"
    "Reads the installer exactly as the unpacker will (trailer scan, record\n"
    "walk driven by the manifest's tags, zlib's uncompress into a buffer of\n"
    "the declared size) and reports every problem with its record's index\n"
    "and offset. Exits 0 only when the unpacker would extract every record.\n"
    "Tells whether the file is signed, and fails when what follows the\n"
    "trailer (a signature) pushed it out of the unpacker's scan window.\n";

const char kExtractHelp[] =
    "usage: mksetup extract SETUP.exe DIR\n"
    "\n"
    "Writes KVFiles<n>.tmp into DIR with the stored sizes and times, as the\n"
    "unpacker does (the creation time only where the system can set it).\n";

int Usage(const char* help, const std::string& complaint)
{
    std::fprintf(stderr, "mksetup: %s\n\n%s", complaint.c_str(), help);
    return kUsage;
}

// Plain decimal digits for a number up to max; false for anything else.
bool ParseNumber(const std::string& text, long long max, long long* value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long long n = std::strtoll(text.c_str(), nullptr, 10);
    if (n > max)
        return false;
    *value = n;
    return true;
}

// Every command's options, parsed in one place.
struct Options {
    bool help = false;
    std::string stub, out, manifest, sign;
    Compressor compressor = DefaultCompressor();
    long long level = -1;  // -1: the compressor's default
    long long jobs = 0;    // 0: one per core
    bool json = false;
    std::vector<std::string> operands;
};

// Parses args for a command that takes the options named in accepted
// (e.g. " --stub -o --json "); "" or what is wrong with them.
std::string ParseOptions(const std::vector<std::string>& args, const std::string& accepted, Options* o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o->help = true;
            return "";
        }
        if (a.size() < 2 || a[0] != '-') {
            o->operands.push_back(a);
            continue;
        }
        if (accepted.find(" " + (a == "--output" ? std::string("-o") : a) + " ") == std::string::npos)
            return "unknown option " + a;
        if (a == "--json") {
            o->json = true;
            continue;
        }
        if (i + 1 >= args.size())
            return a + " needs a value";
        const std::string& value = args[++i];
        if (a == "--stub")
            o->stub = value;
        else if (a == "-o" || a == "--output")
            o->out = value;
        else if (a == "--manifest")
            o->manifest = value;
        else if (a == "--sign")
            o->sign = value;
        else if (a == "--compressor" && (value == "zlib" || value == "libdeflate"))
            o->compressor = value == "zlib" ? Compressor::kZlib : Compressor::kLibdeflate;
        else if (a == "--compressor")
            return "--compressor takes libdeflate or zlib";
        else if (a == "--level" && !ParseNumber(value, 99, &o->level))
            return "--level takes a number";
        else if (a == "--jobs" && (!ParseNumber(value, 1024, &o->jobs) || o->jobs < 1))
            return "--jobs takes a number from 1 to 1024";
    }
    return "";
}

// A command's options; false when the command ends here, with its help
// printed or what is wrong with its arguments, and *exit its exit code.
bool ParseCommand(const std::vector<std::string>& args, const std::string& accepted, const char* help, Options* o,
                  int* exit)
{
    std::string complaint = ParseOptions(args, accepted, o);
    if (o->help) {
        std::fputs(help, stdout);
        *exit = kOk;
        return false;
    }
    if (!complaint.empty()) {
        *exit = Usage(help, complaint);
        return false;
    }
    return true;
}

std::string SignatureText(const InstallerWalk& walk)
{
    const PeSignature& s = walk.signature;
    if (!s.present)
        return "not signed; the payload may run to the end of the file";
    return "signed: an Authenticode signature of " + std::to_string(s.size) + " bytes at offset " +
           std::to_string(s.offset) + (s.inPlace ? "; the payload ends there" : "");
}

std::string Hex(const uint8_t* bytes, size_t size)
{
    std::string hex;
    for (size_t i = 0; i < size; ++i)
        hex += "0123456789abcdef"[bytes[i] >> 4], hex += "0123456789abcdef"[bytes[i] & 15];
    return hex;
}

// The payload's digest and what the stub records of it.
std::string DigestText(const InstallerWalk& walk)
{
    std::string digest = "payload digest (BLAKE2s-256) " + Hex(walk.digest, kDigestSize);
    if (!walk.checks)
        return digest + "; the stub records none and checks none";
    if (!walk.recorded)
        return digest + "; the stub records none";
    if (std::memcmp(walk.digest, walk.recordedDigest, kDigestSize) != 0)
        return digest + "; the stub records another: " + Hex(walk.recordedDigest, kDigestSize);
    return digest + ", as the stub records";
}

// Bytes between the trailer and the end of the payload-bearing file.
unsigned long long BytesAfterTrailer(const InstallerWalk& walk)
{
    return walk.signature.payloadEnd - walk.trailerEnd;
}

void PrintProblems(const std::string& file, const InstallerWalk& walk)
{
    for (const std::string& w : walk.warnings)
        std::fprintf(stderr, "%s: warning: %s\n", file.c_str(), w.c_str());
    for (const Problem& p : walk.problems) {
        if (p.index >= 0)
            std::fprintf(stderr, "%s: record %lld at offset %llu: %s\n", file.c_str(), (long long)p.index,
                         (unsigned long long)p.offset, p.what.c_str());
        else
            std::fprintf(stderr, "%s: %s\n", file.c_str(), p.what.c_str());
    }
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

double Ratio(const FileRecordHeader& h)
{
    return h.UncompressedSize ? (double)h.CompressedSize / h.UncompressedSize : 0.0;
}

// Reads the installer at path back as the unpacker will, within a few
// records of memory; kOk, or kProblems after saying what is wrong (as
// shownAs). Signed, it must carry a signature.
int ReadBack(const std::string& path, const std::string& shownAs, bool signedFile, InstallerWalk* walk)
{
    FileView view;
    std::string error;
    if (!view.Open(path, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return kIoError;
    }
    *walk = WalkInstaller(view.data(), view.size(), true, nullptr,
                          [&](uint64_t begin, uint64_t end) { view.Release(begin, end); });
    if (!walk->Ok()) {
        std::fprintf(stderr, "mksetup: %sthe unpacker could not read this installer:\n", signedFile ? "after signing, " : "");
        PrintProblems(shownAs, *walk);
        return kProblems;
    }
    if (signedFile && !walk->signature.present) {
        std::fprintf(stderr, "mksetup: the signing command left the installer unsigned (no certificate table)\n");
        return kProblems;
    }
    return kOk;
}

// Runs the signing command over the unsigned installer and keeps its output
// only if the unpacker can still read every record of it.
int SignAndWrite(const std::string& unsignedPath, const std::string& outPath, const std::string& command)
{
    std::string signedPath = outPath + ".signed";
    auto cleanUp = [&] {
        std::remove(unsignedPath.c_str());
        std::remove(signedPath.c_str());
    };
    std::string error;
    std::vector<std::string> words;
    if (!SignCommandWords(command, unsignedPath, signedPath, &words, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        cleanUp();
        return kUsage;
    }
    std::remove(signedPath.c_str());
    std::string failure = RunProgram(words);
    if (!failure.empty()) {
        std::fprintf(stderr, "mksetup: the signing command failed (%s)\n", failure.c_str());
        cleanUp();
        return kProblems;
    }
    if (!std::ifstream(signedPath)) {
        std::fprintf(stderr, "mksetup: the signing command wrote no %s\n", signedPath.c_str());
        cleanUp();
        return kProblems;
    }
    InstallerWalk walk;
    int checked = ReadBack(signedPath, outPath, true, &walk);
    if (checked != kOk) {
        cleanUp();
        return checked;
    }
    std::printf("%s: %s\n", outPath.c_str(), SignatureText(walk).c_str());
    std::remove(unsignedPath.c_str());
    if (!MoveIntoPlace(signedPath, outPath)) {
        std::fprintf(stderr, "mksetup: %s: could not be written\n", outPath.c_str());
        cleanUp();
        return kIoError;
    }
    return kOk;
}

int Build(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, " --stub -o --manifest --compressor --sign --level --jobs ", kBuildHelp, &o, &exit))
        return exit;
    if (o.stub.empty() || o.out.empty())
        return Usage(kBuildHelp, "--stub and -o are required");
    std::vector<std::string> words;
    std::string wordsError;
    if (!o.sign.empty() && (o.sign.find("{in}") == std::string::npos || o.sign.find("{out}") == std::string::npos))
        return Usage(kBuildHelp, "--sign needs a command with {in} and {out}");
    if (!o.sign.empty() && !SignCommandWords(o.sign, "", "", &words, &wordsError))
        return Usage(kBuildHelp, wordsError);
    if (o.level < 0)
        o.level = DefaultLevel(o.compressor);
    if (o.level > MaxLevel(o.compressor))
        return Usage(kBuildHelp, "--level takes 0 to " + std::to_string(MaxLevel(o.compressor)) + " with this compressor");
    if (o.operands.empty())
        return Usage(kBuildHelp, "no FILE given: record 1 is the program the unpacker starts");

    std::string error;
    BuildOptions options;
    options.compressor = o.compressor;
    options.level = (int)o.level;
    options.jobs = (unsigned)o.jobs;
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        long long seconds;
        if (!ParseNumber(epoch, 253402300799, &seconds)) {  // up to 9999-12-31
            std::fprintf(stderr, "mksetup: SOURCE_DATE_EPOCH is not a number of seconds: %s\n", epoch);
            return kUsage;
        }
        options.clampTime = FileTimeFromUnix(seconds);
    }

    Bytes stub;
    if (!ReadWholeFile(o.stub, &stub, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return kIoError;
    }
    std::vector<InputFile> files;
    for (const std::string& path : o.operands) {
        InputFile f;
        f.path = path;
        f.name = BaseName(path);
        // Times first: reading the file may move its last-access time. The
        // file is read when its record is compressed, at this size.
        f.fromPath = true;
        if (!GetFileTimes(path, &f.times, &error) || !GetFileSize(path, &f.size, &error)) {
            std::fprintf(stderr, "mksetup: %s\n", error.c_str());
            return kIoError;
        }
        files.push_back(std::move(f));
    }
    InputFile manifest;
    if (o.manifest.empty()) {
        manifest = GeneratedManifest(files, FileTimeFromUnix((int64_t)std::time(nullptr)));
    } else {
        manifest.path = o.manifest;
        if (!GetFileTimes(o.manifest, &manifest.times, &error) || !ReadWholeFile(o.manifest, &manifest.data, &error)) {
            std::fprintf(stderr, "mksetup: %s\n", error.c_str());
            return kIoError;
        }
    }

    bool showProgress = StderrIsTerminal();
    auto progress = [&](size_t done, size_t total) {
        if (showProgress)
            std::fprintf(stderr, "\rmksetup: compressing %zu of %zu records", done, total);
    };
    // Written as it is built, into the file that is renamed into place (or
    // handed to the signing command) once it has been read back.
    std::string partial = o.out + (o.sign.empty() ? ".partial" : ".unsigned");
    FILE* out = CreateNewFile(partial, &error);
    if (!out) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return kIoError;
    }
    uint64_t size = 0;
    auto write = [&](uint64_t offset, const uint8_t* bytes, size_t n, std::string* why) {
        // In order, but for the stub's digest at the end (and back again).
        bool ok = (offset == size || SeekFile(out, offset)) && std::fwrite(bytes, 1, n, out) == n &&
                  (offset + n >= size || SeekFile(out, size));
        size = std::max(size, offset + n);
        if (!ok)
            *why = partial + ": could not be written";
        return ok;
    };
    BuildResult built = BuildInstaller(stub, manifest, files, options, write, &error, progress);
    if (showProgress)
        std::fputs("\n", stderr);
    if (std::fclose(out) != 0 && built == BuildResult::kBuilt) {
        error = partial + ": could not be written";
        built = BuildResult::kUnreadable;
    }
    if (built != BuildResult::kBuilt) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return built == BuildResult::kRefused ? kProblems : kIoError;
    }
    if (!o.sign.empty())
        return SignAndWrite(partial, o.out, o.sign);
    // Read back as the unpacker will: a stub that carries a certificate
    // table already, say, gives an installer it refuses.
    InstallerWalk walk;
    int checked = ReadBack(partial, o.out, false, &walk);
    if (checked != kOk || !MoveIntoPlace(partial, o.out)) {
        std::remove(partial.c_str());
        if (checked == kOk)
            std::fprintf(stderr, "mksetup: %s: could not be written\n", o.out.c_str());
        return checked != kOk ? checked : kIoError;
    }
    std::printf("%s: %llu bytes, %zu files after the manifest\n", o.out.c_str(), (unsigned long long)size, files.size());
    return kOk;
}

// Opens the installer for list, verify and extract.
bool LoadInstaller(const std::string& path, FileView* data)
{
    std::string error;
    if (!data->Open(path, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return false;
    }
    return true;
}

int List(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, " --json ", kListHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 1)
        return Usage(kListHelp, "one SETUP.exe, please");
    const std::string& path = o.operands[0];
    bool json = o.json;
    FileView data;
    if (!LoadInstaller(path, &data))
        return kIoError;
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), false);
    uint32_t trailerOffset = walk.trailerEnd >= kTrailerSize ? walk.trailerEnd - kTrailerSize : 0;

    if (json) {
        std::printf("{\n  \"file\": %s,\n  \"size\": %llu,\n  \"markerFound\": %s,\n"
                    "  \"firstRecordOffset\": %u,\n  \"trailerOffset\": %u,\n  \"trailerEnd\": %u,\n"
                    "  \"bytesAfterTrailer\": %llu,\n  \"payloadEnd\": %u,\n  \"signature\": %s,\n"
                    "  \"payloadDigest\": \"%s\",\n  \"recordedDigest\": %s,\n  \"records\": [",
                    JsonString(path).c_str(), (unsigned long long)walk.fileSize, walk.markerFound ? "true" : "false",
                    walk.firstRecordOffset, trailerOffset, walk.trailerEnd,
                    BytesAfterTrailer(walk), walk.signature.payloadEnd,
                    walk.signature.present ? ("{\"offset\": " + std::to_string(walk.signature.offset) +
                                              ", \"size\": " + std::to_string(walk.signature.size) + "}")
                                                 .c_str()
                                           : "null",
                    Hex(walk.digest, kDigestSize).c_str(),
                    walk.recorded ? ("\"" + Hex(walk.recordedDigest, kDigestSize) + "\"").c_str() : "null");
        for (size_t i = 0; i < walk.records.size(); ++i) {
            const WalkedRecord& r = walk.records[i];
            std::printf("%s\n    {\"index\": %u, \"name\": %s, \"offset\": %u, \"size\": %u, \"compressedSize\": %u, "
                        "\"ratio\": %.4f, \"creationTime\": %s, \"lastAccessTime\": %s, \"lastWriteTime\": %s}",
                        i ? "," : "", r.index, JsonString(OutputName(r.index)).c_str(), r.offset,
                        r.header.UncompressedSize, r.header.CompressedSize, Ratio(r.header),
                        JsonString(FormatFileTimeUtc(r.header.CreationTime)).c_str(),
                        JsonString(FormatFileTimeUtc(r.header.LastAccessTime)).c_str(),
                        JsonString(FormatFileTimeUtc(r.header.LastWriteTime)).c_str());
        }
        std::printf("\n  ],\n  \"problems\": [");
        for (size_t i = 0; i < walk.problems.size(); ++i) {
            const Problem& p = walk.problems[i];
            std::printf("%s\n    {\"index\": %lld, \"offset\": %llu, \"message\": %s}", i ? "," : "",
                        (long long)p.index, (unsigned long long)p.offset, JsonString(p.what).c_str());
        }
        std::printf("\n  ]\n}\n");
    } else {
        std::printf("%s: %llu bytes\n", path.c_str(), (unsigned long long)walk.fileSize);
        std::printf("first record at offset %u\n", walk.firstRecordOffset);
        if (walk.markerFound)
            std::printf("trailer at offset %u, %llu bytes follow it\n", trailerOffset, BytesAfterTrailer(walk));
        else
            std::printf("no trailer marker in the last %d bytes\n", (int)kScanWindow);
        std::printf("%s\n", SignatureText(walk).c_str());
        std::printf("%s\n", DigestText(walk).c_str());
        std::printf("%5s  %-14s %10s %10s %10s %6s  %-28s %-28s %-28s\n", "index", "name", "offset", "size",
                    "compressed", "ratio", "created (UTC)", "last access (UTC)", "last write (UTC)");
        for (const WalkedRecord& r : walk.records)
            std::printf("%5u  %-14s %10u %10u %10u %5.1f%%  %-28s %-28s %-28s\n", r.index,
                        OutputName(r.index).c_str(), r.offset, r.header.UncompressedSize, r.header.CompressedSize,
                        100.0 * Ratio(r.header), FormatFileTimeUtc(r.header.CreationTime).c_str(),
                        FormatFileTimeUtc(r.header.LastAccessTime).c_str(),
                        FormatFileTimeUtc(r.header.LastWriteTime).c_str());
        PrintProblems(path, walk);
    }
    return walk.Ok() ? kOk : kProblems;
}

int Verify(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, " ", kVerifyHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 1)
        return Usage(kVerifyHelp, "one SETUP.exe, please");
    FileView data;
    if (!LoadInstaller(o.operands[0], &data))
        return kIoError;
    // Progress on a terminal; otherwise the inflated bytes go nowhere.
    struct Progress : RecordSink {
        bool Open(const WalkedRecord& r) override
        {
            std::fprintf(stderr, "\rmksetup: inflating record %u", r.index);
            return true;
        }
        bool Write(const uint8_t*, size_t) override { return true; }
        bool Close(bool) override { return true; }
    } progress;
    bool showProgress = StderrIsTerminal();
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), true, showProgress ? &progress : nullptr);
    if (showProgress)
        std::fputs("\n", stderr);
    PrintProblems(o.operands[0], walk);
    if (!walk.Ok())
        return kProblems;
    std::printf("%s: %s; %llu bytes follow the trailer (at most %d may)\n", o.operands[0].c_str(), SignatureText(walk).c_str(),
                BytesAfterTrailer(walk), (int)kMaxBytesAfterTrailer);
    std::printf("%s: %s\n", o.operands[0].c_str(), DigestText(walk).c_str());
    std::printf("%s: OK: the unpacker extracts all %zu records (the manifest and %zu files)\n", o.operands[0].c_str(),
                walk.records.size(), walk.records.size() - 1);
    return kOk;
}

int Extract(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, " ", kExtractHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 2)
        return Usage(kExtractHelp, "SETUP.exe and DIR, please");
    FileView data;
    if (!LoadInstaller(o.operands[0], &data))
        return kIoError;
    std::string error;
    if (!MakeFolder(o.operands[1], &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return kIoError;
    }
    // Each record goes to DIR/KVFiles<n>.tmp through a temporary name, and
    // takes its stored times once it is whole; a record that fails to
    // inflate leaves nothing behind.
    struct Files : RecordSink {
        std::string folder, path, error;
        FILE* file = nullptr;
        WalkedRecord record = {};
        size_t written = 0;
        bool Open(const WalkedRecord& r) override
        {
            record = r;
            path = JoinPath(folder, OutputName(r.index));
            file = CreateNewFile(path + ".partial", &error);
            return file != nullptr;
        }
        bool Write(const uint8_t* data, size_t size) override
        {
            if (std::fwrite(data, 1, size, file) == size)
                return true;
            error = path + ": could not be written";
            return false;
        }
        bool Close(bool whole) override
        {
            bool ok = std::fclose(file) == 0 && error.empty();
            std::string partial = path + ".partial";
            if (!whole || !ok) {
                std::remove(partial.c_str());
                if (!ok && error.empty())
                    error = path + ": could not be written";
                return whole ? ok : true;
            }
            if (!MoveIntoPlace(partial, path)) {
                error = path + ": could not be written";
                return false;
            }
            FileTimes times{record.header.CreationTime, record.header.LastAccessTime, record.header.LastWriteTime};
            if (!SetFileTimes(path, times, &error))
                return false;
            ++written;
            return true;
        }
    } files;
    files.folder = o.operands[1];
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), true, &files);
    bool ioFailed = !files.error.empty();
    if (ioFailed)
        std::fprintf(stderr, "mksetup: %s\n", files.error.c_str());
    size_t written = files.written;
    PrintProblems(o.operands[0], walk);
    if (ioFailed)
        return kIoError;
    std::printf("%s: %zu files written to %s\n", o.operands[0].c_str(), written, o.operands[1].c_str());
    return walk.Ok() ? kOk : kProblems;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage(kUsageText, "no command given");
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
    return Usage(kUsageText, "unknown command " + command);
}
