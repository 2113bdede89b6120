#include "tools/mksetup/sign_command.h"
#include "tools/mksetup/interrupt.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace mksetup {

bool SignCommandWords(const std::string& command, const std::string& in, const std::string& out,
                      std::vector<std::string>* words, std::string* error)
{
    words->clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < command.size();) {
        char c = command[i];
        if (quote ? c == quote : c == '\'' || c == '"') {
            quote = quote ? 0 : c;
            inWord = true;
            ++i;
        } else if (!quote && (c == ' ' || c == '\t')) {
            if (inWord)
                words->push_back(word);
            word.clear();
            inWord = false;
            ++i;
        } else {
            inWord = true;
            bool isIn = command.compare(i, 4, "{in}") == 0, isOut = command.compare(i, 5, "{out}") == 0;
            word += isIn ? in : isOut ? out : std::string(1, c);
            i += isIn ? 4 : isOut ? 5 : 1;
        }
    }
    if (inWord)
        words->push_back(word);
    if (quote || words->empty()) {
        *error = quote ? "--sign: a quote in the command is left open" : "--sign: the command names no program";
        return false;
    }
    return true;
}

#ifdef _WIN32
static const char kPathSeparator = ';';
static bool IsAbsolute(const std::string& folder)
{
    return (folder.size() > 2 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/')) ||
           folder.rfind("\\\\", 0) == 0;
}
static bool IsProgram(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
#else
static const char kPathSeparator = ':';
static bool IsAbsolute(const std::string& folder)
{
    return !folder.empty() && folder[0] == '/';
}
static bool IsProgram(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}
#endif

bool FindProgram(const std::string& name, std::string* program, std::string* error)
{
#ifdef _WIN32
    // The name's last part as Windows opens it: no drive, no stream after a
    // ':', no trailing dots or blanks ("s.bat. " runs s.bat).
    std::string leaf = name.substr(name.find_last_of("\\/") + 1), lower;
    leaf = leaf.substr(leaf.size() >= 2 && leaf[1] == ':' ? 2 : 0);
    leaf = leaf.substr(0, leaf.find(':'));
    leaf.erase(leaf.find_last_not_of(". ") + 1);
    for (char c : leaf)
        lower += (char)(c >= 'A' && c <= 'Z' ? c + 32 : c);
    auto endsWith = [&](const char* tail) {
        return lower.size() >= strlen(tail) && !lower.compare(lower.size() - strlen(tail), std::string::npos, tail);
    };
    if (endsWith(".bat") || endsWith(".cmd")) {
        *error = "--sign: " + name + " is a batch file, which cmd.exe runs, acting on & and | in the file names it is "
                 "given; name a program (.exe)";
        return false;
    }
    bool named = name.find_last_of("\\/") != std::string::npos;
    const char* extensions[] = {"", ".exe", ".com"};
    bool hasExtension = name.find('.', named ? name.find_last_of("\\/") : 0) != std::string::npos;
#else
    bool named = name.find('/') != std::string::npos;
    const char* extensions[] = {""};
    bool hasExtension = true;
#endif
    if (named) {  // a path: the program it names, and no other
        *program = name;
        return true;
    }
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(kPathSeparator, start);
        std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? folders.size() + 1 : end + 1;
        if (!IsAbsolute(folder))  // "", "." and the like: the current folder
            continue;
        for (const char* extension : extensions) {
            if (hasExtension != !*extension)
                continue;
            std::string candidate = folder + (folder.back() == '/' || folder.back() == '\\' ? "" : "/") + name + extension;
            if (IsProgram(candidate)) {
                *program = candidate;
                return true;
            }
        }
    }
    *error = "--sign: " + name + " is not on the PATH (mksetup runs no program from the current folder or its own)";
    return false;
}

#ifdef _WIN32
// One argument as the C runtime of the program started reads it back:
// quoted when it holds a blank or a quote, with the backslashes before a
// quote (and before the closing one) doubled.
static std::string QuoteArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string RunProgram(const std::string& program, const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + QuoteArgument(word);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(program.c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return "could not be started: error " + std::to_string(GetLastError());
    ChildOnInterrupt((uintptr_t)process.hProcess);
    DWORD status = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    ChildOnInterrupt(0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status == 0 ? "" : "exit status " + std::to_string(status);
}
#else
std::string RunProgram(const std::string& program, const std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child;
    int error = posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        return std::string("could not be started: ") + std::strerror(error);
    ChildOnInterrupt((uintptr_t)child);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ChildOnInterrupt(0);
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
}
#endif

}  // namespace mksetup
