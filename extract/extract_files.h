// ExtractFiles: turns the payload of the running executable into
// KVFiles0.tmp, KVFiles1.tmp, ... in the working folder.
#ifndef EXTRACT_EXTRACT_FILES_H
#define EXTRACT_EXTRACT_FILES_H

#include "extract/payload_format.h"
#include "extract/view_file.h"

#include <windows.h>

// What the front end hands the extraction. Written on the main thread
// before the worker starts; read by the worker.
struct ExtractJob {
    HMODULE module;        // the executable, whose own file is read
    LPCSTR workingFolder;  // its path, ending in a backslash: the outputs'
                           // full names, as reports give them
    HANDLE folder;         // the working folder, held: every output is
                           // opened through it, never by its path
    BOOL elevated;         // no "~~" names, and a payload only with the
                           // digest its image records
    HWND dialog;           // sent WM_DESTROY (posted) when the worker ends
};

// KVFiles1.tmp as this run wrote it, held (see HoldWrittenFile) from its
// creation until the hand-off has started it. Written by the worker while
// it extracts record 1; read and released by the hand-off after the worker
// has ended. reader is set only when this run wrote the whole file and
// found it unchanged: the hand-off starts nothing otherwise.
extern HeldFile g_secondStage;

// Set when a payload that proved not to be the image's own left a file the
// run made that could not be deleted (another program held it open).
// Written by the worker; read by the hand-off after the worker has ended.
extern BOOL g_foreignLeft;

// The executable, as the top-level call has opened it: read a window at a
// time (see ExtractFiles).
struct ModuleFile;

// Extracts one record, and for the top-level call all that the manifest
// names.
//
// job            what the front end hands the extraction (see ExtractJob).
// module         NULL for the top-level call, which opens the executable
//                (job->module's file) itself; nested calls get it.
// recordOffset   0 at the top level (the trailer gives record 0's offset);
//                for a nested call, the file offset of its record header.
// recordIndex    0 at the top level; n for the nested call of record n.
//
// Record n goes to "<workingFolder>KVFiles<n>.tmp" (or, unelevated, that
// name with "~~", see GetViewFile), opened through the held folder, with
// the record's size and its three times. Record 0 is the manifest; for n =
// 1, 2, ... while it holds the tag <Pn=", the top-level call extracts
// record n with a nested call, each record starting where the previous one
// ended.
//
// Returns, at the top level, one of the results above; a nested call returns
// 0 on success, the next record's offset in module's next, and -3 or -4 on
// failure (offsets up to 4 GB never read as failures). Every
// failure is reported (logged and shown) before the call returns, and every
// view the call mapped is released on every way out.
//
// Faults: a fault inside the call, or a header or stream that does not lie
// wholly inside the file, is reported as "Unexpected error in unpacker's
// ExtractFiles". The top-level call then returns -6. A nested call returns
// 0 with its own record offset as the next when its header could not be
// read (the manifest named a record that is not there; the loop goes on),
// and -4 when its
// stream lies outside the file (found before its output file is created)
// or its output file was being filled (it would be left damaged). A record
// that declares more than its stream could ever inflate to (see
// DeclaredSizePossible) is refused, before its file is made, as uncompress
// refuses corrupt data: "Error in uncompress routine -3", -4. A fault
// inside GetViewFile ends the thread instead (see there).
//
// The payload is read only from the payload-bearing part of the file: in a
// signed file, what lies before the Authenticode certificate table. The
// executable's own file and record 1, the second stage, get no "~~"
// fallback name. Record 1 is made anew and held (g_secondStage, see
// HoldWrittenFile) until the hand-off has started it; a run that did not
// write it ends with -7.
//
// Its own payload only: the image records the digest of the payload it was
// built with (kDigestSection in payload_format.h); the bytes from the first
// record to the trailer must have that digest, else the run ends with -8
// and the hand-off starts nothing. The digest is computed on a thread of
// its own over the same bytes while the records are extracted, and the
// executable stays open, denying writes, from the first byte read to the
// last, so that both read the same bytes. An image with no digest recorded
// (built by an older mksetup) is read unchecked, but not elevated: then -8
// once the records are extracted (none of them is started).
//
// Memory: the executable and each output are mapped a window at a time
// (kViewWindow, see view_file.h), at most one window of each at once, and
// the digest's thread one window of at most 4 MB. A record whose stream
// and output each fit in one window is inflated in one piece by libdeflate;
// a larger one by zlib's inflate, window after window.
ExtractResult ExtractFiles(const ExtractJob* job, ModuleFile* module, DWORD recordOffset, int recordIndex);

// The worker thread: extracts as the ExtractJob it is given says, posts
// job->dialog its one WM_DESTROY whatever the result, and ends with the
// ExtractResult as its exit code.
DWORD WINAPI ExtractThreadProc(LPVOID job);

#endif
