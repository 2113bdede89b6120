#include "tools/mksetup/inputs.h"

#include "tools/mksetup/code_page.h"
#include "tools/mksetup/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace mksetup {

namespace {

enum Kind { kFile, kFolder, kOther, kMissing };

Kind KindOf(const std::string& path)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return kMissing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kFolder : (attributes & FILE_ATTRIBUTE_DEVICE) ? kOther : kFile;
#else
    struct stat st;  // through links, as opening it will
    if (stat(path.c_str(), &st) != 0)
        return kMissing;
    return S_ISDIR(st.st_mode) ? kFolder : S_ISREG(st.st_mode) ? kFile : kOther;
#endif
}

// The names in folder (not . and ..) matching pattern ("*": all), sorted
// by their bytes; false when it cannot be read.
bool ListFolder(const std::string& folder, const std::string& pattern, std::vector<std::string>* names)
{
    names->clear();
#ifdef _WIN32
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(JoinPath(folder, pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, ".."))
            names->push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
#else
    (void)pattern;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return false;
    while (struct dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
            names->push_back(entry->d_name);
    closedir(dir);
#endif
    std::sort(names->begin(), names->end());
    return true;
}

// What in a name Windows cannot hold; "" when nothing.
std::string NameFault(const std::string& name)
{
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = std::min(name.find('\\', start), name.size());
        std::string part = name.substr(start, end - start);
        for (unsigned char c : part)
            if (c < 0x20 || std::strchr("<>:\"|?*/", c))
                return "holds a character Windows does not allow in a name (< > : \" | ? * / or a control character)";
        if (part.empty() || part.back() == '.' || part.back() == ' ')
            return "has a part that is empty or ends in a dot or a blank, which Windows drops";
        // CON, NUL, COM1 and the like, with any extension and blanks before
        // it, name devices.
        std::string base = FoldedName(part.substr(0, part.find('.')));
        base.erase(base.find_last_not_of(' ') + 1);
        std::string digit = base.size() > 3 ? base.substr(3) : "";
        bool numbered = (!base.compare(0, 3, "COM") || !base.compare(0, 3, "LPT")) &&
                        ((digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
                         digit == "\xC2\xB2" || digit == "\xC2\xB3");  // superscript 1, 2, 3
        if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$" ||
            numbered)
            return "is a device's name on Windows (" + part + ")";
        start = end + 1;
    }
    return "";
}

// True when path, a FinalPath, is folder's (another) or lies inside it, as
// the system compares names.
bool Inside(const std::string& path, const std::string& folder)
{
#ifdef _WIN32
    std::string p = FoldedName(path), f = FoldedName(folder);
    const char separator = '\\';
#else
    const std::string &p = path, &f = folder;
    const char separator = '/';
#endif
    return p.compare(0, f.size(), f) == 0 &&
           (p.size() == f.size() || p[f.size()] == separator || (!f.empty() && f.back() == separator));
}

class Gatherer {
public:
    Gatherer(unsigned codePage, bool followLinks, std::vector<InputFile>* files)
        : codePage_(codePage), followLinks_(followLinks), files_(*files)
    {
    }

    int Operand(const std::string& operand, bool listed)
    {
        if (!listed && operand.size() > 1 && operand[0] == '@')
            return List(operand.substr(1));
#ifdef _WIN32
        size_t leaf = operand.find_last_of("\\/") + 1;
        if (operand.find_first_of("*?", leaf) != std::string::npos) {
            std::string folder = leaf ? operand.substr(0, leaf - 1) : ".";
            std::vector<std::string> names;
            if (!ListFolder(folder, operand.substr(leaf), &names))
                return Fail(kIoError, operand + ": its folder cannot be read");
            if (names.empty())
                return Fail(kProblems, operand + ": matches no file");
            for (const std::string& name : names)
                if (int failed = Path(leaf ? operand.substr(0, leaf) + name : name))
                    return failed;
            return kOk;
        }
#endif
        return Path(operand);
    }

private:
    int Fail(int code, const std::string& what)
    {
        std::fprintf(stderr, "mksetup: %s\n", what.c_str());
        return code;
    }

    int List(const std::string& list)
    {
        Bytes text;
        std::string error;
        if (IsFolder(list))
            return Fail(kProblems, list + ": is a folder, not a list of inputs");
        bool refused = false;
        if (!ReadWholeFile(list, &text, &error, &refused))
            return Fail(refused ? kProblems : kIoError, error);
        std::string all(text.begin(), text.end());
        if (all.compare(0, 3, "\xEF\xBB\xBF") == 0)
            all.erase(0, 3);
        for (size_t start = 0, line = 1; start < all.size(); ++line) {
            size_t end = std::min(all.find('\n', start), all.size());
            std::string entry = all.substr(start, end - start);
            start = end + 1;
            if (!entry.empty() && entry.back() == '\r')
                entry.pop_back();
            size_t first = entry.find_first_not_of(" \t");
            if (first == std::string::npos || entry[first] == '#')
                continue;
            if (int failed = Operand(entry, true))
                return failed;
        }
        return kOk;
    }

    int Path(const std::string& path)
    {
        switch (KindOf(path)) {
        case kFolder:
            root_ = path, rootFinal_.clear();
            return Folder(path, "");
        case kFile:
            return File(path, BaseName(path));
        case kOther:
            return Fail(kProblems, path + kNotRegularFile);
        default: {
            uint64_t size;
            std::string error;
            GetFileSize(path, &size, &error);
            return Fail(kIoError, error);
        }
        }
    }

