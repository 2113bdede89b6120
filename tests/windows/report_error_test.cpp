// ReportError where the installer cannot take it: entries in call order after
// an earlier run's, a code without system text, details of any length, a
// log that cannot be opened. The table of unpacker_test sees the rest.
#include "report/report_error.h"
#include "tests/support/message_box_watcher.h"
#include "tests/support/test_files.h"
#include "unpacker/process_state.h"

#include <gtest/gtest.h>

namespace {

// A code for which the system has no message text.
const DWORD kCodeWithoutText = 0x20001234;

class ReportErrorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = MakeScratchFolder("report");
        log_ = UseLogIn(folder_);
    }

    std::string folder_;
    std::string log_;
    MessageBoxWatcher boxes_;
};

TEST_F(ReportErrorTest, EntriesAreAppendedInCallOrderWithTheirTerminators)
{
    WriteWholeFile(log_, "earlier run\r\n");
    SetLastError(ERROR_FILE_NOT_FOUND);
    ReportError("Could not create file in unpacker's GetViewFile", "C:\\Temp\\KVFiles3.tmp~~", TRUE, FALSE, "\r\n");
    SetLastError(ERROR_ACCESS_DENIED);
    ReportError("Could not GetModuleFileName in unpacker's ExtractFiles", NULL, TRUE, FALSE, "\r\n");
    // A terminator is written as given, after the line.
    SetLastError(ERROR_ACCESS_DENIED);
    ReportError("Third", NULL, TRUE, FALSE, "|");

    EXPECT_EQ("earlier run\r\n"
              "Could not create file in unpacker's GetViewFile. C:\\Temp\\KVFiles3.tmp~~ Error ID=" +
                  ExpectedErrorId(ERROR_FILE_NOT_FOUND) +
                  "\r\n"
                  "Could not GetModuleFileName in unpacker's ExtractFiles. Error ID=" +
                  ExpectedErrorId(ERROR_ACCESS_DENIED) + "\r\nThird. Error ID=" +
                  ExpectedErrorId(ERROR_ACCESS_DENIED) + "|",
              ReadWholeFile(log_));
    EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(ReportErrorTest, CodeWithoutSystemTextIsLoggedButNotShown)
{
    ASSERT_FALSE(SystemHasText(kCodeWithoutText));
    SetLastError(kCodeWithoutText);
    ReportError("Error in uncompress routine -3", NULL, TRUE, TRUE, "\r\n");

    // ReportError returns only after a shown box is answered, so none was shown.
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ("Error in uncompress routine -3. Error ID=" + ExpectedErrorId(kCodeWithoutText) + "\r\n",
              ReadWholeFile(log_));
}

TEST_F(ReportErrorTest, DetailsOf260And261CharactersAreLoggedWhole)
{
    // 260: a full-length path; 261: longer, as a path with the "~~" retry
    // suffix can be. Both go into the line as they are.
    std::string expected;
    for (size_t length : {size_t(260), size_t(261)}) {
        std::string detail = "C:\\" + std::string(length - 5, 'd') + "~~";
        ASSERT_EQ(length, detail.size());
        SetLastError(ERROR_SHARING_VIOLATION);
        ReportError("Could not create file in unpacker's GetViewFile", detail.c_str(), TRUE, FALSE, "\r\n");
        expected += "Could not create file in unpacker's GetViewFile. " + detail + " Error ID=" +
                    ExpectedErrorId(ERROR_SHARING_VIOLATION) + "\r\n";
    }
    EXPECT_EQ(expected, ReadWholeFile(log_));
}

TEST_F(ReportErrorTest, DetailTooLongForTheLineKeepsItsEndAndTheWholeId)
{
    std::string detail = "C:\\start" + std::string(2000, 'f') + "\\KVFiles12.tmp~~";
    SetLastError(ERROR_SHARING_VIOLATION);
    ReportError("Could not create file in unpacker's GetViewFile", detail.c_str(), TRUE, FALSE, "\r\n");

    std::string id = " Error ID=" + ExpectedErrorId(ERROR_SHARING_VIOLATION) + "\r\n";
    std::string prefix = "Could not create file in unpacker's GetViewFile. ...";
    std::string logged = ReadWholeFile(log_);
    ASSERT_EQ(999u + 2, logged.size()) << "the line fills its 1000-byte buffer, then CR LF";
    EXPECT_EQ(prefix, logged.substr(0, prefix.size()));
    EXPECT_EQ(id, logged.substr(logged.size() - id.size()));
    std::string kept = logged.substr(prefix.size(), logged.size() - prefix.size() - id.size());
    EXPECT_EQ(detail.substr(detail.size() - kept.size()), kept);
}

TEST_F(ReportErrorTest, LogThatCannotBeOpenedIsIgnored)
{
    lstrcpynA(g_logPath, (folder_ + "missing\\setup_error.log").c_str(), MAX_PATH);
    SetLastError(ERROR_ACCESS_DENIED);
    ReportError("Could not create process in unpacker's MainDlgProc", NULL, TRUE, TRUE, "\r\n");
    EXPECT_FALSE(FileExists(folder_ + "missing"));
    ASSERT_EQ(1u, boxes_.Boxes().size());

    // Held open by someone who shares no access: the entry is lost quietly.
    log_ = UseLogIn(folder_);
    WriteWholeFile(log_, "kept\r\n");
    HANDLE holder = CreateFileA(log_.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    ReportError("Could not create process in unpacker's MainDlgProc", NULL, TRUE, FALSE, "\r\n");
    CloseHandle(holder);
    EXPECT_EQ("kept\r\n", ReadWholeFile(log_));
}

}  // namespace
