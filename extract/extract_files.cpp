#include "extract/extract_files.h"

#include "report/report_error.h"
#include "unpacker/process_state.h"
#include "extract/fault_guard.h"
#include "extract/inflate_stream.h"
#include "extract/payload_format.h"
#include "extract/view_file.h"

#include <libdeflate.h>

// One decompressor for the whole run, made by the top-level call and freed
// when it returns; NULL when there was no memory for it (every record then
// fails with zlib's Z_MEM_ERROR). Worker thread only.
static libdeflate_decompressor* g_decompressor;

// The length of the payload-bearing part of the executable's view, which
// bounds every read of the payload. Worker thread only: written by the
// top-level call once it has mapped the file, read by the nested calls.
static uint32_t g_payloadEnd;

// What one call has reached, kept where its catch-all can read it after a
// fault.
struct ExtractCall {
    DWORD runningOffset;  // the offset this call would hand on
    BOOL topLevel;        // the call that maps the executable
    BOOL filling;         // the output is being checked, zero-filled or inflated
    LPVOID moduleView;    // the executable, mapped by the top-level call
    LPVOID outputView;    // this call's output file (the manifest at top level)
    FaultGuard* guard;    // told about each view the call maps
};

enum { kModuleViewSlot, kOutputViewSlot };

static void Report(LPCSTR message)
{
    ReportError(message, NULL, TRUE, TRUE, "\r\n");
}

// Output view first, then the module view.
static void ReleaseViews(ExtractCall* call)
{
    if (call->outputView)
        UnmapViewOfFile(call->outputView);
    if (call->moduleView)
        UnmapViewOfFile(call->moduleView);
    call->outputView = NULL;
    call->moduleView = NULL;
}

// A fault, or a part of the payload that does not lie in the file: the
// report, and what the call can still answer. Nothing of a top-level call
// may be trusted then; an output being filled would be left damaged; else
// the loop goes on from where this call had come.
static ExtractResult Unreadable(ExtractCall* call)
{
    Report("Unexpected error in unpacker's ExtractFiles");
    ReleaseViews(call);
    if (call->topLevel)
        return kExtractPayloadUnreadable;
    if (call->filling)
        return kExtractInflateFailed;
    return (ExtractResult)call->runningOffset;
}

static int DecimalDigits(int n)
{
    int digits = 1;
    for (; n >= 10; n /= 10)
        ++digits;
    return digits;
}

// "<folder>KVFiles<index>.tmp" into a MAX_PATH buffer. False when it does not
// fit (the front end keeps the folder short enough; this is the last guard).
static BOOL FormatOutputName(LPSTR name, LPCSTR folder, int index)
{
    if (lstrlenA(folder) + lstrlenA(kOutputPrefix) + DecimalDigits(index) + lstrlenA(".tmp") >= MAX_PATH)
        return FALSE;
    wsprintfA(name, "%s%s%i.tmp", folder, kOutputPrefix, index);
    return TRUE;
}

// The executable's own path; FALSE after a report.
static BOOL GetOwnPath(LPSTR path)
{
    DWORD length = GetModuleFileNameA(g_moduleHandle, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH)  // MAX_PATH: cut short, not a usable path
        return TRUE;
    Report("Could not GetModuleFileName in unpacker's ExtractFiles");
    return FALSE;
}

// Record 0's offset, from the trailer; FALSE when it cannot be read. A
// signed file's certificate table is no payload: the payload ends where the
// table starts, and a table out of place means the file was tampered with.
static BOOL FindFirstRecord(const BYTE* module, DWORD size, DWORD* offset)
{
    uint32_t trailerEnd;
    PayloadTrailer trailer;
    if (!FindPayloadBearingEnd(module, size, &g_payloadEnd))
        return FALSE;
    FindPayloadEnd(module, g_payloadEnd, &trailerEnd);
    if (!ReadPayloadTrailer(module, g_payloadEnd, trailerEnd, &trailer))
        return FALSE;
    *offset = trailer.FirstRecordOffset;
    return TRUE;
}

static void SetFileTimesFrom(const FileRecordHeader* header)
{
    g_creationTime.dwLowDateTime = (DWORD)header->CreationTime;
    g_creationTime.dwHighDateTime = (DWORD)(header->CreationTime >> 32);
    g_lastAccessTime.dwLowDateTime = (DWORD)header->LastAccessTime;
    g_lastAccessTime.dwHighDateTime = (DWORD)(header->LastAccessTime >> 32);
    g_lastWriteTime.dwLowDateTime = (DWORD)header->LastWriteTime;
    g_lastWriteTime.dwHighDateTime = (DWORD)(header->LastWriteTime >> 32);
}

// Zero-fills the output and inflates the stream into it; zlib's code.
static int FillOutput(const BYTE* stream, const FileRecordHeader* header, LPVOID output, DWORD size)
{
    ZeroMemory(output, size);
    return InflateStream(g_decompressor, stream, header->CompressedSize, (uint8_t*)output, size);
}

