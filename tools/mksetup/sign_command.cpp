#include "tools/mksetup/sign_command.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
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

std::string RunProgram(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + QuoteArgument(word);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return "could not be started: error " + std::to_string(GetLastError());
    DWORD status = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status == 0 ? "" : "exit status " + std::to_string(status);
}
#else
std::string RunProgram(const std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child;
    int error = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        return std::string("could not be started: ") + std::strerror(error);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
}
#endif

}  // namespace mksetup
