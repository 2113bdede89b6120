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
// on g_workingFolder) and stores its handle in g_workerThread; if it cannot
// be created, the failure is reported and the loop is told to quit.
// WM_DESTROY, the worker's last word or the real destruction, posts the quit
// message. Nothing else is handled: the close box and Alt+F4 do nothing.
INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Dispatches the main thread's messages until the quit message arrives or
// the worker thread ends, whichever comes first; a worker that ends without
// its WM_DESTROY (a fault in GetViewFile ends it at once) must not leave the
// dialog waiting for good. A quit message that the worker's WM_DESTROY
// posted is taken from the queue either way, so that no later message box
// sees it. worker may be NULL (it could not be created; the quit message is
// already posted then).
void RunMessageLoop(HANDLE worker);

#endif
