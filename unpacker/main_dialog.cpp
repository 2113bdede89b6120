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
        g_workerThread = CreateThread(NULL, 0, ExtractThreadProc, &g_extractJob, 0, &threadId);
        if (!g_workerThread) {
            ReportError("Could not CreateThread in unpacker's MainDlgProc", NULL, TRUE, TRUE, "\r\n");
            PostQuitMessage(0);
        }
        return TRUE;
    }
    }
    return FALSE;
}

// Dispatches what is queued. A quit message is dropped: only the worker's
// end ends the loop, whoever posts one (any program can).
static void DispatchQueued()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void RunMessageLoop(HANDLE worker)
{
    // Messages sent to the dialog from anywhere are delivered while this
    // thread waits, so the window stays responsive; the worker sends none.
    // Without a worker there is nothing to wait for.
    while (worker && MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) != WAIT_OBJECT_0)
        DispatchQueued();
    // The worker's WM_DESTROY, and the quit message it leads to (or the one
    // posted when there is no worker), are taken now, so that no later
    // message box sees them.
    DispatchQueued();
}
