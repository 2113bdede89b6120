// How fast ExtractFiles turns a payload of 256 MB or more into files, under
// the same costs any design that writes through mapped views must pay.
//
//   extract_bench.exe make OUT.exe [MEGABYTES]   a copy of itself with a payload
//   OUT.exe run WORK_FOLDER\                     extract it, measure, print
//
// Any installer built with this program as its stub runs too (scripts/
// bench.sh builds one of a single 1 GB record with mksetup). Beside the
// time it prints the most the process had mapped at once while extracting.
//
// The limit, measured in the same run: the inflate step alone (the
// unpacker's libdeflate, and zlib's uncompress beside it) over the same
// streams from the same mapped view into memory already touched, plus one
// pass of writes over freshly created and mapped files of the same sizes.
// extract_bench_zlib.exe is the same program whose ExtractFiles inflates
// with uncompress (zlib_inflate_stream.cpp), for the whole-run comparison.
#include "bench/bench_data.h"
#include "extract/extract_files.h"
#include "extract/inflate_stream.h"
#include "extract/payload_format.h"
#include "report/report_error.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static std::string OwnPath()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, MAX_PATH);
    return path;
}

static int Make(const char* out, uint64_t megabytes)
{
    std::vector<mksetup::InputFile> files = BenchFiles(megabytes << 20);
    mksetup::InputFile manifest = mksetup::GeneratedManifest(files, 0);
    FILE* self = fopen(OwnPath().c_str(), "rb");
    mksetup::Bytes stub;
    for (int c; (c = fgetc(self)) != EOF;)
        stub.push_back((uint8_t)c);
    fclose(self);
    mksetup::BuildOptions options;
    options.compressor = mksetup::Compressor::kZlib;
    options.level = 6;
    mksetup::Bytes installer;
    std::string error;
    if (!mksetup::BuildInstaller(stub, manifest, files, options, &installer, &error)) {
        fprintf(stderr, "extract_bench: %s\n", error.c_str());
        return 1;
    }
    FILE* file = fopen(out, "wb");
    fwrite(installer.data(), 1, installer.size(), file);
    fclose(file);
    printf("%s: %zu records, %llu MB uncompressed, %zu bytes\n", out, files.size() + 1,
           (unsigned long long)megabytes, installer.size());
    return 0;
}

struct Record {
    uint32_t offset;
    FileRecordHeader header;
};

// The bytes of file views in the process now.
static SIZE_T MappedBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const BYTE* p = NULL; VirtualQuery(p, &info, sizeof info) == sizeof info; p = (const BYTE*)info.BaseAddress + info.RegionSize) {
        if (info.Type == MEM_MAPPED && info.State == MEM_COMMIT)
            total += info.RegionSize;
        if ((const BYTE*)info.BaseAddress + info.RegionSize < p)
            break;
    }
    return total;
}

static volatile LONG g_sampling;
static SIZE_T g_mostMapped;

static DWORD WINAPI SampleMapped(LPVOID)
{
    while (g_sampling) {
        SIZE_T now = MappedBytes();
        g_mostMapped = now > g_mostMapped ? now : g_mostMapped;
        Sleep(1);
    }
    return 0;
}