// The manifest loop: record n for each tag <Pn=" the manifest holds, each
// where the previous one ended.
static ExtractResult ExtractNamedRecords(LPCSTR workingFolder, const BYTE* module, const BYTE* manifest, DWORD size,
                                         ExtractCall* call)
{
    for (int n = 1;; ++n) {
        char tag[kManifestTagSize];
        FormatManifestTag((uint32_t)n, tag);
        if (!ManifestHasTag(manifest, size, tag))
            return kExtractDone;
        ExtractResult nested = ExtractFiles(workingFolder, module, call->runningOffset, n);
        call->runningOffset = (DWORD)nested;
        // -1000 and below are offsets past 2 GB, not failures.
        if (nested >= -999 && nested <= -1)
            return kExtractRecordFailed;
    }
}

// The body of ExtractFiles, step by step.
static ExtractResult ExtractRecord(LPCSTR workingFolder, const BYTE* module, DWORD recordOffset, int recordIndex,
                                   ExtractCall* call)
{
    char name[MAX_PATH];
    if (!FormatOutputName(name, workingFolder, recordIndex)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportError("Could not create file in unpacker's GetViewFile", workingFolder, TRUE, TRUE, "\r\n");
        return kExtractNoOutputFile;
    }

    if (call->topLevel) {
        char path[MAX_PATH];
        DWORD moduleSize = 0;
        if (!GetOwnPath(path))
            return kExtractNoModulePath;
        if (!(call->moduleView = GetViewFile(path, &moduleSize, GENERIC_READ, OPEN_EXISTING, FALSE, FALSE)))
            return kExtractNoModuleView;
        module = (const BYTE*)call->moduleView;
        FaultGuardWatch(call->guard, kModuleViewSlot, module, moduleSize);
        if (!FindFirstRecord(module, moduleSize, &recordOffset))
            return Unreadable(call);
        call->runningOffset = recordOffset;
    }

    FileRecordHeader header;
    if (!ReadRecordHeader(module, g_payloadEnd, recordOffset, &header))
        return Unreadable(call);
    SetFileTimesFrom(&header);
    // From here on, whatever happens to this record, the next one starts here.
    call->runningOffset = recordOffset + kRecordHeaderSize + header.CompressedSize;

    // A stream outside the file is found before its output file is made: a
    // damaged size must not create and zero-fill a file of that size.
    call->filling = TRUE;
    if (!RecordStreamInside(g_payloadEnd, recordOffset, &header))
        return Unreadable(call);
    call->filling = FALSE;

    // The second stage is started by its own name: a held KVFiles1.tmp
    // must fail the record, not leave the old file to be started.
    DWORD outputSize = header.UncompressedSize;
    call->outputView = GetViewFile(name, &outputSize, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, TRUE,
                                   recordIndex != 1);
    if (!call->outputView) {
        ReleaseViews(call);
        return kExtractNoOutputFile;
    }
    FaultGuardWatch(call->guard, kOutputViewSlot, call->outputView, outputSize);

    call->filling = TRUE;
    int code = FillOutput(module + recordOffset + kRecordHeaderSize, &header, call->outputView, outputSize);
    call->filling = FALSE;
    if (code != kInflateOk) {
        char message[kLogLineSize];
        wsprintfA(message, "Error in uncompress routine %i", code);
        Report(message);
        ReleaseViews(call);
        return kExtractInflateFailed;
    }

    ExtractResult result = (ExtractResult)call->runningOffset;
    if (recordIndex == 0)  // the manifest is in the output view
        result = ExtractNamedRecords(workingFolder, module, (const BYTE*)call->outputView, outputSize, call);
    ReleaseViews(call);
    return result;
}

static ExtractResult ExtractGuarded(LPCSTR workingFolder, const BYTE* moduleBase, DWORD recordOffset,
                                    int recordIndex)
{
    FaultGuard guard;
    ExtractCall call = {recordOffset, moduleBase == NULL, FALSE, NULL, NULL, &guard};
    if (FaultGuardTry(&guard)) {
        ExtractResult result = ExtractRecord(workingFolder, moduleBase, recordOffset, recordIndex, &call);
        FaultGuardLeave(&guard);
        return result;
    }
    return Unreadable(&call);
}

ExtractResult ExtractFiles(LPCSTR workingFolder, const BYTE* moduleBase, DWORD recordOffset, int recordIndex)
{
    if (moduleBase)
        return ExtractGuarded(workingFolder, moduleBase, recordOffset, recordIndex);
    g_decompressor = libdeflate_alloc_decompressor();
    ExtractResult result = ExtractGuarded(workingFolder, moduleBase, recordOffset, recordIndex);
    libdeflate_free_decompressor(g_decompressor);
    g_decompressor = NULL;
    return result;
}

DWORD WINAPI ExtractThreadProc(LPVOID workingFolder)
{
    ExtractResult result = ExtractFiles((LPCSTR)workingFolder, NULL, 0, 0);
    SendMessageA(g_dialog, WM_DESTROY, 0, 0);
    return (DWORD)result;
}
