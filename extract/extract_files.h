// ExtractFiles: turns the payload of the running executable into
// KVFiles0.tmp, KVFiles1.tmp, ... in the working folder.
#ifndef EXTRACT_EXTRACT_FILES_H
#define EXTRACT_EXTRACT_FILES_H

#include <windows.h>

// The worker thread's exit code. 0 and the failures below, or for a nested
// call the offset of the next record.
typedef int ExtractResult;

enum {
    kExtractDone = 0,               // every record the manifest names was handled
    kExtractNoModulePath = -1,      // the executable's own path was not to be had
    kExtractNoModuleView = -2,      // the executable could not be opened or mapped
    kExtractNoOutputFile = -3,      // an output file could not be created or mapped
    kExtractInflateFailed = -4,     // uncompress failed, or the stream could not be read
    kExtractRecordFailed = -5,      // a nested call failed (it has reported)
    kExtractPayloadUnreadable = -6, // the top-level call caught a fault: the
                                    // trailer, record 0's header or stream lie
                                    // outside the file, a signed file's
                                    // certificate table does not end it, or
                                    // reading them faulted
    kExtractNoSecondStage = -7,     // record 1, the second stage, was not
                                    // written: the manifest names none, or
                                    // its header could not be read
};

// The executable, as the top-level call has opened it: read a window at a
// time (see ExtractFiles).
struct ModuleFile;

// Extracts one record, and for the top-level call all that the manifest
// names.
//
// workingFolder  ends in a backslash; output names are appended to it.
// module         NULL for the top-level call, which opens the executable
//                (g_moduleHandle's file) itself; nested calls get it.
// recordOffset   0 at the top level (the trailer gives record 0's offset);
//                for a nested call, the file offset of its record header.
// recordIndex    0 at the top level; n for the nested call of record n.
//
// Record n goes to "<workingFolder>KVFiles<n>.tmp" (or that name with "~~",
// see GetViewFile) with the record's size and its three times. Record 0 is
// the manifest; for n = 1, 2, ... while it holds the tag <Pn=", the top-level
// call extracts record n with a nested call, each record starting where the
// previous one ended.
//
// Returns, at the top level, one of the results above; a nested call returns
// the offset of the next record on success and -3 or -4 on failure. Every
// failure is reported (logged and shown) before the call returns, and every
// view the call mapped is released on every way out.
//
// Faults: a fault inside the call, or a header or stream that does not lie
// wholly inside the file, is reported as "Unexpected error in unpacker's
// ExtractFiles". The top-level call then returns -6. A nested call returns
// its own record offset when its header could not be read (the manifest
// named a record that is not there; the loop goes on), and -4 when its
// stream lies outside the file (found before its output file is created)
// or its output file was being filled (it would be left damaged). A fault
// inside GetViewFile ends the thread instead (see there).
//
// The payload is read only from the payload-bearing part of the file: in a
// signed file, what lies before the Authenticode certificate table. The
// executable's own file and record 1, the second stage, get no "~~"
// fallback name. Record 1 is made anew and held (g_secondStage, see
// HoldWrittenFile) until the hand-off has started it; a run that did not
// write it ends with -7.
//
// Memory: the executable and each output are mapped a window at a time
// (kViewWindow, see view_file.h), at most one window of each at once. A
// record whose stream and output each fit in one window is inflated in one
// piece by libdeflate; a larger one by zlib's inflate, window after window.
ExtractResult ExtractFiles(LPCSTR workingFolder, ModuleFile* module, DWORD recordOffset, int recordIndex);

// The worker thread: extracts into the working folder it is given, posts
// the progress dialog (g_dialog) its one WM_DESTROY whatever the result, and
// ends with the ExtractResult as its exit code.
DWORD WINAPI ExtractThreadProc(LPVOID workingFolder);

#endif
