// mksetup list: an installer's records as the unpacker would take them.
#include "tools/mksetup/command_line.h"

#include <cstdio>

namespace mksetup {

static const char kListHelp[] =
    "usage: mksetup list [--json] [--codepage N] SETUP.exe\n"
    "\n"
    "Shows the first record's offset, the trailer's position, how many bytes\n"
    "follow it, the Authenticode signature if any, the payload's digest and,\n"
    "per record the manifest names, its index, output name, offset, stored\n"
    "and compressed size, ratio, its three times in UTC and the name the\n"
    "manifest gives it (read in code page N, default 1252).\n";

int List(const std::vector<std::string>& args)
{
    Options o;
    FileView data;
    int exit;
    if (!OpenCommand(args, "list", " --json --codepage ", kListHelp, 1, "one SETUP.exe, please", &o, &data, &exit))
        return exit;
    const std::string& path = o.operands[0];
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), false);
    if (!walk.markerFound && !o.json) {  // no installer, or one cut short: no records to show
        PrintProblems(path, walk);
        return kProblems;
    }
    uint32_t trailerOffset = walk.trailerEnd >= kTrailerSize ? walk.trailerEnd - kTrailerSize : 0;
    unsigned codePage = (unsigned)o.codePage;
    if (o.json) {
        Json json;
        json.Object();
        JsonInstaller(json, path, walk);
        json.Key("markerFound").Bool(walk.markerFound).Key("firstRecordOffset").Number(walk.firstRecordOffset);
        json.Key("trailerOffset").Number(trailerOffset).Key("trailerEnd").Number(walk.trailerEnd);
        json.Key("bytesAfterTrailer").Number(BytesAfterTrailer(walk)).Key("payloadEnd").Number(walk.signature.payloadEnd);
        json.Key("records").Array();
        for (const WalkedRecord& r : walk.records) {
            json.Object().Key("index").Number(r.index).Key("output").String(OutputName(r.index));
            json.Key("name").String(ShownName(walk, r.index, codePage)).Key("offset").Number(r.offset);
            json.Key("size").Number(r.header.UncompressedSize).Key("compressedSize").Number(r.header.CompressedSize);
            json.Key("ratio").Real(Ratio(r.header));
            json.Key("creationTime").String(FormatFileTimeUtc(r.header.CreationTime));
            json.Key("lastAccessTime").String(FormatFileTimeUtc(r.header.LastAccessTime));
            json.Key("lastWriteTime").String(FormatFileTimeUtc(r.header.LastWriteTime)).End();
        }
        json.End();
        JsonProblems(json, walk);
        json.End().Print();
        return walk.Ok() ? kOk : kProblems;
    }
    std::printf("%s: %llu bytes\n", path.c_str(), (unsigned long long)walk.fileSize);
    std::printf("first record at offset %u\n", walk.firstRecordOffset);
    std::printf("trailer at offset %u, %llu bytes follow it\n", trailerOffset, BytesAfterTrailer(walk));
    std::printf("%s\n", SignatureText(walk).c_str());
    std::printf("%s\n", DigestText(walk).c_str());
    std::printf("%5s  %-14s %10s %10s %10s %6s  %-28s %-28s %-28s  %s\n", "index", "output", "offset", "size",
                "compressed", "ratio", "created (UTC)", "last access (UTC)", "last write (UTC)", "name");
    for (const WalkedRecord& r : walk.records)
        std::printf("%5u  %-14s %10u %10u %10u %5.1f%%  %-28s %-28s %-28s  %s\n", r.index, OutputName(r.index).c_str(),
                    r.offset, r.header.UncompressedSize, r.header.CompressedSize, 100.0 * Ratio(r.header),
                    FormatFileTimeUtc(r.header.CreationTime).c_str(), FormatFileTimeUtc(r.header.LastAccessTime).c_str(),
                    FormatFileTimeUtc(r.header.LastWriteTime).c_str(), ShownName(walk, r.index, codePage).c_str());
    PrintProblems(path, walk);
    return walk.Ok() ? kOk : kProblems;
}

}  // namespace mksetup
