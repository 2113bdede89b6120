// mksetup build: packs files into an installer, signs it if told, and reads
// it back as the unpacker will before it is put in place.
#include "tools/mksetup/command_line.h"
#include "tools/mksetup/inputs.h"
#include "tools/mksetup/interrupt.h"
#include "tools/mksetup/progress.h"
#include "tools/mksetup/record_cache.h"
#include "tools/mksetup/sign_command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

namespace mksetup {

static const char kBuildHelp[] =
    "usage: mksetup build --stub UNPACKER.exe -o SETUP.exe [OPTIONS] FILE...\n"
    "\n"
    "Writes the stub, record 0 (the manifest), one record per file in order,\n"
    "then the trailer. FILE 1 is the program the unpacker starts. A FILE may\n"
    "be a folder: every file in it and its folders, in the order of their\n"
    "paths' bytes, named by their path inside it with \\ between the parts\n"
    "(a link in it that leads out of it is refused, unless --follow-links);\n"
    "@LIST: the inputs LIST names, one a line (UTF-8, # starts a comment);\n"
    "on Windows, a name with * or ?: the files it matches. Without\n"
    "--manifest the manifest has one <Pn=\"NAME\"> line per file, in the\n"
    "code page of --codepage. A manifest given must hold the tags <P1=\" to\n"
    "<PN=\" for exactly the N files, and no zero byte. Each record keeps its\n"
    "file's creation, last-access and last-write times. With\n"
    "SOURCE_DATE_EPOCH set, creation and last-write times are clamped to it,\n"
    "the last-access time (which reading a file moves) is the last-write\n"
    "time, and equal inputs give byte-identical installers.\n"
    "\n"
    "  --manifest FILE\n"
    "              record 0's text, instead of the generated manifest\n"
    "  --compressor libdeflate|zlib\n"
    "              what writes the zlib-format streams of files up to 64 MB\n"
    "              (default libdeflate, which packs smaller); larger files\n"
    "              are deflated by zlib in pieces on every core; what would\n"
    "              not shrink (compressed or random data) is stored\n"
    "  --level N   libdeflate 0 to 12, zlib 0 to 9 (default 9 for both:\n"
    "              libdeflate's 10 to 12 pack a few per cent smaller in four\n"
    "              to ten times the time)\n"
    "  --jobs N    compress on N threads (default: one per core); the bytes\n"
    "              are the same for any N. Memory: under 512 MB, whatever\n"
    "              the number and size of the files\n"
    "  --codepage N\n"
    "              the manifest's Windows code page (default 1252): a name\n"
    "              it cannot hold is refused\n"
    "  --cache DIR  keep each record's stream in DIR, and take it from there in\n"
    "              a later build of the same file, level and compressor, once\n"
    "              it has been inflated and found to give the file's bytes\n"
    "              (default: $XDG_CACHE_HOME/mksetup, ~/.cache/mksetup, or on\n"
    "              Windows %LOCALAPPDATA%\\mksetup\\cache)\n"
    "  --cache-limit MB\n"
    "              the most the cache keeps (default 2048); the records used\n"
    "              least recently go first\n"
    "  --no-cache  neither take from nor keep in a cache\n"
    "  --follow-links\n"
    "              pack what a link in a folder leads to even where it leads\n"
    "              out of the folder (as tar -h does); without it such a link\n"
    "              is refused, naming it and where it leads\n"
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
    "              trailer out of the scan window, or if anything broke. The\n"
    "              program is one on the PATH, or the path given; never one\n"
    "              in the current folder or mksetup's. On Windows a .bat or\n"
    "              .cmd is refused: cmd.exe, which runs it, acts on & and |\n"
    "              in the file names it is given.\n"
    "  --json      say what was built as JSON on stdout\n"
    "  -q, -v      say nothing but what is wrong; name each file as it is packed\n"
    "\n"
    "Refused, leaving no output: a stub that is no Windows executable, an\n"
    "empty FILE 1, a file given twice, two files the manifest would give one\n"
    "name (as Windows compares names), a name Windows cannot hold or the\n"
    "code page cannot write, an output that is a file it reads (the stub,\n"
    "the manifest, a list, a FILE) or whose temporary names are taken, 4 GB\n"
    "or more in all, a manifest that skips a tag or names a record not\n"
    "given, marker bytes in the last 30000 bytes before the trailer, a\n"
    "device, FIFO or socket as any file it reads.\n";

// Reads the installer at path back as the unpacker will, within a few
// records of memory; kOk, or kProblems after saying what is wrong (as
// shownAs). Signed, it must carry a signature.
static int ReadBack(const std::string& path, const std::string& shownAs, bool signedFile, InstallerWalk* walk)
{
    FileView view;
    std::string error;
    bool refused = false;
    if (!view.Open(path, &error, &refused)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return refused ? kProblems : kIoError;
    }
    ViewOnInterrupt(view.data());
    *walk = WalkInstaller(view.data(), view.size(), true, nullptr,
                          [&](uint64_t begin, uint64_t end) { view.Release(begin, end); });
    ViewOnInterrupt(nullptr);
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
static int SignAndWrite(const std::string& unsignedPath, const Options& o, InstallerWalk* walk)
{
    const std::string& outPath = o.out;
    const std::string& command = o.sign;
    std::string signedPath = outPath + ".signed";
    auto cleanUp = [&] {
        std::remove(unsignedPath.c_str());
        std::remove(signedPath.c_str());
        ForgetOnInterrupt(unsignedPath), ForgetOnInterrupt(signedPath);
    };
    std::string error;
    std::vector<std::string> words;
    if (!SignCommandWords(command, unsignedPath, signedPath, &words, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        cleanUp();
        return kUsage;
    }
    std::string program;
    if (!FindProgram(words[0], &program, &error)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        cleanUp();
        return kProblems;
    }
    DeleteOnInterrupt(signedPath);  // not there before: its name was checked
    std::string failure = RunProgram(program, words);
    if (!failure.empty()) {
        std::fprintf(stderr, "mksetup: the signing command failed (%s)\n", failure.c_str());
        cleanUp();
        return kProblems;
    }
    if (!NameTaken(signedPath)) {
        std::fprintf(stderr, "mksetup: the signing command wrote no %s\n", signedPath.c_str());
        cleanUp();
        return kProblems;
    }
    int checked = ReadBack(signedPath, outPath, true, walk);
    if (checked != kOk) {
        cleanUp();
        return checked;
    }
    std::remove(unsignedPath.c_str());
    if (!MoveIntoPlace(signedPath, outPath)) {
        std::fprintf(stderr, "mksetup: %s: could not be written\n", outPath.c_str());
        cleanUp();
        return kIoError;
    }
    ForgetOnInterrupt(unsignedPath), ForgetOnInterrupt(signedPath);
    return kOk;
}

// Nothing that mksetup reads is written over, by any of its names: the
// output and its temporary names (.partial, .unsigned, .signed) must be no
// FILE and no file read so far (the stub, the manifest, a list), and the
// temporary names must be free; no FILE may be given twice. 0, or
// kProblems after saying which.
static int CheckNothingOverwritten(const Options& o, const std::vector<InputFile>& files)
{
    std::map<std::pair<uint64_t, uint64_t>, std::string> inputs;
    for (const InputFile& f : files) {
        auto taken = inputs.emplace(std::make_pair(f.id.device, f.id.file), f.path);
        if (!taken.second) {
            std::fprintf(stderr, "mksetup: %s and %s are the same file, given twice\n", taken.first->second.c_str(),
                         f.path.c_str());
            return kProblems;
        }
    }
    for (const char* suffix : {"", ".partial", ".unsigned", ".signed"}) {
        std::string target = o.out + suffix, read;
        FileId id;
        if (!GetFileId(target, &id))
            continue;
        auto input = inputs.find(std::make_pair(id.device, id.file));
        if (input != inputs.end())
            read = "the input " + input->second;
        else if (IsReadFile(id, &read))
            read = read == o.stub ? "the stub" : read == o.manifest ? "the manifest" : read + ", which this build reads";
        if (!read.empty()) {
            std::fprintf(stderr, "mksetup: %s: is %s; mksetup never writes over what it reads\n", target.c_str(),
                         read.c_str());
            return kProblems;
        }
        if (*suffix) {
            std::fprintf(stderr, "mksetup: %s exists; mksetup makes the installer there first: remove it, or "
                                 "choose another -o\n", target.c_str());
            return kProblems;
        }
    }
    return 0;
}

int Build(const std::vector<std::string>& args)
{
    Options o;
    int exit;
    if (!ParseCommand(args, "build", " --stub -o --manifest --compressor --sign --level --jobs --codepage --follow-links --cache --no-cache --cache-limit --json -q -v ",
                      kBuildHelp, &o, &exit))
        return exit;
    if (o.stub.empty() || o.out.empty())
        return Usage("build", "--stub and -o are required");
    std::vector<std::string> words;
    std::string wordsError;
    if (!o.sign.empty() && (o.sign.find("{in}") == std::string::npos || o.sign.find("{out}") == std::string::npos))
        return Usage("build", "--sign needs a command with {in} and {out}");
    if (!o.sign.empty() && !SignCommandWords(o.sign, "", "", &words, &wordsError))
        return Usage("build", wordsError);
    if (o.level < 0)
        o.level = DefaultLevel(o.compressor);
    if (o.level > MaxLevel(o.compressor))
        return Usage("build", "--level takes 0 to " + std::to_string(MaxLevel(o.compressor)) + " with this compressor");
    if (o.operands.empty())
        return Usage("build", "no FILE given: record 1 is the program the unpacker starts");

    std::string error;
    BuildOptions options;
    options.compressor = o.compressor;
    options.level = (int)o.level;
    options.jobs = (unsigned)o.jobs;
    if (o.noCache && (!o.cache.empty() || o.cacheLimit != 2048))
        return Usage("build", "--no-cache and --cache or --cache-limit say the opposite");
    options.cacheFolder = o.noCache ? "" : o.cache.empty() ? DefaultCacheFolder() : o.cache;
    options.cacheLimit = (uint64_t)o.cacheLimit << 20;
    if (!options.cacheFolder.empty() && !CacheIsPrivate(options.cacheFolder)) {
        std::fprintf(stderr, "mksetup: %s: others can write in it, so it is not used as a cache\n",
                     options.cacheFolder.c_str());
        options.cacheFolder.clear();
    }
    // Set but empty counts as not set, as reproducible builds have it.
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch) {
        long long seconds;
        if (!ParseNumber(epoch, 253402300799, &seconds)) {  // up to 9999-12-31
            std::fprintf(stderr, "mksetup: SOURCE_DATE_EPOCH is not a number of seconds: %s\n", epoch);
            return kUsage;
        }
        options.clampTime = FileTimeFromUnix(seconds);
    }

    Bytes stub;
    if (IsFolder(o.stub)) {
        std::fprintf(stderr, "mksetup: %s: is a folder\n", o.stub.c_str());
        return kProblems;
    }
    bool refused = false;
    if (!ReadWholeFile(o.stub, &stub, &error, &refused)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return refused ? kProblems : kIoError;
    }
    if (!IsWindowsExecutable(stub)) {
        std::fprintf(stderr, "mksetup: %s: is not a Windows executable (the stub is the unpacker, unpacker.exe)\n",
                     o.stub.c_str());
        return kProblems;
    }
    std::vector<InputFile> files;
    if (int failed = GatherInputs(o.operands, (unsigned)o.codePage, o.followLinks, &files))
        return failed;
    InputFile manifest;
    if (o.manifest.empty()) {
        manifest = GeneratedManifest(files, FileTimeFromUnix((int64_t)std::time(nullptr)));
    } else {
        manifest.path = o.manifest;
        if (!GetFileTimes(o.manifest, &manifest.times, &error) ||
            !ReadWholeFile(o.manifest, &manifest.data, &error, &refused)) {
            std::fprintf(stderr, "mksetup: %s\n", error.c_str());
            return refused ? kProblems : kIoError;
        }
    }
    // Once everything but the inputs has been read.
    if (int overwritten = CheckNothingOverwritten(o, files))
        return overwritten;

    Progress progress("packing", 0, o.quiet);
    BuildWatch watch;
    watch.bytes = [&](uint64_t done, uint64_t total) { progress.Total(total), progress.To(done); };
    std::vector<uint64_t> streams;  // each record's stream size, for --json
    watch.record = [&](size_t index, const InputFile& f, uint64_t streamSize) {
        streams.push_back(streamSize);
        if (o.verbose && index > 0) {
            progress.Finish();
            std::printf("%zu/%zu %s: %llu bytes into %llu\n", index, files.size(),
                        (f.label.empty() ? f.name : f.label).c_str(), (unsigned long long)f.Size(),
                        (unsigned long long)streamSize);
        }
    };
    // Written as it is built, into the file that is renamed into place (or
    // handed to the signing command) once it has been read back.
    std::string partial = o.out + (o.sign.empty() ? ".partial" : ".unsigned");
    HoldInterrupts();
    FILE* out = CreateNewFile(partial, &error);
    if (out)
        DeleteOnInterrupt(partial);
    ReleaseInterrupts();
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
    FILE* back = nullptr;  // out is open for writing only: read back through a file of its own
    auto read = [&](uint64_t offset, uint8_t* bytes, size_t n, std::string* why) {
        if (!back)
            back = OpenToRead(partial, why);
        bool ok = std::fflush(out) == 0 && back && SeekFile(back, offset) && std::fread(bytes, 1, n, back) == n;
        if (!ok)
            *why = partial + ": could not be read back";
        return ok;
    };
    BuildResult built = BuildInstaller(stub, manifest, files, options, write, read, &error, watch);
    if (back)
        std::fclose(back);
    progress.Finish();
    if (std::fclose(out) != 0 && built == BuildResult::kBuilt) {
        error = partial + ": could not be written";
        built = BuildResult::kUnreadable;
    }
    if (built != BuildResult::kBuilt) {
        std::remove(partial.c_str());
        ForgetOnInterrupt(partial);
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return built == BuildResult::kRefused ? kProblems : kIoError;
    }
    InstallerWalk walk;
    int checked = o.sign.empty() ? ReadBack(partial, o.out, false, &walk) : SignAndWrite(partial, o, &walk);
    // Read back as the unpacker will: a stub that carries a certificate
    // table already, say, gives an installer it refuses.
    if (o.sign.empty() && (checked != kOk || !MoveIntoPlace(partial, o.out))) {
        std::remove(partial.c_str());
        ForgetOnInterrupt(partial);
        if (checked == kOk)
            std::fprintf(stderr, "mksetup: %s: could not be written\n", o.out.c_str());
        return checked != kOk ? checked : kIoError;
    }
    ForgetOnInterrupt(partial);
    if (checked != kOk)
        return checked;
    if (o.json) {
        Json json;
        json.Object();
        JsonInstaller(json, o.out, walk);
        json.Key("files").Array();
        for (size_t i = 0; i < files.size(); ++i)
            json.Object().Key("index").Number(i + 1).Key("output").String(OutputName((uint32_t)i + 1))
                .Key("name").String(files[i].label.empty() ? files[i].name : files[i].label)
                .Key("path").String(files[i].path).Key("size").Number(files[i].Size())
                .Key("compressedSize").Number(streams[i + 1]).End();
        json.End().End().Print();
    } else if (!o.quiet) {
        if (!o.sign.empty())
            std::printf("%s: %s\n", o.out.c_str(), SignatureText(walk).c_str());
        std::printf("%s: %llu bytes, %zu file%s after the manifest\n", o.out.c_str(),
                    (unsigned long long)walk.fileSize, files.size(), files.size() == 1 ? "" : "s");
    }
    return kOk;
}

}  // namespace mksetup
