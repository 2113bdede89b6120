#include "tools/mksetup/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
static_assert(mksetup::kNoImpersonation == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), "");
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mksetup {


std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    char last = folder.back();
    return (last == '/' || last == '\\') ? folder + name : folder + "/" + name;
}

const char kNotRegularFile[] = ": is not a regular file (a device, FIFO or socket); mksetup reads only files";

// Every file opened to read, by identity, with the name it was first opened
// by; the build's workers open inputs too.
static std::mutex g_readLock;
static std::map<std::pair<uint64_t, uint64_t>, std::string> g_read;

static void NoteRead(const FileId& id, const std::string& path)
{
    std::lock_guard<std::mutex> hold(g_readLock);
    g_read.emplace(std::make_pair(id.device, id.file), path);
}

bool IsReadFile(const FileId& id, std::string* path)
{
    std::lock_guard<std::mutex> hold(g_readLock);
    auto read = g_read.find(std::make_pair(id.device, id.file));
    if (read == g_read.end())
        return false;
    *path = read->second;
    return true;
}

// The one open behind every read (OpenToRead, FileView): a descriptor of a
// regular file, or -1 with error. On Windows others may go on writing it
// only where shareWriting says so, as with fopen.
static int OpenRegular(const std::string& path, bool shareWriting, const FileId* expected, std::string* error,
                       bool* refused)
{
    // What is not the file expected, a file of another kind included, is
    // one put in its place.
    auto refuse = [&](bool folder) {
        *error = path + (expected ? ": changed while the build ran: it is not the file that was listed"
                         : folder ? ": is a folder" : kNotRegularFile);
        if (refused && !expected)
            *refused = true;
        return -1;
    };
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | (shareWriting ? FILE_SHARE_WRITE : 0), NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | kNoImpersonation, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = path + (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                             ? ": " + std::string(std::strerror(ENOENT))
                             : ": cannot be read (error " + std::to_string(code) + ")");
        return -1;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {  // CON, NUL, a pipe
        CloseHandle(file);
        return refuse(false);
    }
    BY_HANDLE_FILE_INFORMATION info;
    int fd = GetFileInformationByHandle(file, &info) ? _open_osfhandle((intptr_t)file, _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(file);
        *error = path + ": cannot be read";
        return -1;
    }
    FileId id;
    id.device = info.dwVolumeSerialNumber;
    id.file = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    if (expected && !(id == *expected)) {
        close(fd);
        return refuse(false);
    }
    NoteRead(id, path);
    return fd;
#else
    (void)shareWriting;
    // Looked at before it is opened, so that no device is (opening one can
    // act: a tape rewinds), and again once open, for whatever took the name
    // meanwhile; O_NONBLOCK, so that a FIFO's open waits for no writer.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse(S_ISDIR(st.st_mode));
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    FileId id;
    id.device = (uint64_t)st.st_dev;
    id.file = (uint64_t)st.st_ino;
    if (!S_ISREG(st.st_mode) || (expected && !(id == *expected))) {
        close(fd);
        return refuse(S_ISDIR(st.st_mode));
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    NoteRead(id, path);
    return fd;
#endif
}

FILE* OpenToRead(const std::string& path, std::string* error, bool* refused, const FileId* expected)
{
    int fd = OpenRegular(path, true, expected, error, refused);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "rb");
    if (fd >= 0 && !file) {
        *error = path + ": " + std::strerror(errno);
        close(fd);
    }
    return file;
}

bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error, bool* refused)
{
    FILE* file = OpenToRead(path, error, refused);
    if (!file)
        return false;
    // One read of the whole file where its size is known, then whatever
    // follows (a file that grows meanwhile, or one with no size).
    out->clear();
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size > 0)
            out->resize((size_t)size);
        std::rewind(file);
    }
    size_t got = out->empty() ? 0 : std::fread(out->data(), 1, out->size(), file);
    out->resize(got);
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out->insert(out->end(), buffer, buffer + n);
    bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok)
        *error = path + ": read error";
    return ok;
}

bool GetFileId(const std::string& path, FileId* id, bool followLinks)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                              NULL);
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (ok) {
        id->device = info.dwVolumeSerialNumber;
        id->file = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
    return ok;
#else
    struct stat st;
    if ((followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0)
        return false;
    id->device = (uint64_t)st.st_dev;
    id->file = (uint64_t)st.st_ino;
    return true;
#endif
}

bool IsFolder(const std::string& path)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

bool IsLink(const std::string& path)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
#endif
}

bool FinalPath(const std::string& path, std::string* final)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<wchar_t> name(32768);
    DWORD n = GetFinalPathNameByHandleW(file, name.data(), (DWORD)name.size(), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    if (n == 0 || n >= name.size())
        return false;
    std::wstring wide(name.data(), n);
    if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0)  // \\?\UNC\server\share: \\server\share
        wide.replace(0, 8, L"\\\\");
    else if (wide.compare(0, 4, L"\\\\?\\") == 0)
        wide.erase(0, 4);
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), NULL, 0, NULL, NULL);
    final->assign(size, '\0');
    return size > 0 && WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &(*final)[0], size, NULL, NULL) == size;
#else
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    *final = resolved;
    std::free(resolved);
    return true;
#endif
}

