#include "unpacker/main_dialog.h"

#include "extract/extract_files.h"
#include "report/report_error.h"
#include "unpacker/process_state.h"

INT_PTR CALLBACK MainDlgProc(HWND, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    case UM_EXTRACT: {
        DWORD threadId;
        g_workerThread = CreateThread(NULL, 0, ExtractThreadProc, g_workingFolder, 0, &threadId);
        if (!g_workerThread) {
            ReportError("Could not CreateThread in unpacker's MainDlgProc", NULL, TRUE, TRUE, "\r\n");
            PostQuitMessage(0);
        }
        return TRUE;
    }
    }
    return FALSE;
}

// Dispatches what is queued; FALSE once the quit message has come.
static BOOL DispatchQueued()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return FALSE;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return TRUE;
}

void RunMessageLoop(HANDLE worker)
{
    if (!worker) {
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        return;
    }
    // Messages sent from the worker (its WM_DESTROY) are delivered inside
    // PeekMessageA, so the worker is never left waiting on this thread.
    while (DispatchQueued()) {
        if (MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0) {
            DispatchQueued();  // takes the quit message the worker's WM_DESTROY posted
            return;
        }
    }
}
