#include "tools/mksetup/interrupt.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <pthread.h>
#include <unistd.h>
#endif

namespace mksetup {

// What the handler acts on, set outside it: each path a string of its own
// that stays allocated until mksetup ends (kept in g_names: a path forgotten
// is not freed, so that a handler running meanwhile never reads freed
// memory; an extraction names one per file).
static std::atomic<const char*> g_paths[8];
static std::vector<std::unique_ptr<char[]>> g_names;
static std::atomic<const void*> g_view;
static std::atomic<uintptr_t> g_child;

void DeleteOnInterrupt(const std::string& path)
{
    g_names.emplace_back(new char[path.size() + 1]);
    char* copy = g_names.back().get();
    std::memcpy(copy, path.c_str(), path.size() + 1);
    for (auto& slot : g_paths) {
        const char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, copy))
            return;
    }
}

void ForgetOnInterrupt(const std::string& path)
{
    for (auto& slot : g_paths) {
        const char* p = slot.load();
        if (p && path == p)
            slot.store(nullptr);
    }
}

void ViewOnInterrupt(const void* view)
{
    g_view.store(view);
}

void ChildOnInterrupt(uintptr_t child)
{
    g_child.store(child);
}

#ifdef _WIN32
static HANDLE g_mainThread;
static CRITICAL_SECTION g_held;

void HoldInterrupts()
{
    EnterCriticalSection(&g_held);
}

void ReleaseInterrupts()
{
    LeaveCriticalSection(&g_held);
}

static BOOL WINAPI Interrupted(DWORD)
{
    // The main thread is held where it is, so that nothing it does meets
    // what is taken away here; the process then ends as Ctrl-C ends it.
    EnterCriticalSection(&g_held);
    SuspendThread(g_mainThread);
    if (uintptr_t child = g_child.load())
        TerminateProcess((HANDLE)child, 1);
    if (const void* view = g_view.load())
        UnmapViewOfFile(view);
    for (auto& slot : g_paths)
        if (const char* path = slot.load())
            DeleteFileA(path);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void HandleInterrupts()
{
    InitializeCriticalSection(&g_held);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_mainThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(Interrupted, TRUE);
}
#else
// Held, the signals wait, blocked, on the main thread: the only one there
// is while files are made (the workers come later).
static void BlockInterrupts(int how)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    pthread_sigmask(how, &set, nullptr);
}

void HoldInterrupts()
{
    BlockInterrupts(SIG_BLOCK);
}

void ReleaseInterrupts()
{
    BlockInterrupts(SIG_UNBLOCK);
}

static void Interrupted(int signal)
{
    if (pid_t child = (pid_t)g_child.load())
        kill(child, SIGTERM);
    for (auto& slot : g_paths)
        if (const char* path = slot.load())
            unlink(path);
    std::signal(signal, SIG_DFL);  // and end as the signal ends a program
    raise(signal);
}

void HandleInterrupts()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, Interrupted);
}
#endif

}  // namespace mksetup
