// A test program that ends in the middle, each way a real one can (one test
// at a time, by --gtest_filter): every way must fail its CTest row, and the
// test that ends normally must pass.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

TEST(EarlyEnd, Crash)
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

TEST(EarlyEnd, Abort) { abort(); }

// Closes every Unix file descriptor under Wine's feet, its connection to
// the wineserver among them: the next call into the server is a Wine error.
TEST(EarlyEnd, WineError)
{
    for (long fd = 3; fd < 1024; fd++) {
#if defined(__i386__)
        long result;
        __asm__ volatile("int $0x80" : "=a"(result) : "a"(6), "b"(fd) : "memory");
#else
        long result;
        __asm__ volatile("syscall" : "=a"(result) : "a"(3), "D"(fd) : "rcx", "r11", "memory");
#endif
    }
    CloseHandle(CreateEventA(NULL, FALSE, FALSE, NULL));
}

TEST(EarlyEnd, ExitZero) { ExitProcess(0); }

TEST(EarlyEnd, None) { SUCCEED(); }
