#include "extract_files.h"

#include "../report/report_error.h"
#include "../unpacker/process_state.h"
#include "fault_guard.h"
#include "inflate_stream.h"
#include "payload_format.h"
#include "view_file.h"

#include <libdeflate.h>

// One decompressor for the whole run, made by the top-level call and freed
// when it returns; NULL when there was no memory for it (every record then
// fails with zlib's Z_MEM_ERROR). Worker thread only.
static libdeflate_decompressor* g_decompressor;

// What one call has reached, kept where its catch-all can read it after a
// fault.
struct ExtractCall {
    DWORD runningOffset;  // the offset this call would hand on
    BOOL filling;         // the output view is being zero-filled or inflated
    LPVOID moduleView;    // the executable, mapped by the top-level call
    LPVOID outputView;    // this call's output file (the manifest at top level)
    ExtractResult result; // set when the call ends without a fault
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
    if (lstrlenA(folder) + lstrlenA("KVFiles") + DecimalDigits(index) + lstrlenA(".tmp") >= MAX_PATH)
        return FALSE;
    wsprintfA(name, "%s%s%i.tmp", folder, "KVFiles", index);
    return TRUE;
}

// The body of ExtractFiles. Returns FALSE when a part of the payload that it
// must read does not lie inside the file: that is handled as a fault.
static BOOL ExtractRecord(LPCSTR workingFolder, const BYTE* moduleBase, DWORD recordOffset, int recordIndex,
                          ExtractCall* call)
{
    char name[MAX_PATH];
    if (!FormatOutputName(name, workingFolder, recordIndex)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportError("Could not create file in unpacker's GetViewFile", workingFolder, TRUE, TRUE, "\r\n");
        call->result = kExtractNoOutputFile;
        return TRUE;
    }

    if (!moduleBase) {
        char modulePath[MAX_PATH];
        DWORD length = GetModuleFileNameA(g_moduleHandle, modulePath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {  // MAX_PATH: cut short, not a usable path
            Report("Could not GetModuleFileName in unpacker's ExtractFiles");
            call->result = kExtractNoModulePath;
            return TRUE;
        }
        DWORD moduleSize = 0;
        call->moduleView = GetViewFile(modulePath, &moduleSize, GENERIC_READ, OPEN_EXISTING, FALSE, FALSE);
        if (!call->moduleView) {
            call->result = kExtractNoModuleView;
            return TRUE;
        }
        moduleBase = (const BYTE*)call->moduleView;
        FaultGuardWatch(call->guard, kModuleViewSlot, moduleBase, moduleSize);

        // A signed file's certificate table is no payload: the payload ends
        // where the table starts, and a table out of place means the file
        // was tampered with.
        uint32_t payloadEnd;
        if (!FindPayloadBearingEnd(moduleBase, moduleSize, &payloadEnd))
            return FALSE;
        g_moduleViewSize = payloadEnd;
        uint32_t trailerEnd;
        FindPayloadEnd(moduleBase, payloadEnd, &trailerEnd);
        PayloadTrailer trailer;
        if (!ReadPayloadTrailer(moduleBase, payloadEnd, trailerEnd, &trailer))
            return FALSE;
        recordOffset = trailer.FirstRecordOffset;
        call->runningOffset = recordOffset;
    }

    FileRecordHeader header;
    if (!ReadRecordHeader(moduleBase, g_moduleViewSize, recordOffset, &header))
        return FALSE;
    g_creationTime.dwLowDateTime = (DWORD)header.CreationTime;
    g_creationTime.dwHighDateTime = (DWORD)(header.CreationTime >> 32);
    g_lastAccessTime.dwLowDateTime = (DWORD)header.LastAccessTime;
    g_lastAccessTime.dwHighDateTime = (DWORD)(header.LastAccessTime >> 32);
    g_lastWriteTime.dwLowDateTime = (DWORD)header.LastWriteTime;
    g_lastWriteTime.dwHighDateTime = (DWORD)(header.LastWriteTime >> 32);
    // From here on, whatever happens to this record, the next one starts here.
    call->runningOffset = recordOffset + kRecordHeaderSize + header.CompressedSize;

    // A stream outside the file is found before its output file is made: a
    // damaged size must not create and zero-fill a file of that size. It
    // counts as a failure while filling, as an unreadable stream would.
    call->filling = TRUE;
    if (!RecordStreamInside(g_moduleViewSize, recordOffset, &header))
        return FALSE;
    call->filling = FALSE;

    // The second stage is started by its own name: a held KVFiles1.tmp
    // must fail the record, not leave the old file to be started.
    DWORD outputSize = header.UncompressedSize;
    call->outputView = GetViewFile(name, &outputSize, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, TRUE,
                                   recordIndex != 1);
    if (!call->outputView) {
        ReleaseViews(call);
        call->result = kExtractNoOutputFile;
        return TRUE;
    }
    FaultGuardWatch(call->guard, kOutputViewSlot, call->outputView, outputSize);

    call->filling = TRUE;
    ZeroMemory(call->outputView, outputSize);
    int code = InflateStream(g_decompressor, moduleBase + recordOffset + kRecordHeaderSize, header.CompressedSize,
                             (uint8_t*)call->outputView, outputSize);
    call->filling = FALSE;
    if (code != kInflateOk) {
        char message[kLogLineSize];
        wsprintfA(message, "Error in uncompress routine %i", code);
        Report(message);
        ReleaseViews(call);
        call->result = kExtractInflateFailed;
        return TRUE;
    }

    if (recordIndex != 0) {
        ReleaseViews(call);
        call->result = (ExtractResult)call->runningOffset;
        return TRUE;
    }

    // The manifest is in the output view: extract each record it names.
    const BYTE* manifest = (const BYTE*)call->outputView;
    for (int n = 1;; ++n) {
        char tag[kManifestTagSize];
        FormatManifestTag((uint32_t)n, tag);
        if (!ManifestHasTag(manifest, outputSize, tag)) {
            ReleaseViews(call);
            call->result = kExtractDone;
            return TRUE;
        }
        ExtractResult nested = ExtractFiles(workingFolder, moduleBase, call->runningOffset, n);
        call->runningOffset = (DWORD)nested;
        // -1000 and below are offsets past 2 GB, not failures.
        if (nested >= -999 && nested <= -1) {
            ReleaseViews(call);
            call->result = kExtractRecordFailed;
            return TRUE;
        }
    }
}

static ExtractResult ExtractGuarded(LPCSTR workingFolder, const BYTE* moduleBase, DWORD recordOffset,
                                    int recordIndex)
{
    FaultGuard guard;
    ExtractCall call = {recordOffset, FALSE, NULL, NULL, kExtractDone, &guard};
    if (FaultGuardTry(&guard)) {
        BOOL readable = ExtractRecord(workingFolder, moduleBase, recordOffset, recordIndex, &call);
        FaultGuardLeave(&guard);
        if (readable)
            return call.result;
    }

    // A fault, or a header or stream outside the file.
    Report("Unexpected error in unpacker's ExtractFiles");
    ReleaseViews(&call);
    if (!moduleBase)
        return kExtractPayloadUnreadable;  // nothing of this run may be trusted
    if (call.filling)
        return kExtractInflateFailed;      // the output file is damaged
    return (ExtractResult)call.runningOffset;
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
