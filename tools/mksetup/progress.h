// One line on stderr, rewritten as work goes on, where stderr is a
// terminal and mksetup was not told -q: bytes done of all, the rate, and
// the time left.
#pragma once

#include <cstdint>

namespace mksetup {

class Progress {
public:
    // verb: "packing", "checking", "extracting".
    Progress(const char* verb, uint64_t total, bool quiet);
    ~Progress();
    // done bytes of total so far (never less than before).
    void To(uint64_t done);
    void Total(uint64_t total) { total_ = total; }
    // Ends the line, if one was shown.
    void Finish();

private:
    const char* verb_;
    uint64_t total_, done_ = 0;
    double start_, shown_ = 0;
    bool show_, drawn_ = false;
};

}  // namespace mksetup
