// The front end's routines in this process, where the installer cannot take
// them: the message loop against real worker threads, and the hand-off's
// stop threshold at its edges (offsets past 2 GB) with a real second stage
// and real message boxes.
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"
#include "unpacker/second_stage.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

// A dialog run by MainDlgProc, from a template in memory.
HWND CreateTestDialog()
{
    struct {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    } dialog = {};
    dialog.header.style = WS_POPUP | WS_CAPTION;
    dialog.header.cx = 100;
    dialog.header.cy = 40;
    return CreateDialogIndirectParamA(GetModuleHandleA(NULL), &dialog.header, NULL, MainDlgProc, 0);
}

enum WorkerKind { kSendsDestroy, kEndsSilently };

DWORD WINAPI Worker(LPVOID kind)
{
    Sleep(100);
    if ((ULONG_PTR)kind == kSendsDestroy) {
        SendMessageA(g_dialog, WM_DESTROY, 0, 0);
        return 7;
    }
    ExitThread((DWORD)-1);  // as GetViewFile's fault path ends it
}

struct LoopRun {
    WorkerKind kind;
    DWORD workerExit;
    BOOL quitLeft;
};

// The main thread's part, on a thread of its own so that a loop that never
// ends fails the test instead of hanging it.
DWORD WINAPI MainThread(LPVOID p)
{
    auto* run = (LoopRun*)p;
    g_dialog = CreateTestDialog();
    HANDLE worker = CreateThread(NULL, 0, Worker, (LPVOID)(ULONG_PTR)run->kind, 0, NULL);
    RunMessageLoop(worker);
    WaitForSingleObject(worker, INFINITE);
    GetExitCodeThread(worker, &run->workerExit);
    CloseHandle(worker);
    MSG message;
    run->quitLeft = PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE);
    DestroyWindow(g_dialog);
    return 0;
}

TEST(MessageLoop, EndsWhenTheWorkerSendsItsDestroyOrEndsWithoutIt)
{
    for (WorkerKind kind : {kSendsDestroy, kEndsSilently}) {
        LoopRun run = {kind, 0, TRUE};
        HANDLE main = CreateThread(NULL, 0, MainThread, &run, 0, NULL);
        ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(main, 10000)) << "the loop did not end, kind " << kind;
        CloseHandle(main);
        EXPECT_EQ(kind == kSendsDestroy ? 7u : (DWORD)-1, run.workerExit);
        EXPECT_FALSE(run.quitLeft) << "a quit message left behind would close the next message box at once";
    }
}

// Destroying a dialog of MainDlgProc posts a quit message to this thread,
// which would close the next message box at once: take it away.
void DropQuitMessage()
{
    MSG message;
    while (PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

class HandOffTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DropQuitMessage();
        folder_ = MakeScratchFolder("handoff");
        lstrcpynA(g_workingFolder, folder_.c_str(), MAX_PATH);
        UseLogIn(folder_);
        g_dialog = CreateTestDialog();
        char documents[MAX_PATH] = "";
        SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documents);
        copy_ = std::string(documents) + "\\setup_error.log";
        DeleteFileA(copy_.c_str());
    }
    void TearDown() override
    {
        if (IsWindow(g_dialog))
            DestroyWindow(g_dialog);
        DropQuitMessage();
        g_workerThread = NULL;
        DeleteFileA(copy_.c_str());
        if (!HasFailure())
            RemoveTree(folder_);
    }

    void PlaceSecondStage()
    {
        CopyFileA((ThisProgramsFolder() + "second_stage_probe.exe").c_str(), (folder_ + "KVFiles1.tmp").c_str(), FALSE);
    }

    // A finished worker with the given exit code.
    static DWORD WINAPI ExitWith(LPVOID code) { return (DWORD)(ULONG_PTR)code; }
    static HANDLE FinishedWorker(DWORD code)
    {
        HANDLE thread = CreateThread(NULL, 0, ExitWith, (LPVOID)(ULONG_PTR)code, 0, NULL);
        WaitForSingleObject(thread, INFINITE);
        return thread;
    }

    bool SecondStageRan() { return FileExists(folder_ + "KVFiles1.tmp.report"); }

    std::string folder_, copy_;
    MessageBoxWatcher boxes_;
};

TEST_F(HandOffTest, ExitCodesFromMinus1000ToMinus1StopTheInstall)
{
    const struct {
        int code;
        bool launched;
    } cases[] = {{0, true}, {5, true}, {-1001, true}, {-1000, false}, {-5, false}, {-6, false}, {-1, false}};
    size_t boxesBefore = 0;
    for (const auto& c : cases) {
        DeleteFileA((folder_ + "KVFiles1.tmp.report").c_str());
        PlaceSecondStage();
        if (!IsWindow(g_dialog))
            g_dialog = CreateTestDialog();
        g_workerThread = FinishedWorker((DWORD)c.code);
        RunSecondStage();
        CloseHandle(g_workerThread);
        DropQuitMessage();

        EXPECT_EQ(c.launched, SecondStageRan()) << c.code;
        EXPECT_EQ(!c.launched, IsWindow(g_dialog) != FALSE) << c.code << ": the dialog goes only with a launch";
        auto boxes = boxes_.Boxes();
        ASSERT_EQ(boxesBefore + (c.launched ? 0 : 1), boxes.size()) << c.code;
        if (!c.launched) {
            EXPECT_EQ("Error", boxes.back().caption);
            EXPECT_EQ("Install process was stopped because of\r\nsome errors in unpacker procedure", boxes.back().text);
            EXPECT_EQ((UINT)MB_ICONINFORMATION, boxes.back().icon);
        }
        boxesBefore = boxes.size();
    }
    EXPECT_EQ("", ReadWholeFile(folder_ + "setup_error.log"));
}

}  // namespace