bool GetFileSize(const std::string& path, uint64_t* size, std::string* error)
{
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) {
        *size = ((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow;
        return true;
    }
    *error = path + ": cannot be read (error " + std::to_string(GetLastError()) + ")";
#else
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        *size = (uint64_t)st.st_size;
        return true;
    }
    *error = path + ": " + std::strerror(errno);
#endif
    return false;
}

bool ReadFileExactly(const std::string& path, uint64_t size, const FileId& id, Bytes* out, std::string* error)
{
    if (size > SIZE_MAX) {
        *error = path + ": too large for this mksetup's address space (use a 64-bit mksetup)";
        return false;
    }
    FILE* file = OpenToRead(path, error, nullptr, &id);
    if (!file)
        return false;
    out->resize((size_t)size);
    size_t got = 0, n = 1;
    while (got < out->size() && (n = std::fread(out->data() + got, 1, std::min<size_t>(out->size() - got, 1 << 20), file)) > 0)
        got += n;
    uint8_t more;
    bool grew = got == out->size() && std::fread(&more, 1, 1, file) == 1, failed = std::ferror(file) != 0;
    std::fclose(file);
    if (got != out->size() || grew || failed) {
        *error = path + (failed ? ": read error" : ": changed size while it was read (" + std::to_string(size) +
                                                       " bytes when the build began)");
        return false;
    }
    return true;
}

bool FileView::Open(const std::string& path, std::string* error, bool* refused)
{
    // On Windows nobody else may write it while it is mapped.
    int fd = OpenRegular(path, false, nullptr, error, refused);
    if (fd < 0)
        return false;
    void* view = nullptr;
#ifdef _WIN32
    HANDLE file = (HANDLE)_get_osfhandle(fd);
    LARGE_INTEGER size;
    bool sized = GetFileSizeEx(file, &size) != 0;
    size_ = sized ? (uint64_t)size.QuadPart : 0;
    HANDLE mapping = size_ > 0 ? CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL) : NULL;
    if (mapping && size_ <= SIZE_MAX)
        view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (mapping)
        CloseHandle(mapping);
    const char* advice = "use the x86-64 mksetup.exe";
#else
    struct stat st;
    bool sized = fstat(fd, &st) == 0;
    size_ = sized ? (uint64_t)st.st_size : 0;
    if (size_ > 0 && size_ <= SIZE_MAX)
        view = mmap(nullptr, (size_t)size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED)
        view = nullptr;
    const char* advice = "use a 64-bit mksetup";
#endif
    close(fd);
    if (!sized) {
        *error = path + ": cannot be read";
        return false;
    }
    if (size_ > 0 && !view) {
        *error = path + ": too large to map into this mksetup's address space (" + advice + ")";
        return false;
    }
    data_ = (const uint8_t*)view;
    mapped_ = view != nullptr;
    return true;
}

void FileView::Release(uint64_t begin, uint64_t end) const
{
    const uint64_t kPage = 4096;
    begin = (begin + kPage - 1) / kPage * kPage;  // whole pages inside the range only
    end = std::min(end, size_) / kPage * kPage;
    if (!mapped_ || begin >= end)
        return;
#ifdef _WIN32
    // Pages of a view that are not locked leave the working set.
    VirtualUnlock((void*)(data_ + begin), (SIZE_T)(end - begin));
#else
    madvise((void*)(data_ + begin), (size_t)(end - begin), MADV_DONTNEED);
#endif
}

FileView::~FileView()
{
    if (!mapped_)
        return;
#ifdef _WIN32
    UnmapViewOfFile(data_);
#else
    munmap(const_cast<uint8_t*>(data_), (size_t)size_);
#endif
}

bool MoveIntoPlace(const std::string& from, const std::string& to, bool replace)
{
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
#else
    if (replace)
        return std::rename(from.c_str(), to.c_str()) == 0;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    // A file system without it: a second name, which fails where one is.
    return (errno == EINVAL || errno == ENOSYS) && link(from.c_str(), to.c_str()) == 0 && unlink(from.c_str()) == 0;
#endif
}

bool NameTaken(const std::string& path)
{
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;  // a link's own, not what it leads to
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
#endif
}

FILE* CreateNewFile(const std::string& path, std::string* error)
{
#ifdef _WIN32
    // Shared for deletion: an interrupted mksetup deletes it while open.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | kNoImpersonation, NULL);
    int fd = handle == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle((intptr_t)handle, _O_WRONLY | _O_BINARY);
    if (handle == INVALID_HANDLE_VALUE)
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
    else if (fd < 0)
        CloseHandle(handle);
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
#endif
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        *error = path + (errno == EEXIST ? ": exists; mksetup writes over nothing" : ": " + std::string(std::strerror(errno)));
        if (fd >= 0)
            close(fd);
    }
    return file;
}

bool SeekFile(FILE* file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (__int64)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

#ifdef _WIN32

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr));
}

bool MakeFolder(const std::string& path, std::string* error)
{
    if (CreateDirectoryA(path.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    *error = path + ": cannot create the folder";
    return false;
}

#else

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO);
}

bool MakeFolder(const std::string& path, std::string* error)
{
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
        return true;
    *error = path + ": " + std::strerror(errno);
    return false;
}

#endif

}  // namespace mksetup
