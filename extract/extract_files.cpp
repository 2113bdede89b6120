#include "extract/extract_files.h"

#include "extract/fault_guard.h"
#include "extract/inflate_stream.h"
#include "extract/payload_digest.h"
#include "extract/payload_format.h"
#include "extract/system_path.h"
#include "report/folder_file.h"
#include "report/report_error.h"

#include <libdeflate.h>

HeldFile g_secondStage;
BOOL g_foreignLeft;

// This image's record of its payload's digest (image_digest.cpp).
extern "C" const uint8_t g_imageDigest[kImageDigestSize];

// One decompressor for the whole run, made by the top-level call and freed
// when it returns; NULL when there was no memory for it (every record then
// fails with zlib's Z_MEM_ERROR). Worker thread only.
static libdeflate_decompressor* g_decompressor;

// The payload's digest, computed by a thread of its own over the bytes
// [start, end) of the executable, every record up to the trailer, while
// the extraction reads the same bytes through its own window: on a second
// core the check costs the install no time (on the worker it would cost a
// third of it). Both read the same bytes: the executable is open, sharing
// reading only, until the thread has ended, and Windows lets nobody write
// a file then, through a handle or a mapping.
struct PayloadCheck {
    BOOL begun;           // the bytes to check are known: records may be written
    HANDLE thread;        // NULL when none runs
    HANDLE mapping;       // the executable's, closed only after the thread ended
    DWORD start, end;
    const BYTE* view;     // the thread's window, released after a fault too
    BOOL matched;         // the thread's answer, read after it has ended
};

// The executable, mapped a window at a time. Made by the top-level call,
// which holds the file, the mapping and the digest's thread and releases
// them last; nested calls move the window. payloadEnd bounds every read of
// the payload: in a signed file what lies before the Authenticode
// certificate table.
struct ModuleFile {
    HANDLE file;           // open, sharing reading only, until the end
    HANDLE mapping;
    DWORD size;
    uint32_t payloadEnd;
    const BYTE* view;      // the file's bytes [viewStart, viewEnd), or NULL
    DWORD viewStart, viewEnd;
    FaultGuard* guard;     // the top-level call's, which watches the window
    char path[MAX_PATH];   // for the reports
    DWORD next;            // where the record after a nested call's starts
    // The outputs this run made, records 0 to made - 1, each under its
    // name or, where retried has its bit, the name with "~~": what goes
    // again when the payload proves not to be the image's own.
    DWORD made;
    BYTE* retried;         // records 1 on, once the manifest is read
    BOOL manifestRetried;
};

// The digest's thread's work, process-wide: it must outlive the worker,
// which a fault in GetViewFile ends where it stands.
static PayloadCheck g_payloadCheck;

// One output file, mapped a window at a time.
struct OutputFile {
    HANDLE mapping;        // NULL while the file is mapped whole
    BYTE* view;            // the file's bytes [viewStart, viewStart + viewSize)
    DWORD viewStart, viewSize, size;
    FaultGuard* guard;     // the call's own, which watches the window
    char name[MAX_PATH];
};

// What one call has reached, kept where its catch-all can read it after a
// fault.
struct ExtractCall {
    DWORD runningOffset;  // the offset this call would hand on
    BOOL topLevel;        // the call that opens the executable
    BOOL filling;         // the output is being checked or inflated
    ModuleFile* module;
    OutputFile output;    // this call's output file (the manifest at top level)
    DWORD streamOffset;   // where the record's stream starts in the file
    ExtractResult windowFailure;  // what a window that could not be had fails
    BYTE* tagsSeen;       // the manifest scan's bitmap, top level
    DWORD tagsSize;       // its bytes
    HeldFile* held;       // record 1's handles (g_secondStage), else NULL
};

enum { kModuleViewSlot, kOutputViewSlot };

static void Report(LPCSTR message)
{
    ReportError(message, NULL, TRUE, TRUE, "\r\n");
}

static void ReleaseOutput(OutputFile* output)
{
    if (output->view && output->size)  // an empty file's is no view
        UnmapViewOfFile(output->view);
    if (output->mapping)
        CloseHandle(output->mapping);
    output->view = NULL;
    output->mapping = NULL;
    FaultGuardWatch(output->guard, kOutputViewSlot, NULL, 0);
}

