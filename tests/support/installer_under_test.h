// Installers for the end-to-end tests: the real unpacker with the test
// second stage (second_stage_probe.exe) as record 1, both beside the test
// program, run with a temporary folder of the test's choosing.
#pragma once

#include "tests/support/child_process.h"
#include "tools/mksetup/installer.h"

#include <map>
#include <string>
#include <vector>

mksetup::Bytes ToBytes(const std::string& s);

// The files of a test installer: the test second stage, then one file per
// data blob, each with distinct stored times.
std::vector<mksetup::InputFile> TestPayloadFiles(const std::vector<mksetup::Bytes>& data);

// unpacker-stub.exe, a default manifest and the files.
mksetup::Bytes BuildTestInstaller(const std::vector<mksetup::InputFile>& files);

// Starts an installer as the user would, with TMP and TEMP set to temp.
bool StartInstaller(ChildProcess& child, const std::string& exe, const std::string& temp, bool answerBoxes = true);

// Lines "key=value" of the test second stage's report.
std::map<std::string, std::string> ReportFields(const std::string& text);

// Every file and folder below folder, with file sizes: what a run created,
// changed in size or deleted.
std::map<std::string, size_t> FolderTree(const std::string& folder);