    // The files in folder, named prefix + their path inside it.
    int Folder(const std::string& folder, const std::string& prefix)
    {
        FileId id;
        if (!GetFileId(folder, &id))
            return Fail(kIoError, folder + ": cannot be read");
        for (const FileId& open : open_)
            if (open == id)
                return Fail(kProblems, folder + ": leads back to a folder it is in (a link): it would never end");
        if (!visited_.insert({id.device, id.file}).second)  // through links, every file in it would come twice
            return Fail(kProblems, folder + ": is a folder already taken, reached again through a link");
        std::vector<std::string> names;
        if (!ListFolder(folder, "*", &names))
            return Fail(kIoError, folder + ": the folder cannot be read");
        open_.push_back(id);
        for (const std::string& name : names) {
            std::string path = JoinPath(folder, name);
            bool link = IsLink(path);
            if (int out = link && !followLinks_ ? LinkOut(path) : kOk)
                return out;
            Kind kind = KindOf(path);
            int failed = kind == kFolder ? Folder(path, prefix + name + "\\")
                         : kind == kFile ? File(path, prefix + name, link)
                                         : Fail(kind == kOther ? kProblems : kIoError,
                                                path + (kind == kOther ? kNotRegularFile : ": cannot be read"));
            if (failed)
                return failed;
        }
        open_.pop_back();
        return kOk;
    }

    // A link in a folder given that leads out of it packs what the
    // publisher may never have meant to ship (a key beside the tree,
    // ~/.ssh): refused, unless told. One that stays inside is walked as any
    // folder or file; one that leads nowhere, KindOf tells. One that leads
    // to a file whose path cannot be had (longer than the system's paths,
    // through a folder that may not be listed) could lead anywhere.
    int LinkOut(const std::string& path)
    {
        const std::string unless = "; --follow-links packs what such links lead to";
        std::string target;
        FileId id;
        if (!FinalPath(path, &target))
            return GetFileId(path, &id) ? Fail(kProblems, path + ": a link leading where its path cannot be told" + unless)
                                        : kOk;
        if (rootFinal_.empty() && !FinalPath(root_, &rootFinal_))
            return Fail(kIoError, root_ + ": cannot be read");
        if (Inside(target, rootFinal_))
            return kOk;
        return Fail(kProblems, path + ": a link leading out of " + root_ + " (to " + target + ")" + unless);
    }

    // followLink: path is a link, its file the one it leads to (a name
    // given, or a link in a folder); otherwise the entry itself, so that a
    // link put in its place meanwhile is not the file read.
    int File(const std::string& path, const std::string& name, bool followLink = true)
    {
        InputFile f;
        f.path = path;
        f.label = name;
        std::string fault = NameFault(name);
        if (!fault.empty())
            return Fail(kProblems, path + ": its name " + name + " " + fault);
        if (!ToCodePage(name, codePage_, &f.name))
            return Fail(kProblems, path + ": its name " + name + " cannot be written in code page " +
                                       std::to_string(codePage_) + ", the manifest's (rename it, or see --codepage)");
        std::string folded = FoldedName(name);
        auto taken = names_.emplace(folded, path);
        if (!taken.second)
            return Fail(kProblems, taken.first->second + " and " + path + " would both be named " + name +
                                       " in the manifest (Windows does not tell names apart by case)");
        // Nor can a name be a file's and a folder's.
        auto folder = folders_.find(folded);
        if (folder != folders_.end())
            return Fail(kProblems, folder->second + " and " + path + ": " + name +
                                       " would be a folder and a file in the manifest");
        for (size_t slash = name.find('\\'); slash != std::string::npos; slash = name.find('\\', slash + 1)) {
            auto file = names_.find(FoldedName(name.substr(0, slash)));
            if (file != names_.end())
                return Fail(kProblems, file->second + " and " + path + ": " + name.substr(0, slash) +
                                           " would be a file and a folder in the manifest");
            folders_.emplace(FoldedName(name.substr(0, slash)), path);
        }
        // Which file it is first, then its times: reading the file may move
        // its last-access time.
        std::string error;
        f.fromPath = true;
        if (!GetFileId(path, &f.id, followLink))
            return Fail(kIoError, path + ": cannot be read");
        if (!GetFileTimes(path, &f.times, &error) || !GetFileSize(path, &f.size, &error))
            return Fail(kIoError, error);
        files_.push_back(std::move(f));
        return kOk;
    }

    unsigned codePage_;
    bool followLinks_;
    std::string root_, rootFinal_;  // the folder given, and where it leads
    std::vector<InputFile>& files_;
    std::map<std::string, std::string> names_;    // folded name: the path that has it
    std::map<std::string, std::string> folders_;  // folded folder name: a path in it
    std::vector<FileId> open_;                     // the folders being walked
    std::set<std::pair<uint64_t, uint64_t>> visited_;  // every folder walked
};

}  // namespace

int GatherInputs(const std::vector<std::string>& operands, unsigned codePage, bool followLinks,
                 std::vector<InputFile>* files)
{
    Gatherer gatherer(codePage, followLinks, files);
    for (const std::string& operand : operands)
        if (int failed = gatherer.Operand(operand, false))
            return failed;
    return kOk;
}

}  // namespace mksetup