// The digest of check's bytes, window by window, against the image's. A
// fault (a disk that fails) leaves matched FALSE.
static void HashPayload(PayloadCheck* check)
{
    const DWORD kWindow = kViewWindow < (4u << 20) ? (DWORD)kViewWindow : (4u << 20);
    Blake2s state;
    Blake2sBegin(&state);
    for (DWORD at = check->start; at < check->end;) {
        DWORD base = at - at % kViewAlignment;
        DWORD size = check->end - base < kWindow ? check->end - base : kWindow;
        if (!(check->view = (const BYTE*)MapViewOfFile(check->mapping, FILE_MAP_READ, 0, base, size)))
            return;
        Blake2sAdd(&state, check->view + (at - base), base + size - at);
        UnmapViewOfFile(check->view);
        check->view = NULL;
        at = base + size;
    }
    BYTE digest[kDigestSize];
    Blake2sEnd(&state, digest);
    BOOL same = TRUE;
    for (int i = 0; i < kDigestSize; ++i)
        same &= digest[i] == g_imageDigest[kImageDigestBytes + i];
    check->matched = same;
}

static DWORD WINAPI PayloadCheckThread(LPVOID check)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        HashPayload((PayloadCheck*)check);
        FaultGuardLeave(&guard);
    }
    if (((PayloadCheck*)check)->view)
        UnmapViewOfFile(((PayloadCheck*)check)->view);
    return 0;
}

// Starts the digest's thread over [start, end) of the executable, if the
// image records a digest; without a thread the worker computes it at the
// end (see PayloadIsOwn).
static void BeginPayloadCheck(ModuleFile* module, DWORD start, DWORD end)
{
    PayloadCheck* check = &g_payloadCheck;
    check->begun = TRUE;
    check->mapping = module->mapping;
    check->start = start;
    check->end = end;
    if (g_imageDigest[kImageDigestRecorded] == 1)
        check->thread = CreateThread(NULL, 0, PayloadCheckThread, check, 0, NULL);
}

// Whether the payload is the image's own: its digest the recorded one, or,
// unelevated, none recorded (an older mksetup's build, read unchecked).
// Known only once every byte is hashed, also after a failed record: the
// files written so far may be another payload's. Nothing is in doubt
// before the payload's bounds are known, when nothing has been written.
static BOOL PayloadIsOwn(BOOL elevated)
{
    PayloadCheck* check = &g_payloadCheck;
    if (!check->begun)
        return TRUE;
    if (g_imageDigest[kImageDigestRecorded] != 1)
        return !elevated;
    if (check->thread) {
        WaitForSingleObject(check->thread, INFINITE);
        CloseHandle(check->thread);
        check->thread = NULL;
    } else {
        PayloadCheckThread(check);
    }
    return check->matched;
}

static void ReleaseTags(ExtractCall* call)
{
    if (call->tagsSeen)
        HeapFree(GetProcessHeap(), 0, call->tagsSeen);
    call->tagsSeen = NULL;
}

// The call's output. The second stage stays held only once it is whole.
// The executable is released by ExtractFiles, once the payload is judged.
static void ReleaseViews(ExtractCall* call)
{
    ReleaseOutput(&call->output);
    ReleaseTags(call);
    if (call->held && !call->held->reader)
        ReleaseHeldFile(call->held);
}

// The executable's bytes from offset on, at least need of them and, in
// *length (if given, the bytes wanted on entry), as many as the window
// holds from there. need is at most kViewWindow - kViewAlignment; the caller
// has checked the bytes against the file. NULL after a report.
static const BYTE* ModuleBytes(ModuleFile* module, DWORD offset, DWORD need, DWORD* length)
{
    if (!module->view || offset < module->viewStart || (ULONGLONG)offset + need > module->viewEnd) {
        if (module->view)
            UnmapViewOfFile(module->view);
        DWORD start = offset - offset % kViewAlignment;
        DWORD size = module->size - start < kViewWindow ? module->size - start : kViewWindow;
        module->view = (const BYTE*)MapFileWindow(module->mapping, GENERIC_READ, start, size, module->path);
        module->viewStart = start;
        module->viewEnd = start + size;
        FaultGuardWatch(module->guard, kModuleViewSlot, module->view, size);
        if (!module->view)
            return NULL;
    }
    if (length && *length > module->viewEnd - offset)
        *length = module->viewEnd - offset;
    return module->view + (offset - module->viewStart);
}

