// mksetup list: an installer's records as the unpacker finds them.
#include "tools/mksetup/command_line.h"

#include <cstdio>

namespace mksetup {

static const char kListHelp[] =
    "usage: mksetup list [--json] SETUP.exe\n"
    "\n"
    "Shows the first record's offset, the trailer's position, how many bytes\n"
    "follow it, the Authenticode signature if any and, per record the\n"
    "manifest names, its index, output name, offset, stored and compressed\n"
    "size, ratio and its three times in UTC.\n";

int List(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, "list", " --json ", kListHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 1)
        return Usage("list", "one SETUP.exe, please");
    const std::string& path = o.operands[0];
    bool json = o.json;
    FileView data;
    if (int loaded = LoadInstaller(path, &data))
        return loaded;
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), false);
    if (!walk.markerFound && !json) {  // no installer, or one cut short: no records to show
        PrintProblems(path, walk);
        return kProblems;
    }
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

}  // namespace mksetup
