// mksetup verify: reads an installer exactly as the unpacker will.
#include "tools/mksetup/command_line.h"
#include "tools/mksetup/progress.h"

#include <cstdio>

namespace mksetup {

static const char kVerifyHelp[] =
    "usage: mksetup verify [--json] [-q|-v] [--codepage N] SETUP.exe\n"
    "\n"
    "Reads the installer exactly as the unpacker will (trailer scan, record\n"
    "walk driven by the manifest's tags, zlib's uncompress into a buffer of\n"
    "the declared size) and reports every problem with its record's index\n"
    "and offset. Exits 0 only when the unpacker would extract every record.\n"
    "Tells whether the file is signed, and fails when what follows the\n"
    "trailer (a signature) pushed it out of the unpacker's scan window.\n"
    "-v names each record as it is checked (the manifest read in code page\n"
    "N, default 1252); -q says nothing but what is wrong.\n";

// Progress through the file, record by record; each record named with -v.
struct Checking : RecordSink {
    Checking(const InstallerWalk* walk, uint64_t size, const Options& o)
        : walk(walk), o(o), progress("checking", size, o.quiet)
    {
    }
    bool Open(const WalkedRecord& r) override
    {
        record = r, inflated = 0;
        return true;
    }
    bool Write(const uint8_t*, size_t size) override
    {
        inflated += size;
        uint64_t share = (uint64_t)((double)inflated / record.header.UncompressedSize * record.header.CompressedSize);
        progress.To(record.offset + kRecordHeaderSize + share);
        return true;
    }
    bool Close(bool whole) override
    {
        if (o.verbose && whole) {
            progress.Finish();
            std::printf("record %u (%s) %s: %u bytes\n", record.index, OutputName(record.index).c_str(),
                        ShownName(*walk, record.index, (unsigned)o.codePage).c_str(), record.header.UncompressedSize);
        }
        return true;
    }
    const InstallerWalk* walk;  // the names, once record 0 is read
    const Options& o;
    Progress progress;
    WalkedRecord record = {};
    uint64_t inflated = 0;
};

int Verify(const std::vector<std::string>& args)
{
    Options o;
    FileView data;
    int exit;
    if (!OpenCommand(args, "verify", " --json -q -v --codepage ", kVerifyHelp, 1, "one SETUP.exe, please", &o, &data, &exit))
        return exit;
    const std::string& path = o.operands[0];
    // Names for -v: the manifest alone first, which the full walk then reads again.
    InstallerWalk names = o.verbose ? WalkInstaller(data.data(), data.size(), false) : InstallerWalk();
    Checking checking(&names, data.size(), o);
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), true, &checking);
    checking.progress.Finish();
    if (o.json) {
        Json json;
        json.Object();
        JsonInstaller(json, path, walk);
        json.Key("ok").Bool(walk.Ok()).Key("records").Number(walk.records.size());
        json.Key("bytesAfterTrailer").Number(BytesAfterTrailer(walk));
        JsonProblems(json, walk);
        json.End().Print();
    }
    PrintProblems(path, walk);
    if (!walk.Ok())
        return kProblems;
    if (!o.json && !o.quiet) {
        std::printf("%s: %s; %llu bytes follow the trailer (at most %d may)\n", path.c_str(),
                    SignatureText(walk).c_str(), BytesAfterTrailer(walk), (int)kMaxBytesAfterTrailer);
        std::printf("%s: %s\n", path.c_str(), DigestText(walk).c_str());
        std::printf("%s: OK: the unpacker extracts all %zu records (the manifest and %zu files)\n", path.c_str(),
                    walk.records.size(), walk.records.size() - 1);
    }
    return kOk;
}

}  // namespace mksetup
