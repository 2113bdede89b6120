// The signing command of mksetup build --sign: split into words and run
// without a shell, the same way on Linux and on Windows.
#ifndef TOOLS_MKSETUP_SIGN_COMMAND_H
#define TOOLS_MKSETUP_SIGN_COMMAND_H

#include <string>
#include <vector>

namespace mksetup {

// Splits command into words, {in} and {out} replaced by in and out. Words
// are separated by blanks and tabs; a part in '...' or "..." is taken as it
// stands, blanks included, without its quotes; nothing else is special (a
// backslash is a backslash, as in C:\Program Files). The placeholders are
// replaced in one pass over the command alone, in or out of quotes, so a
// file name is always part of one word: it never splits one, adds one or
// is read as anything but a name. False, with error (which never quotes the
// command: it may hold a password), for a quote left open or no word.
bool SignCommandWords(const std::string& command, const std::string& in, const std::string& out,
                      std::vector<std::string>* words, std::string* error);

// The program that name, a command's first word, stands for: name itself
// when it holds a path separator; else the first match in the PATH's
// absolute folders, never in the current folder (which an empty or "."
// entry names) or mksetup's own, which the system would search first on
// Windows, where a planted osslsigncode.exe would then receive the key's
// password. On Windows ".exe" or ".com" is added to a name without an
// extension, and a .bat or .cmd is refused: cmd.exe, which runs them, acts
// on & and | in the file names they are given. False, with error, when
// there is none.
bool FindProgram(const std::string& name, std::string* program, std::string* error);

// Runs program with the words as its arguments (words[0] its name) and
// waits for it. The result: "" when it exited with 0, else what happened
// ("exit status 3", "killed by signal 9", "could not be started: ..."),
// never the arguments themselves.
std::string RunProgram(const std::string& program, const std::vector<std::string>& words);

}  // namespace mksetup

#endif
