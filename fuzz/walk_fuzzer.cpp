// libFuzzer target: the installer walk that mksetup's list, verify and
// extract share, over any bytes. It uses the payload format's trailer scan,
// bounds checks, header reads and tag search, and inflates every record.
#include "tools/mksetup/installer.h"

#include <cstddef>
#include <cstdint>

namespace {

// Takes every inflated byte and checks that a record's output is exactly
// its declared size, as the unpacker's output file is.
class CountingSink : public mksetup::RecordSink {
public:
    bool Open(const mksetup::WalkedRecord& record) override
    {
        declared_ = record.header.UncompressedSize;
        seen_ = 0;
        return true;
    }
    bool Write(const uint8_t* data, size_t size) override
    {
        // Touch the first and last byte: the piece must be readable.
        if (size)
            checksum_ += data[0] + data[size - 1];
        seen_ += size;
        return true;
    }
    bool Close(bool whole) override
    {
        if (whole && seen_ != declared_)
            __builtin_trap();
        return true;
    }

private:
    uint64_t declared_ = 0, seen_ = 0;
    uint32_t checksum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CountingSink sink;
    mksetup::InstallerWalk walk = mksetup::WalkInstaller(data, size, true, &sink);
    // Every record the walk reports lies inside the input.
    for (const mksetup::WalkedRecord& r : walk.records)
        if ((uint64_t)r.offset + kRecordHeaderSize > size)
            __builtin_trap();
    return 0;
}
