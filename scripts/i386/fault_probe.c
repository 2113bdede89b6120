// Runs where i386 Linux programs run, and says whether a fault reaches a
// program as the kernel reports it. Wine builds every Windows exception from
// the signal frame: the trap number (14, a page fault, for an access
// violation), the error code's write and instruction-fetch bits (read,
// write or execute) and the address. An emulator that gets one of them
// wrong turns an access violation into another exception, and the fault
// guard's tests would be testing the emulator.
//
// Exit 0 when all four faults below look as a native kernel makes them,
// 1 (saying what differs) when not; "Exec format error" from the shell when
// nothing here runs i386 programs. Freestanding: no i386 C library needed.
//
//   clang --target=i386-linux-gnu -ffreestanding -nostdlib -static -fno-pic
//         -fno-stack-protector -O1 -o fault-probe fault_probe.c

typedef unsigned int u32;

static long Sys(long n, long a, long b, long c, long d, long e, long f)
{
    long r;
    __asm__ volatile("push %%ebp; mov %7, %%ebp; int $0x80; pop %%ebp"
                     : "=a"(r)
                     : "a"(n), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e), "m"(f)
                     : "memory");
    return r;
}

enum { kExit = 1, kWrite = 4, kSigaction = 174, kMmap2 = 192, kMemfdCreate = 356 };
enum { kSigbus = 7, kSigsegv = 11, kPageFault = 14, kWriteBit = 2, kFetchBit = 16 };

static void Say(const char* s)
{
    long n = 0;
    while (s[n])
        n++;
    Sys(kWrite, 1, (long)s, n, 0, 0, 0);
}

static void SayHex(u32 v)
{
    char text[12] = " 0x";
    for (int i = 0; i < 8; i++)
        text[3 + i] = "0123456789abcdef"[(v >> (28 - 4 * i)) & 15];
    Say(text);
}

// The faults in order: what each does, the signal and error bits a kernel
// gives it. The handler checks one and sets off the next.
static const struct {
    const char* what;
    int signal;
    u32 bits;
} kCases[] = {
    {"read of an unmapped page", kSigsegv, 0},
    {"write to a read-only page", kSigsegv, kWriteBit},
    {"call into a page that is not executable", kSigsegv, kFetchBit},
    {"read past the end of a mapped file", kSigbus, 0},
};
static volatile int g_case, g_failed;
static volatile char* g_address;
static unsigned char g_data[16] __attribute__((aligned(4096))) = {0xc3};

static void Fault(int n)
{
    g_case = n;
    if (n == 0) {
        g_address = (char*)0x1000;
        (void)*g_address;
    } else if (n == 1) {
        g_address = (char*)&Say;
        *g_address = 0;
    } else if (n == 2) {
        g_address = (char*)g_data;
        ((void (*)(void))g_address)();
    } else {
        long file = Sys(kMemfdCreate, (long)"empty", 0, 0, 0, 0, 0);
        g_address = (char*)Sys(kMmap2, 0, 4096, 1 /* PROT_READ */, 1 /* MAP_SHARED */, file, 0);
        (void)*g_address;
    }
    Say(kCases[n].what), Say(": no fault\n");
    Sys(kExit, 1, 0, 0, 0, 0, 0);
}

static void Handler(int signal, const int* info, const char* context)
{
    const u32* registers = (const u32*)(context + 20);  // uc_mcontext.gregs
    u32 trap = registers[12], error = registers[13], cr2 = *(const u32*)(context + 104);
    u32 address = (u32)info[3], want = kCases[g_case].bits;
    if (signal != kCases[g_case].signal || trap != kPageFault || (error & (kWriteBit | kFetchBit)) != want ||
        address != (u32)g_address || cr2 != (u32)g_address) {
        Say(kCases[g_case].what), Say(signal == kSigbus ? ": SIGBUS" : ": SIGSEGV");
        Say(" trapno"), SayHex(trap), Say(" err"), SayHex(error), Say(" address"), SayHex(address);
        Say(" cr2"), SayHex(cr2), Say(kCases[g_case].signal == kSigbus ? "; a kernel gives SIGBUS" : "; a kernel gives SIGSEGV");
        Say(" trapno 0xe, err bits"), SayHex(want), Say(" of"), SayHex(kWriteBit | kFetchBit), Say(", address");
        SayHex((u32)g_address), Say("\n");
        g_failed = 1;
    }
    if (g_case + 1 < (int)(sizeof kCases / sizeof kCases[0]))
        Fault(g_case + 1);  // on this frame: the handler runs nested, never returns
    if (!g_failed)
        Say("i386 faults as a native kernel reports them: read, write, execute, past a file's end\n");
    Sys(kExit, g_failed, 0, 0, 0, 0, 0);
}

void _start(void)
{
    // SA_SIGINFO with SA_NODEFER: the next fault is raised inside the handler.
    struct {
        void* handler;
        u32 flags;
        void* restorer;
        u32 mask[2];
    } action = {(void*)Handler, 4 | 0x40000000, 0, {0, 0}};
    Sys(kSigaction, kSigsegv, (long)&action, 0, 8, 0, 0);
    Sys(kSigaction, kSigbus, (long)&action, 0, 8, 0, 0);
    Fault(0);
}
