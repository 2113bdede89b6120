// Whole-file reads and writes with file times, on Linux and on Windows.
#pragma once

#include "tools/mksetup/installer.h"

#include <cstdio>
#include <string>

namespace mksetup {

// What mksetup says, after its name, of a file it will not read.
extern const char kNotRegularFile[];

#ifdef _WIN32
// In the flags of every CreateFile: where a name turns out to be a pipe's
// (\\.\pipe\..., or one on a share), its server may learn who opened it
// but never act as the publisher (SECURITY_SQOS_PRESENT |
// SECURITY_IDENTIFICATION).
enum : unsigned long { kNoImpersonation = 0x00110000 };
#endif

// Which file path names (see FileId), through links unless followLinks is
// false (then a link's own); false when there is no such file.
bool GetFileId(const std::string& path, FileId* id, bool followLinks = true);

// Opens path to read. Every file mksetup reads is opened here: a regular
// file only, also where path is a link to one; a device, FIFO or socket is
// refused before a byte of it is read (and a FIFO's open waits for no
// writer). Each file opened is one mksetup reads (IsReadFile). With
// expected, a file that is not that one (another put in its place since it
// was looked at, a link among them) fails. Null when it cannot be read,
// with error, and *refused (if given) true when it is no regular file.
FILE* OpenToRead(const std::string& path, std::string* error, bool* refused = nullptr,
                 const FileId* expected = nullptr);

// True, with the name it was first opened by, when id is a file this
// process has opened to read (OpenToRead, FileView): no output may be one.
bool IsReadFile(const FileId& id, std::string* path);

// The file's bytes, opened as OpenToRead opens it (*refused alike).
bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error, bool* refused = nullptr);

// True when path names a folder.
bool IsFolder(const std::string& path);

// True when path is itself a link: a symbolic link, on Windows also a
// junction or another reparse point (the name's own, not what it leads to).
bool IsLink(const std::string& path);

// Where path leads, every link on the way resolved: an absolute path (on
// Windows as GetFinalPathNameByHandle gives it, without \\?\). False when it
// leads nowhere.
bool FinalPath(const std::string& path, std::string* final);

// The file's size; false (error set) when it cannot be had.
bool GetFileSize(const std::string& path, uint64_t* size, std::string* error);

// Reads path into out, which must still be the file id and come to exactly
// size bytes (what they were when the build began): a file that was
// replaced, grows or shrinks meanwhile fails, naming it. Throws
// std::bad_alloc where the memory cannot be had.
bool ReadFileExactly(const std::string& path, uint64_t size, const FileId& id, Bytes* out, std::string* error);

// A whole file to read, mapped (an empty one is no bytes), opened as
// OpenToRead opens it (*refused alike). A file too large for the address
// space (a 32-bit build) fails, naming it.
class FileView {
public:
    bool Open(const std::string& path, std::string* error, bool* refused = nullptr);
    ~FileView();
    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    // Drops the bytes [begin, end) from the process's resident memory; they
    // are read again from the file if touched. A walk over the whole file
    // so stays within a few records of memory.
    void Release(uint64_t begin, uint64_t end) const;

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    bool mapped_ = false;
};

// Creates path as a new file for writing, only where nothing has the name
// (a file, or a link planted there): never writes over anything or
// through a link. On Windows it is shared for deletion (see interrupt.h).
FILE* CreateNewFile(const std::string& path, std::string* error);

// Moves file's position to offset (over 2 GB too); false when it cannot.
bool SeekFile(FILE* file, uint64_t offset);

// Renames from to to, replacing a file (or link) of that name; without
// replace, failing where anything has the name.
bool MoveIntoPlace(const std::string& from, const std::string& to, bool replace = true);

// True when anything has the name: a file, a folder, a link (even one
// leading nowhere).
bool NameTaken(const std::string& path);

// Creation time where the file system keeps one, else the last-write time.
bool GetFileTimes(const std::string& path, FileTimes* times, std::string* error);

// Sets the times; the creation time only where the system can set it
// (Windows).
bool SetFileTimes(const std::string& path, const FileTimes& times, std::string* error);

// FILETIME for a Unix time in seconds.
uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds = 0);

// "2009-07-14T01:23:45.1234567Z"; the fraction only when not zero.
std::string FormatFileTimeUtc(uint64_t fileTime);

std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

bool StderrIsTerminal();

// Creates the folder unless it exists (its parent must).
bool MakeFolder(const std::string& path, std::string* error);

}  // namespace mksetup
