// Files for the Windows tests: scratch folders and whole-file reads and
// writes.
#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the temporary folder, its path ending in "\".
std::string MakeScratchFolder(const std::string& tag);

// Removes a folder and everything in it.
void RemoveTree(const std::string& folder);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Points the process-wide log path at folder + "setup_error.log", as the
// front end does, and returns that path.
std::string UseLogIn(const std::string& folder);

FILETIME MakeFileTime(ULONGLONG value);
ULONGLONG FileTimeValue(const FILETIME& time);

// Which of the three times that a program sets on a file before it writes
// the file through a mapped view are still there afterwards. Windows keeps
// what was set; Linux under Wine moves the last-access time when the file
// is mapped and the last-write time when it is written through the view.
struct SurvivingTimes {
    bool creation;
    bool lastAccess;
    bool lastWrite;
};
SurvivingTimes MeasureSurvivingTimes(const std::string& folder);
