#include "tools/mksetup/progress.h"

#include "tools/mksetup/file_io.h"

#include <chrono>
#include <cstdio>

namespace mksetup {

static double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(const char* verb, uint64_t total, bool quiet)
    : verb_(verb), total_(total), start_(Seconds()), show_(!quiet && StderrIsTerminal())
{
}

Progress::~Progress()
{
    Finish();
}

void Progress::To(uint64_t done)
{
    done_ = done;
    double now = Seconds();
    if (!show_ || (now - shown_ < 0.1 && done < total_))
        return;
    shown_ = now;
    double elapsed = now - start_, rate = elapsed > 0 ? done / elapsed : 0;
    char left[32] = "";
    if (rate > 0 && done < total_) {
        unsigned long long s = (unsigned long long)((total_ - done) / rate + 0.5);
        std::snprintf(left, sizeof left, ", %llu:%02llu left", s / 60, s % 60);
    }
    std::fprintf(stderr, "\rmksetup: %s %.1f of %.1f MB, %.1f MB/s%s   ", verb_, done / 1048576.0,
                 total_ / 1048576.0, rate / 1048576.0, left);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Finish()
{
    if (drawn_)
        std::fputs("\n", stderr);
    drawn_ = false;
}

}  // namespace mksetup
