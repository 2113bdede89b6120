#include "tools/mksetup/command_line.h"

#include "tools/mksetup/code_page.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mksetup {

int Usage(const char* command, const std::string& complaint)
{
    std::fprintf(stderr, "mksetup: %s\ntry 'mksetup %s%s--help'\n", complaint.c_str(), command, *command ? " " : "");
    return kUsage;
}

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

// Parses args for a command that takes the options named in accepted
// (e.g. " --stub -o --json "); "" or what is wrong with them.
static std::string ParseOptions(const std::vector<std::string>& args, const std::string& accepted, Options* o)
{
    std::string given = " ";
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
        std::string name = a == "--output" ? "-o" : a;
        if (accepted.find(" " + name + " ") == std::string::npos)
            return "unknown option " + a;
        // Given twice, one of them would be dropped without a word.
        if (given.find(" " + name + " ") != std::string::npos)
            return name + " is given twice";
        given += name + " ";
        if (a == "--json" || a == "--force" || a == "--names" || a == "--follow-links" || a == "--no-cache" || a == "-q" ||
            a == "-v") {
            (a == "--json" ? o->json : a == "--force" ? o->force : a == "--names" ? o->names
                                       : a == "--follow-links" ? o->followLinks
                                       : a == "--no-cache"     ? o->noCache
                                       : a == "-q"    ? o->quiet : o->verbose) = true;
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
        else if (a == "--cache")
            o->cache = value;
        else if (a == "--cache-limit" && !ParseNumber(value, 1 << 30, &o->cacheLimit))
            return "--cache-limit takes a number of megabytes";
        else if (a == "--compressor" && (value == "zlib" || value == "libdeflate"))
            o->compressor = value == "zlib" ? Compressor::kZlib : Compressor::kLibdeflate;
        else if (a == "--compressor")
            return "--compressor takes libdeflate or zlib";
        else if (a == "--level" && !ParseNumber(value, 99, &o->level))
            return "--level takes a number";
        else if (a == "--jobs" && (!ParseNumber(value, 1024, &o->jobs) || o->jobs < 1))
            return "--jobs takes a number from 1 to 1024";
        else if (a == "--codepage" && (!ParseNumber(value, 65535, &o->codePage) || !CodePageKnown((unsigned)o->codePage)))
            return "--codepage takes a Windows code page this system knows that keeps ASCII as it is, such as 1252, 932 "
                   "or 65001";
    }
    return "";
}

bool ParseCommand(const std::vector<std::string>& args, const char* command, const std::string& accepted,
                  const char* help, Options* o, int* exit)
{
    std::string complaint = ParseOptions(args, accepted, o);
    if (complaint.empty() && o->quiet && o->verbose)
        complaint = "-q and -v say the opposite";
    if (o->help) {
        std::fputs(help, stdout);
        *exit = kOk;
        return false;
    }
    if (!complaint.empty()) {
        *exit = Usage(command, complaint);
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

bool OpenCommand(const std::vector<std::string>& args, const char* command, const std::string& accepted,
                 const char* help, size_t operands, const char* wanted, Options* o, FileView* data, int* exit)
{
    if (!ParseCommand(args, command, accepted, help, o, exit))
        return false;
    if (o->operands.size() != operands)
        return *exit = Usage(command, wanted), false;
    return (*exit = LoadInstaller(o->operands[0], data)) == kOk;
}

std::string ShownName(const InstallerWalk& walk, uint32_t index, unsigned codePage)
{
    if (index >= walk.names.size())
        return "";
    std::string name, shown;
    if (!FromCodePage(walk.names[index], codePage, &name))
        name = walk.names[index];
    // For a terminal: what is not UTF-8 as \xNN, controls (C0, C1, and
    // the ones that turn text around) as '?'.
    for (size_t i = 0; i < name.size();) {
        unsigned point;
        size_t n = Utf8Sequence(name, i, &point);
        if (n == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", (unsigned char)name[i++]);
            shown += escaped;
        } else {
            bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F) || (point >= 0x202A && point <= 0x202E) ||
                           (point >= 0x2066 && point <= 0x2069);
            control ? shown += '?' : shown.append(name, i, n);
            i += n;
        }
    }
    return shown;
}

// Problems and warnings, as --json gives them.
void JsonProblems(Json& json, const InstallerWalk& walk)
{
    json.Key("problems").Array();
    for (const Problem& p : walk.problems)
        json.Object().Key("index").Signed(p.index).Key("offset").Number(p.offset).Key("message").String(p.what).End();
    json.End().Key("warnings").Array();
    for (const std::string& w : walk.warnings)
        json.String(w);
    json.End();
}

// What the walk found of the installer as a whole, as --json gives it.
void JsonInstaller(Json& json, const std::string& path, const InstallerWalk& walk)
{
    json.Key("file").String(path).Key("size").Number(walk.fileSize).Key("signature");
    if (walk.signature.present)
        json.Object().Key("offset").Number(walk.signature.offset).Key("size").Number(walk.signature.size).End();
    else
        json.Null();
    json.Key("payloadDigest").String(Hex(walk.digest, kDigestSize)).Key("recordedDigest");
    if (walk.recorded)
        json.String(Hex(walk.recordedDigest, kDigestSize));
    else
        json.Null();
}

double Ratio(const FileRecordHeader& h)
{
    return h.UncompressedSize ? (double)h.CompressedSize / h.UncompressedSize : 0.0;
}

int LoadInstaller(const std::string& path, FileView* data)
{
    std::string error;
    if (IsFolder(path)) {
        std::fprintf(stderr, "mksetup: %s: is a folder\n", path.c_str());
        return kProblems;
    }
    bool refused = false;
    if (!data->Open(path, &error, &refused)) {
        std::fprintf(stderr, "mksetup: %s\n", error.c_str());
        return refused ? kProblems : kIoError;
    }
    return kOk;
}

}  // namespace mksetup