// The output's window that starts at offset, a multiple of kViewWindow:
// its length in *length. NULL after a report.
static BYTE* OutputWindow(OutputFile* output, DWORD offset, DWORD* length)
{
    DWORD size = output->size - offset < kViewWindow ? output->size - offset : kViewWindow;
    if (!output->view || output->viewStart != offset) {
        UnmapViewOfFile(output->view);
        output->view = (BYTE*)MapFileWindow(output->mapping, GENERIC_READ | GENERIC_WRITE, offset, size, output->name);
        output->viewStart = offset;
        output->viewSize = size;
        FaultGuardWatch(output->guard, kOutputViewSlot, output->view, size);
    }
    *length = size;
    return output->view;
}

static const uint8_t* NextInput(void* context, uint32_t offset, uint32_t* length)
{
    ExtractCall* call = (ExtractCall*)context;
    DWORD piece = *length;
    const BYTE* bytes = ModuleBytes(call->module, call->streamOffset + offset, 1, &piece);
    *length = piece;
    call->windowFailure = kExtractInflateFailed;
    return bytes;
}

static uint8_t* NextOutput(void* context, uint32_t offset, uint32_t* length)
{
    ExtractCall* call = (ExtractCall*)context;
    DWORD piece;
    BYTE* bytes = OutputWindow(&call->output, offset, &piece);
    *length = piece;
    call->windowFailure = kExtractNoOutputFile;
    return bytes;
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
    call->module->next = call->runningOffset;
    return kExtractDone;
}

// "<folder>KVFiles<index>.tmp" into a MAX_PATH buffer. False when it does not
// fit (the front end keeps the folder short enough; this is the last guard).
static BOOL FormatOutputName(LPSTR name, LPCSTR folder, int index)
{
    char leaf[kOutputNameSize];
    if (lstrlenA(folder) + (int)OutputFileName(index, leaf) >= MAX_PATH)
        return FALSE;
    wsprintfA(name, "%s%s", folder, leaf);
    return TRUE;
}

// Whether GetViewFile gave name the "~~" of its retry.
static BOOL EndsInRetry(LPCSTR name)
{
    int length = lstrlenA(name);
    return length > 2 && name[length - 1] == '~' && name[length - 2] == '~';
}

// The executable's own path; FALSE after a report. Taken in Unicode: a
// folder named in characters the code page lacks (a user's Downloads)
// gives its short form, or no usable path.
static BOOL GetOwnPath(HMODULE module, LPSTR path)
{
    WCHAR wide[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, wide, MAX_PATH);
    if (length > 0 && length < MAX_PATH && SystemPathToAnsi(wide, path))  // MAX_PATH: cut short
        return TRUE;
    Report("Could not GetModuleFileName in unpacker's ExtractFiles");
    return FALSE;
}

