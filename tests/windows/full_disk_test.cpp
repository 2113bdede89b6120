// The working folder on a full disk: a record larger than the free space
// is extracted. Run by run_full_disk.sh, which mounts a small file system
// and names its folder in FULL_DISK_FOLDER (a Windows path ending in "\").
//
// Writing through the view of a file whose pages the disk cannot hold
// faults; the fault must be caught and reported, the install must stop,
// and nothing may hang.
#include "tests/support/installer_under_test.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(FullDisk, RecordLargerThanTheFreeSpaceStopsTheInstallWithAReport)
{
    const char* folder = std::getenv("FULL_DISK_FOLDER");
    if (!folder || !*folder)
        GTEST_SKIP() << "no small file system was mounted (see run_full_disk.sh)";
    std::string temp = folder;
    ULARGE_INTEGER freeBytes;
    ASSERT_TRUE(GetDiskFreeSpaceExA(temp.c_str(), &freeBytes, NULL, NULL));

    // Compressible, so that the installer itself stays small; its output is
    // twice the free space.
    uint64_t size = freeBytes.QuadPart * 2;
    std::string text;
    text.reserve(size);
    while (text.size() < size)
        text += "Veltrano full disk test line\r\n";
    std::vector<mksetup::InputFile> files = TestPayloadFiles({ToBytes("small first"), ToBytes(text)});
    mksetup::Bytes installer = BuildTestInstaller(files);
    ASSERT_FALSE(installer.empty());
    std::string scratch = MakeScratchFolder("fulldisk");
    std::string exe = scratch + "setup.exe";
    WriteWholeFile(exe, std::string(installer.begin(), installer.end()));

    ChildProcess child;
    ASSERT_TRUE(StartInstaller(child, exe, temp));
    ASSERT_TRUE(child.WaitForExit(120000)) << "the unpacker hung on the full disk";
    EXPECT_EQ(0u, child.ExitCode()) << "no crash";

    auto boxes = child.Boxes().Boxes();
    for (const auto& box : boxes)
        printf("box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(0u, boxes[0].text.find("Unexpected error in unpacker's ExtractFiles\r\n")) << boxes[0].text;
    EXPECT_EQ((UINT)MB_ICONERROR, boxes[0].icon);
    EXPECT_EQ("Install process was stopped because of\r\nsome errors in unpacker procedure", boxes[1].text);
    std::string work = temp + "KVFiles_Setup_Temp\\";
    EXPECT_FALSE(FileExists(work + "KVFiles1.tmp.report")) << "no second stage";
    EXPECT_FALSE(FileExists(work + "KVFiles4.tmp"));
    RemoveTree(scratch);
}

}  // namespace
