// mksetup verify: whether the unpacker would extract every record.
#include "tools/mksetup/command_line.h"

#include <cstdio>

namespace mksetup {

static const char kVerifyHelp[] =
    "usage: mksetup verify SETUP.exe\n"
    "\n"
    "Reads the installer exactly as the unpacker will (trailer scan, record\n"
    "walk driven by the manifest's tags, zlib's uncompress into a buffer of\n"
    "the declared size) and reports every problem with its record's index\n"
    "and offset. Exits 0 only when the unpacker would extract every record.\n"
    "Tells whether the file is signed, and fails when what follows the\n"
    "trailer (a signature) pushed it out of the unpacker's scan window.\n";

int Verify(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, "verify", " ", kVerifyHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 1)
        return Usage("verify", "one SETUP.exe, please");
    FileView data;
    if (int loaded = LoadInstaller(o.operands[0], &data))
        return loaded;
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

}  // namespace mksetup
