// Files for the Windows tests: scratch folders and whole-file reads and
// writes.
#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the temporary folder, its path ending in "\".
std::string MakeScratchFolder(const std::string& tag);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Points the process-wide log path at folder + "setup_error.log", as the
// front end does, and returns that path.
std::string UseLogIn(const std::string& folder);

FILETIME MakeFileTime(ULONGLONG value);
ULONGLONG FileTimeValue(const FILETIME& time);