static int Run(const std::string& work)
{
    CreateDirectoryA(work.c_str(), NULL);
    // The job as the front end hands it over: the folder held, not elevated.
    HANDLE folder = CreateFileA(work.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ExtractJob job = {GetModuleHandleA(NULL), work.c_str(), folder, FALSE, NULL};
    wsprintfA(g_logPath, "%s%s", work.c_str(), kLogName);
    g_logFolder = folder;

    // The extraction, as the worker runs it.
    SIZE_T mappedBefore = MappedBytes();
    g_sampling = 1;
    HANDLE sampler = CreateThread(NULL, 0, SampleMapped, NULL, 0, NULL);
    double start = Now();
    ExtractResult result = ExtractFiles(&job, NULL, 0, 0);
    double extraction = Now() - start;
    g_sampling = 0;
    WaitForSingleObject(sampler, INFINITE);
    if (result != 0) {
        fprintf(stderr, "extract_bench: ExtractFiles gave %d\n", result);
        return 1;
    }
    printf("| most mapped at once while extracting (file views, the process's own %.1f MB before it left out) | %.1f MB | |\n",
           mappedBefore / 1048576.0, (g_mostMapped - mappedBefore) / 1048576.0);

    // The records, read from one view of the whole file; for a payload of
    // a GB (no room for that view and the buffers in a 32-bit process), the
    // extraction's time alone.
    HANDLE file = CreateFileA(OwnPath().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD size = GetFileSize(file, NULL);
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    const BYTE* view = (const BYTE*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    CloseHandle(file);
    uint32_t trailerEnd;
    FindPayloadEnd(view, size, &trailerEnd);
    PayloadTrailer trailer;
    ReadPayloadTrailer(view, size, trailerEnd, &trailer);
    std::vector<Record> records;
    uint64_t total = 0;
    if (view && size > (512u << 20)) {  // no room for the limit's buffers either
        UnmapViewOfFile(view);
        view = NULL;
    }
    if (!view) {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((work + "KVFiles*.tmp").c_str(), &found);
        size_t count = 0;
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found), ++count)
            total += ((uint64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        FindClose(find);
        printf("| extraction of %zu records, %.0f MB | %.3f s | %.0f MB/s |\n", count, total / 1048576.0, extraction,
               total / 1048576.0 / extraction);
        return 0;
    }
    uint32_t largest = 0;
    for (uint32_t offset = trailer.FirstRecordOffset; offset + kTrailerSize < trailerEnd;) {
        Record r{offset, {}};
        ReadRecordHeader(view, size, offset, &r.header);
        records.push_back(r);
        total += r.header.UncompressedSize;
        largest = r.header.UncompressedSize > largest ? r.header.UncompressedSize : largest;
        offset += kRecordHeaderSize + r.header.CompressedSize;
    }

    // Limit, part 1: the inflate step alone, into memory already touched.
    std::vector<BYTE> buffer(largest, 1);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    start = Now();
    for (const Record& r : records)
        InflateStream(decompressor, view + r.offset + kRecordHeaderSize, r.header.CompressedSize, buffer.data(),
                      r.header.UncompressedSize);
    double inflating = Now() - start;
    libdeflate_free_decompressor(decompressor);
    start = Now();
    for (const Record& r : records) {
        uLongf length = r.header.UncompressedSize;
        uncompress(buffer.data(), &length, view + r.offset + kRecordHeaderSize, r.header.CompressedSize);
    }
    double inflatingZlib = Now() - start;
    UnmapViewOfFile(view);

    // Limit, part 2: one pass of writes over fresh mapped files.
    std::string other = work + "limit\\";
    CreateDirectoryA(other.c_str(), NULL);
    start = Now();
    for (size_t i = 0; i < records.size(); ++i) {
        std::string name = other + std::to_string(i) + ".tmp";
        HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, records[i].header.UncompressedSize, NULL);
        CloseHandle(file);
        BYTE* out = (BYTE*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        CloseHandle(mapping);
        memset(out, 0x5A, records[i].header.UncompressedSize);
        UnmapViewOfFile(out);
    }
    double writing = Now() - start;
    for (size_t i = 0; i < records.size(); ++i)
        DeleteFileA((other + std::to_string(i) + ".tmp").c_str());
    RemoveDirectoryA(other.c_str());

    double limit = inflating + writing;
    printf("| extraction of %zu records, %.0f MB | %.3f s | %.0f MB/s |\n", records.size(), total / 1048576.0,
           extraction, total / 1048576.0 / extraction);
    printf("| limit: the inflate step alone (libdeflate) into touched memory | %.3f s | |\n", inflating);
    printf("| zlib's uncompress of the same, for comparison | %.3f s | libdeflate %.2fx faster (goal 2x) |\n",
           inflatingZlib, inflatingZlib / inflating);
    printf("| limit: one write pass over fresh mapped files | %.3f s | extraction / write pass %.2f |\n", writing,
           extraction / writing);
    printf("| ratio limit / extraction | %.2f | goal 0.85 or better |\n", limit / extraction);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && !strcmp(argv[1], "make"))
        return Make(argv[2], argc > 3 ? strtoull(argv[3], NULL, 10) : 256);
    if (argc == 3 && !strcmp(argv[1], "run"))
        return Run(argv[2]);
    fprintf(stderr, "usage: extract_bench.exe make OUT.exe [MEGABYTES] | run WORK_FOLDER\\\n");
    return 2;
}
