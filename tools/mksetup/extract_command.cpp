// mksetup extract: an installer's records written as files, as the
// unpacker writes them.
#include "tools/mksetup/command_line.h"

#include <cstdio>

namespace mksetup {

static const char kExtractHelp[] =
    "usage: mksetup extract SETUP.exe DIR\n"
    "\n"
    "Writes KVFiles<n>.tmp into DIR with the stored sizes and times, as the\n"
    "unpacker does (the creation time only where the system can set it).\n";

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

}  // namespace mksetup
