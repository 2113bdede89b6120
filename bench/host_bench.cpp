// Host benchmarks:
//
//   host_bench sizes FILE...        payload size: zlib level 9 against
//                                   libdeflate level 12 over the files, and
//                                   zlib 9 in pieces (a large file's way)
//   host_bench tools MKSETUP [MB]   mksetup verify and extract against an
//                                   uncompress-only limit
#include "bench/bench_data.h"
#include "tools/mksetup/file_io.h"
#include "tools/mksetup/record_compression.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

static int Sizes(int count, char** paths)
{
    uint64_t original = 0, zlibSize = 0, deflateSize = 0, piecesSize = 0;
    double zlibTime = 0, deflateTime = 0, piecesTime = 0;
    bool piecesSame = true;
    for (int i = 0; i < count; ++i) {
        mksetup::Bytes data;
        std::string error;
        if (!mksetup::ReadWholeFile(paths[i], &data, &error) || data.empty())
            continue;
        original += data.size();
        double start = Now();
        zlibSize += mksetup::CompressStream(data.data(), data.size(), mksetup::Compressor::kZlib, 9).size();
        zlibTime += Now() - start;
        start = Now();
        deflateSize += mksetup::CompressStream(data.data(), data.size(), mksetup::Compressor::kLibdeflate, 12).size();
        deflateTime += Now() - start;
        // What mksetup does with a file too large to hold: zlib 9 in pieces.
        mksetup::InputFile file;
        file.path = paths[i], file.data = std::move(data);
        mksetup::Bytes stream;
        uint64_t streamSize;
        start = Now();
        mksetup::DeflatePieces(file, 9, std::thread::hardware_concurrency(), [&](const uint8_t* piece, size_t size, uint64_t) {
            stream.insert(stream.end(), piece, piece + size);
            return mksetup::BuildResult::kBuilt;
        }, &streamSize, &error);
        piecesTime += Now() - start;
        piecesSize += streamSize;
        mksetup::Bytes back(file.data.size() + 1);
        uLongf length = (uLongf)back.size();
        piecesSame = piecesSame && uncompress(back.data(), &length, stream.data(), (uLong)stream.size()) == Z_OK &&
                     length == file.data.size() && std::equal(file.data.begin(), file.data.end(), back.begin());
    }
    printf("| corpus: %d files | %llu bytes | |\n", count, (unsigned long long)original);
    printf("| zlib level 9 | %llu bytes (%.1f%%) | %.2f s |\n", (unsigned long long)zlibSize,
           100.0 * zlibSize / original, zlibTime);
    printf("| libdeflate level 12 | %llu bytes (%.1f%%) | %.2f s |\n", (unsigned long long)deflateSize,
           100.0 * deflateSize / original, deflateTime);
    printf("| libdeflate against zlib 9 | %.2f%% smaller | goal 3%% or more |\n",
           100.0 * (1.0 - (double)deflateSize / zlibSize));
    printf("| zlib level 9 in 4 MB pieces on every core (mksetup's way above 64 MB) | %llu bytes (%.1f%%), %s | %.2f s |\n",
           (unsigned long long)piecesSize, 100.0 * piecesSize / original,
           piecesSame ? "each inflates to its file" : "NOT inflating to its file", piecesTime);
    printf("| in pieces against libdeflate 12 | %.2f%% larger | |\n", 100.0 * ((double)piecesSize / deflateSize - 1.0));
    return 0;
}

static double TimeCommand(const std::string& command)
{
    double start = Now();
    if (std::system(command.c_str()) != 0)
        fprintf(stderr, "host_bench: failed: %s\n", command.c_str());
    return Now() - start;
}

static int Tools(const std::string& mksetup, uint64_t megabytes)
{
    std::vector<mksetup::InputFile> files = BenchFiles(megabytes << 20);
    mksetup::InputFile manifest = mksetup::GeneratedManifest(files, 0);
    mksetup::BuildOptions options;
    options.compressor = mksetup::Compressor::kZlib;
    options.level = 6;
    mksetup::Bytes installer;
    std::string error;
    if (!mksetup::BuildInstaller(mksetup::Bytes(4096, 0x90), manifest, files, options, &installer, &error)) {
        fprintf(stderr, "host_bench: %s\n", error.c_str());
        return 1;
    }
    char folder[] = "/tmp/host-bench-XXXXXX";
    std::string dir = mkdtemp(folder);
    std::string setup = dir + "/setup.exe";
    FILE* out = fopen(setup.c_str(), "wb");
    fwrite(installer.data(), 1, installer.size(), out);
    fclose(out);

    // The limit: uncompress of every stream into touched memory, and one
    // write pass over fresh files of the same sizes.
    mksetup::InstallerWalk walk = mksetup::WalkInstaller(installer.data(), installer.size(), false);
    uint32_t largest = 0;
    uint64_t total = 0;
    for (const auto& r : walk.records) {
        largest = std::max(largest, r.header.UncompressedSize);
        total += r.header.UncompressedSize;
    }
    mksetup::Bytes buffer(largest, 1);
    double start = Now();
    for (const auto& r : walk.records) {
        uLongf length = r.header.UncompressedSize;
        uncompress(buffer.data(), &length, installer.data() + r.offset + kRecordHeaderSize, r.header.CompressedSize);
    }
    double inflating = Now() - start;
    start = Now();
    for (size_t i = 0; i < walk.records.size(); ++i) {
        std::string path = dir + "/limit" + std::to_string(i);
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(buffer.data(), 1, walk.records[i].header.UncompressedSize, f);
        fclose(f);
        std::remove(path.c_str());
    }
    double writing = Now() - start;

    double verify = TimeCommand("'" + mksetup + "' verify '" + setup + "' >/dev/null");
    double extract = TimeCommand("'" + mksetup + "' extract '" + setup + "' '" + dir + "/out' >/dev/null");
    if (!std::getenv("HOST_BENCH_KEEP"))
        std::system(("rm -rf '" + dir + "'").c_str());

    double mb = total / 1048576.0;
    printf("| payload: %zu records | %.0f MB | |\n", walk.records.size(), mb);
    printf("| limit: uncompress into touched memory | %.3f s | %.0f MB/s |\n", inflating, mb / inflating);
    printf("| mksetup verify | %.3f s | %.0f MB/s, limit / verify %.2f |\n", verify, mb / verify, inflating / verify);
    printf("| limit: uncompress + one write pass | %.3f s | |\n", inflating + writing);
    printf("| mksetup extract | %.3f s | %.0f MB/s, limit / extract %.2f |\n", extract, mb / extract,
           (inflating + writing) / extract);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && !strcmp(argv[1], "sizes"))
        return Sizes(argc - 2, argv + 2);
    if (argc >= 3 && !strcmp(argv[1], "tools"))
        return Tools(argv[2], argc > 3 ? strtoull(argv[3], NULL, 10) : 256);
    fprintf(stderr, "usage: host_bench sizes FILE... | tools MKSETUP [MEGABYTES]\n");
    return 2;
}
