// mksetup extract: an installer's records written as files, as the
// unpacker writes them.
#include "tools/mksetup/command_line.h"
#include "tools/mksetup/interrupt.h"

#include <cstdio>

namespace mksetup {

static const char kExtractHelp[] =
    "usage: mksetup extract [--force] SETUP.exe DIR\n"
    "\n"
    "Writes KVFiles<n>.tmp into DIR with the stored sizes and times, as the\n"
    "unpacker does (the creation time only where the system can set it).\n"
    "A file of those names already in DIR is left alone and nothing is\n"
    "written, unless --force: then each is replaced (never written through).\n";

int Extract(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, "extract", " --force ", kExtractHelp, &o, &exit))
        return exit;
    if (o.operands.size() != 2)
        return Usage("extract", "SETUP.exe and DIR, please");
    FileView data;
    if (int loaded = LoadInstaller(o.operands[0], &data))
        return loaded;
    // Nothing is written over, unless told: the names first.
    InstallerWalk names = WalkInstaller(data.data(), data.size(), false);
    if (!names.markerFound) {
        PrintProblems(o.operands[0], names);
        return kProblems;
    }
    for (const WalkedRecord& r : names.records) {
        std::string path = JoinPath(o.operands[1], OutputName(r.index));
        FileId id;
        if (!o.force && GetFileId(path, &id)) {
            std::fprintf(stderr, "mksetup: %s exists; give --force to replace it\n", path.c_str());
            return kProblems;
        }
        if (o.force)
            std::remove((path + ".partial").c_str());  // a link is removed, not followed
    }
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
            HoldInterrupts();
            file = CreateNewFile(path + ".partial", &error);
            if (file)
                DeleteOnInterrupt(path + ".partial");
            ReleaseInterrupts();
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
                ForgetOnInterrupt(partial);
                if (!ok && error.empty())
                    error = path + ": could not be written";
                return whole ? ok : true;
            }
            bool moved = MoveIntoPlace(partial, path);
            ForgetOnInterrupt(partial);  // gone, or left to the report below
            if (!moved) {
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
    std::printf("%s: %zu file%s written to %s\n", o.operands[0].c_str(), written, written == 1 ? "" : "s",
                o.operands[1].c_str());
    return walk.Ok() ? kOk : kProblems;
}

}  // namespace mksetup