// Record 0's offset and the trailer's, from the trailer; FALSE when it cannot be read. A
// signed file's certificate table is no payload: the payload ends where the
// table starts, and a table out of place means the file was tampered with.
// The file's first window holds its headers; the scan reads the last
// kScanWindow bytes of the payload-bearing part.
static BOOL FindFirstRecord(ModuleFile* module, DWORD* offset, DWORD* trailerOffset)
{
    if (!FindPayloadBearingEnd(module->view, module->viewEnd, module->size, &module->payloadEnd))
        return FALSE;
    uint32_t end = module->payloadEnd;
    uint32_t tailStart = end > kScanWindow + kTrailerSize ? end - kScanWindow - kTrailerSize : 0;
    const BYTE* tail = ModuleBytes(module, tailStart, end - tailStart, NULL);
    if (!tail)
        return FALSE;
    uint32_t trailerEnd;
    PayloadTrailer trailer;
    FindPayloadEnd(tail, end - tailStart, &trailerEnd);
    if (!ReadPayloadTrailer(tail, end - tailStart, trailerEnd, &trailer))
        return FALSE;
    *offset = trailer.FirstRecordOffset;
    *trailerOffset = tailStart + trailerEnd - kTrailerSize;
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

// Inflates the record's stream into its new output file, which holds
// zeros: in one piece where stream and output fit in a window each, else
// window by window. zlib's code.
static int FillOutput(ExtractCall* call, const FileRecordHeader* header)
{
    OutputFile* output = &call->output;
    if (!output->mapping) {
        const BYTE* stream = ModuleBytes(call->module, call->streamOffset, header->CompressedSize, NULL);
        if (!stream) {
            call->windowFailure = kExtractInflateFailed;
            return kInflateNoWindow;
        }
        return InflateStream(g_decompressor, stream, header->CompressedSize, output->view, output->size);
    }
    InflateWindows windows = {NextInput, NextOutput, call};
    return InflateStreamInWindows(&windows, header->CompressedSize, output->size);
}

// The manifest's tags, in one pass over its text; the number of records it
// names (1 to the first number without a tag); -1 when there was no memory
// for the scan, -2 after the report of a window that could not be mapped. Numbers past what the text or the payload can hold
// are not counted: each tag takes five bytes, each record 32.
static int NamedRecords(ExtractCall* call)
{
    OutputFile* output = &call->output;
    DWORD limit = output->size / 5 + 2, records = call->module->payloadEnd / kRecordHeaderSize + 2;
    limit = limit < records ? limit : records;
    call->tagsSize = limit / 8 + 1;
    if (!(call->tagsSeen = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, call->tagsSize)))
        return -1;
    ManifestTagScan scan;
    BeginManifestTagScan(&scan, call->tagsSeen, limit);
    for (ULONGLONG offset = 0; offset < output->size && !scan.ended; offset += kViewWindow) {
        DWORD length = output->viewSize;
        const BYTE* text = output->mapping ? OutputWindow(output, (DWORD)offset, &length) : output->view;
        if (!text)
            return -2;
        ScanManifestText(&scan, text, length);
    }
    return (int)NamedRecordCount(&scan);
}

// The manifest loop: record n for n = 1 to named, each where the previous
// one ended.
static ExtractResult ExtractNamedRecords(const ExtractJob* job, int named, ExtractCall* call)
{
    for (int n = 1; n <= named; ++n) {
        if (ExtractFiles(job, call->module, call->runningOffset, n) != kExtractDone)
            return kExtractRecordFailed;
        call->runningOffset = call->module->next;
    }
    return kExtractDone;
}

static ExtractResult InflateFailed(ExtractCall* call, int code)
{
    char message[kLogLineSize];
    wsprintfA(message, "Error in uncompress routine %i", code);
    Report(message);
    ReleaseViews(call);
    return kExtractInflateFailed;
}

