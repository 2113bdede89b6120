// What `mksetup build` packs: its FILE operands turned into the files of
// the installer, in order, each with the name the generated manifest
// gives it.
#pragma once

#include "tools/mksetup/installer.h"

#include <string>
#include <vector>

namespace mksetup {

// Each operand, in order, is
// - @LIST: the inputs LIST names, one a line (UTF-8; blank lines and lines
//   starting with # skipped), each as if given here (not @ again);
// - a folder: every file in it and in its folders, in the order of their
//   paths' bytes, each named by its path inside the folder with \ between
//   the parts (a folder reached again through a link is refused, and so,
//   unless followLinks, is a link that leads out of the folder);
// - on Windows, a name with * or ? in its last part: the files it matches,
//   in the order of their names' bytes (the shell does it elsewhere);
// - a file, named by its own name.
// Each file's name must be one Windows can hold (no < > : " | ? * or
// control characters, no part ending in a dot or a blank, no device name
// such as CON or NUL), must differ from every other's as Windows compares
// names, and must be written in codePage: it goes into the manifest so
// (InputFile::name; InputFile::label keeps it in UTF-8). Times and sizes
// are read here, the contents when each record is compressed.
//
// kOk, or after one line on stderr naming what is wrong, kProblems for a
// refusal and kIoError for what cannot be read.
int GatherInputs(const std::vector<std::string>& operands, unsigned codePage, bool followLinks,
                 std::vector<InputFile>* files);

}  // namespace mksetup
