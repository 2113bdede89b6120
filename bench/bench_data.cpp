#include "bench/bench_data.h"

#include <chrono>

std::vector<mksetup::InputFile> BenchFiles(uint64_t totalBytes)
{
    const size_t kRecord = 8u << 20;
    std::vector<mksetup::InputFile> files;
    uint32_t state = 20261206;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    static const char* const kWords[] = {"setup ", "record ", "file ", "the ", "of ", "install ", "Veltrano ",
                                         "data\r\n", "payload ", "stream ", "window ", "zlib "};
    for (uint64_t made = 0; made < totalBytes; made += kRecord) {
        mksetup::InputFile f;
        f.name = f.path = "bench" + std::to_string(files.size() + 1) + ".dat";
        f.data.resize(kRecord);
        switch (files.size() % 4) {
        case 0:
        case 1: {  // text-like
            size_t at = 0;
            while (at < kRecord) {
                const char* w = kWords[(next() >> 16) % 12];
                for (; *w && at < kRecord; ++w)
                    f.data[at++] = (uint8_t)*w;
            }
            break;
        }
        case 2:  // incompressible
            for (auto& b : f.data)
                b = (uint8_t)(next() >> 24);
            break;
        case 3:  // long zero runs between short bursts
            for (size_t at = 0; at < kRecord; at += 65536)
                for (size_t i = 0; i < 512; ++i)
                    f.data[at + i] = (uint8_t)(next() >> 24);
            break;
        }
        f.times = {129000000000000000ull, 129000000000000000ull, 129000000000000000ull};
        files.push_back(std::move(f));
    }
    return files;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