// The body of ExtractFiles, step by step.
static ExtractResult ExtractRecord(const ExtractJob* job, DWORD recordOffset, int recordIndex, ExtractCall* call)
{
    OutputFile* output = &call->output;
    if (!FormatOutputName(output->name, job->workingFolder, recordIndex)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportError("Could not create file in unpacker's GetViewFile", job->workingFolder, TRUE, TRUE, "\r\n");
        return kExtractNoOutputFile;
    }

    ModuleFile* module = call->module;
    if (call->topLevel) {
        if (!GetOwnPath(job->module, module->path))
            return kExtractNoModulePath;
        module->size = 0;
        // Read as itself or not at all: a "~~" beside it may be anyone's.
        // Kept open, sharing reading only, until the end: nobody can write
        // it while it is read.
        ViewFileOptions own = {NULL, FALSE, &module->mapping, &module->file, NULL};
        module->view = (const BYTE*)GetViewFile(module->path, &module->size, GENERIC_READ, OPEN_EXISTING, FALSE,
                                                FALSE, &own);
        if (!module->view) {
            ReleaseViews(call);
            return kExtractNoModuleView;
        }
        module->viewStart = 0;
        module->viewEnd = module->size < kViewWindow ? module->size : kViewWindow;
        FaultGuardWatch(module->guard, kModuleViewSlot, module->view, module->viewEnd);
        DWORD trailerOffset;
        if (!FindFirstRecord(module, &recordOffset, &trailerOffset))
            return module->view ? Unreadable(call) : (ReleaseViews(call), kExtractNoModuleView);
        call->runningOffset = recordOffset;
        BeginPayloadCheck(module, recordOffset, trailerOffset);
    }

    FileRecordHeader header;
    if (!PayloadSpanInside(module->payloadEnd, recordOffset, kRecordHeaderSize))
        return Unreadable(call);
    const BYTE* headerBytes = ModuleBytes(module, recordOffset, kRecordHeaderSize, NULL);
    if (!headerBytes) {
        ReleaseViews(call);
        return call->topLevel ? kExtractNoModuleView : kExtractInflateFailed;
    }
    ReadRecordHeader(headerBytes, kRecordHeaderSize, 0, &header);
    SetFileTimesFrom(&header);
    // From here on, whatever happens to this record, the next one starts here.
    call->runningOffset = recordOffset + kRecordHeaderSize + header.CompressedSize;
    call->streamOffset = recordOffset + kRecordHeaderSize;

    // A stream outside the file, or a size that its stream could never
    // inflate to, is found before its output file is made: a damaged size
    // must not create a file of that size.
    call->filling = TRUE;
    if (!RecordStreamInside(module->payloadEnd, recordOffset, &header))
        return Unreadable(call);
    call->filling = FALSE;
    if (!DeclaredSizePossible(&header))
        return InflateFailed(call, kInflateBadData);

    // An output or a stream too large for one window is written window by
    // window through the output's mapping, which this call then keeps.
    BOOL inPieces = header.UncompressedSize > kViewWindow || header.CompressedSize > kViewWindow - kViewAlignment;
    // The second stage is started by its own name: a held KVFiles1.tmp
    // must fail the record, not leave the old file to be started; the new
    // one is held until the hand-off has started it.
    call->held = recordIndex == 1 ? &g_secondStage : NULL;
    output->size = header.UncompressedSize;
    ViewFileOptions where = {job->folder, recordIndex != 1 && !job->elevated, inPieces ? &output->mapping : NULL, NULL,
                             call->held};
    output->view = (BYTE*)GetViewFile(output->name, &output->size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS,
                                      FALSE, TRUE, &where);
    if (!output->view) {
        ReleaseViews(call);
        return kExtractNoOutputFile;
    }
    module->made = recordIndex + 1;
    if (EndsInRetry(output->name) && recordIndex == 0)
        module->manifestRetried = TRUE;
    else if (EndsInRetry(output->name) && module->retried)
        module->retried[recordIndex / 8] |= (BYTE)(1u << (recordIndex % 8));
    output->viewStart = 0;
    output->viewSize = output->size < kViewWindow ? output->size : kViewWindow;
    FaultGuardWatch(output->guard, kOutputViewSlot, output->view, output->viewSize);

    // The file was created anew and holds zeros: what the stream does not
    // fill stays zero.
    call->filling = TRUE;
    int code = FillOutput(call, &header);
    call->filling = FALSE;
    if (code == kInflateNoWindow) {
        ReleaseViews(call);
        return call->windowFailure;
    }
    if (code != kInflateOk)
        return InflateFailed(call, code);
    if (call->held) {
        ReleaseOutput(output);
        if (!HoldWrittenFile(call->held, output->name)) {
            ReleaseViews(call);
            return kExtractNoOutputFile;
        }
    }

    module->next = call->runningOffset;
    ExtractResult result = kExtractDone;
    if (recordIndex == 0) {  // the manifest is in the output file
        int named = NamedRecords(call);
        if (named == -1) {  // no memory, as zlib would say it
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return InflateFailed(call, kInflateNoMemory);
        }
        if (named < 0) {
            ReleaseViews(call);
            return kExtractNoOutputFile;
        }
        // The scan's bitmap, zeroed, holds from here on which outputs went
        // to their "~~" names (it has a bit for every record named).
        ZeroMemory(call->tagsSeen, call->tagsSize);
        module->retried = call->tagsSeen;
        call->tagsSeen = NULL;
        ReleaseOutput(output);
        result = ExtractNamedRecords(job, named, call);
    }
    ReleaseViews(call);
    return result;
}

