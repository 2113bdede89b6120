// The progress dialog's procedure and the main thread's message loop.
#ifndef UNPACKER_MAIN_DIALOG_H
#define UNPACKER_MAIN_DIALOG_H

#include <windows.h>

// The product's name: the dialog's title "Veltrano Setup", the product
// mutex, and the last word of the log hand-off's messages.
#define PRODUCT_NAME "Veltrano"

// Start-up sends it once to the progress dialog, which starts the worker.
#define UM_EXTRACT (WM_USER + 1000)

// The progress dialog. UM_EXTRACT starts the worker thread (ExtractThreadProc
// on g_extractJob) and stores its handle in g_workerThread; if it cannot
// be created, the failure is reported and the loop is told to quit.
// WM_DESTROY, the worker's last word or the real destruction, posts the quit
// message. Nothing else is handled: the close box and Alt+F4 do nothing.
INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Dispatches the main thread's messages until the worker thread has ended,
// however it ends (a fault in GetViewFile ends it without its message). A
// quit message does not end it: another program can post one, or send the
// dialog a WM_DESTROY, and the hand-off must still find the worker ended
// and the queue empty. What is queued when the worker has ended (its
// WM_DESTROY and the quit message that follows) is taken then, so that no
// later message box sees it. worker may be NULL (it could not be created):
// the loop then only takes what is queued.
void RunMessageLoop(HANDLE worker);

#endif
