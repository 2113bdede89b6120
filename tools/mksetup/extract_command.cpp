// mksetup extract: an installer's records written as files, as the
// unpacker writes them.
#include "tools/mksetup/command_line.h"
#include "tools/mksetup/interrupt.h"
#include "tools/mksetup/progress.h"

#include <cstdio>

namespace mksetup {

static const char kExtractHelp[] =
    "usage: mksetup extract [--force] [--names] [--json] [-q|-v] [--codepage N] SETUP.exe DIR\n"
    "\n"
    "Writes KVFiles<n>.tmp into DIR with the stored sizes and times, as the\n"
    "unpacker does (the creation time only where the system can set it).\n"
    "A file of those names already in DIR is left alone and nothing is\n"
    "written, unless --force: then each is replaced (never written through);\n"
    "SETUP.exe itself, under any of those names, never is.\n"
    "--names (or -v) prints each file written with the name the manifest\n"
    "gives it beside it (read in code page N, default 1252).\n";

// Each record goes to DIR/KVFiles<n>.tmp through a temporary name, and
// takes its stored times once it is whole; a record that fails to inflate
// leaves nothing behind.
struct Files : RecordSink {
    Files(const std::string& folder, uint64_t size, bool quiet, bool force)
        : folder(folder), progress("extracting", size, quiet), force(force)
    {
    }
    bool Open(const WalkedRecord& r) override
    {
        record = r, inflated = 0;
        path = JoinPath(folder, OutputName(r.index));
        HoldInterrupts();
        file = CreateNewFile(path + ".partial", &error);
        if (file)
            DeleteOnInterrupt(path + ".partial");
        ReleaseInterrupts();
        return file != nullptr;
    }
    bool Write(const uint8_t* data, size_t size) override
    {
        inflated += size;
        progress.To(record.offset + kRecordHeaderSize +
                    (uint64_t)((double)inflated / record.header.UncompressedSize * record.header.CompressedSize));
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
            ForgetOnInterrupt(partial);
            if (!ok && error.empty())
                error = path + ": could not be written";
            return whole ? ok : true;
        }
        // The times on the file made here, then its name: nothing of the
        // name's is written through, and, unless forced, nothing that took
        // it meanwhile is replaced.
        FileTimes times{record.header.CreationTime, record.header.LastAccessTime, record.header.LastWriteTime};
        bool moved = SetFileTimes(partial, times, &error) && MoveIntoPlace(partial, path, force);
        if (!moved) {
            std::remove(partial.c_str());
            ForgetOnInterrupt(partial);
            if (error.empty())
                error = path + (force ? ": could not be written" : ": exists; give --force to replace it");
            return false;
        }
        ForgetOnInterrupt(partial);
        written.push_back(record);
        return true;
    }
    std::string folder, path, error;
    Progress progress;
    bool force;
    FILE* file = nullptr;
    WalkedRecord record = {};
    uint64_t inflated = 0;
    std::vector<WalkedRecord> written;
};

int Extract(const std::vector<std::string>& args)
{
    Options o;
    FileView data;
    int exit;
    if (!OpenCommand(args, "extract", " --force --names --json -q -v --codepage ", kExtractHelp, 2, "SETUP.exe and DIR, please", &o, &data, &exit))
        return exit;
    const std::string& path = o.operands[0];
    // Nothing is written over, unless told, and the installer never: the
    // names first.
    InstallerWalk names = WalkInstaller(data.data(), data.size(), false);
    if (!names.markerFound) {
        PrintProblems(path, names);
        return kProblems;
    }
    for (const WalkedRecord& r : names.records) {
        std::string output = JoinPath(o.operands[1], OutputName(r.index)), read;
        for (const std::string& name : {output, output + ".partial"}) {
            FileId id;
            if (GetFileId(name, &id) && IsReadFile(id, &read)) {
                std::fprintf(stderr, "mksetup: %s: is the installer %s; mksetup never writes over what it reads\n",
                             name.c_str(), read.c_str());
                return kProblems;
            }
        }
    }
    for (const WalkedRecord& r : names.records) {
        std::string output = JoinPath(o.operands[1], OutputName(r.index));
        if (!o.force && NameTaken(output)) {
            std::fprintf(stderr, "mksetup: %s exists; give --force to replace it\n", output.c_str());
            return kProblems;
        }
        if (o.force)
            std::remove((output + ".partial").c_str());  // a link is removed, not followed
    }
    std::string error;
    if (!MakeFolder(o.operands[1], &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return kIoError;
    }
    Files files(o.operands[1], data.size(), o.quiet, o.force);
    InstallerWalk walk = WalkInstaller(data.data(), data.size(), true, &files);
    files.progress.Finish();
    unsigned codePage = (unsigned)o.codePage;
    if (o.json) {
        Json json;
        json.Object();
        JsonInstaller(json, path, walk);
        json.Key("folder").String(o.operands[1]).Key("written").Array();
        for (const WalkedRecord& r : files.written)
            json.Object().Key("index").Number(r.index).Key("output").String(OutputName(r.index))
                .Key("name").String(ShownName(names, r.index, codePage)).Key("size").Number(r.header.UncompressedSize)
                .End();
        json.End();
        JsonProblems(json, walk);
        json.End().Print();
    } else if ((o.names || o.verbose) && !o.quiet) {
        for (const WalkedRecord& r : files.written)
            std::printf("%-14s %s\n", OutputName(r.index).c_str(), ShownName(names, r.index, codePage).c_str());
    }
    if (!files.error.empty())
        std::fprintf(stderr, "mksetup: %s\n", files.error.c_str());
    PrintProblems(path, walk);
    if (!files.error.empty())
        return kIoError;
    size_t written = files.written.size();
    if (!o.json && !o.quiet)
        std::printf("%s: %zu file%s written to %s\n", path.c_str(), written, written == 1 ? "" : "s",
                    o.operands[1].c_str());
    return walk.Ok() ? kOk : kProblems;
}

}  // namespace mksetup