static ExtractResult ExtractGuarded(const ExtractJob* job, ModuleFile* module, DWORD recordOffset, int recordIndex)
{
    FaultGuard guard;
    ExtractCall call = {};
    call.runningOffset = recordOffset;
    call.topLevel = module->guard == NULL;
    call.module = module;
    call.output.guard = &guard;
    if (call.topLevel)
        module->guard = &guard;
    if (FaultGuardTry(&guard)) {
        ExtractResult result = ExtractRecord(job, recordOffset, recordIndex, &call);
        FaultGuardLeave(&guard);
        return result;
    }
    return Unreadable(&call);
}

// Deletes the outputs this run made (see ModuleFile::made), through the
// held folder; one that cannot go is logged.
static void DiscardOutputs(const ExtractJob* job, const ModuleFile* module)
{
    ReleaseHeldFile(&g_secondStage);
    for (DWORD index = 0; index < module->made; ++index) {
        char leaf[kOutputNameSize + 2], name[MAX_PATH];
        OutputFileName(index, leaf);
        if (index ? module->retried && (module->retried[index / 8] >> (index % 8) & 1) : module->manifestRetried)
            lstrcatA(leaf, "~~");
        if (!DeleteInFolder(job->folder, leaf) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            wsprintfA(name, "%s%s", job->workingFolder, leaf);  // it was made under this name
            ReportError("Could not to delete file in unpacker's ExtractFiles", name, TRUE, FALSE, "\r\n");
            g_foreignLeft = TRUE;
        }
    }
}

// The top-level call's end, whatever the records came to: the payload is
// judged (the digest's thread has every byte), and what is not the image's
// own leaves nothing of it behind: a later elevated run may reuse the
// folder, files and all. Then the executable is released, and only a
// second stage this run wrote may be started: not an old KVFiles1.tmp, nor
// one whose record was named but not there.
static ExtractResult JudgePayload(const ExtractJob* job, ModuleFile* module, ExtractResult result)
{
    BOOL own = PayloadIsOwn(job->elevated);
    if (module->view)
        UnmapViewOfFile(module->view);
    if (module->mapping)
        CloseHandle(module->mapping);
    if (module->file)
        CloseHandle(module->file);
    if (!own) {
        SetLastError(ERROR_FILE_INVALID);  // "externally altered"
        Report("Could not to verify the payload in unpacker's ExtractFiles");
        DiscardOutputs(job, module);
        result = kExtractPayloadNotOwn;
    } else if (result == kExtractDone && !g_secondStage.reader) {
        SetLastError(ERROR_INVALID_DATA);
        Report("Could not to extract KVFiles1.tmp in unpacker's ExtractFiles");
        result = kExtractNoSecondStage;
    }
    if (module->retried)
        HeapFree(GetProcessHeap(), 0, module->retried);
    return result;
}

ExtractResult ExtractFiles(const ExtractJob* job, ModuleFile* module, DWORD recordOffset, int recordIndex)
{
    if (module)
        return ExtractGuarded(job, module, recordOffset, recordIndex);
    ModuleFile own = {};
    ReleaseHeldFile(&g_secondStage);  // what an earlier run held is not this run's
    ZeroMemory(&g_payloadCheck, sizeof g_payloadCheck);
    g_foreignLeft = FALSE;
    g_decompressor = libdeflate_alloc_decompressor();
    ExtractResult result = ExtractGuarded(job, &own, recordOffset, recordIndex);
    libdeflate_free_decompressor(g_decompressor);
    g_decompressor = NULL;
    return JudgePayload(job, &own, result);
}

DWORD WINAPI ExtractThreadProc(LPVOID job)
{
    ExtractResult result = ExtractFiles((const ExtractJob*)job, NULL, 0, 0);
    // Posted, not sent: the worker never waits for the main thread, which
    // ends its loop when this thread has ended (see RunMessageLoop).
    PostMessageA(((const ExtractJob*)job)->dialog, WM_DESTROY, 0, 0);
    return (DWORD)result;
}
