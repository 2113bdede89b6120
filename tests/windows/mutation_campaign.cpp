// A mutation campaign against the real unpacker: installers built with
// mksetup, damaged by byte flips, truncations and appended bytes from a
// fixed seed, each run as the user would run it. For every case:
//
// - the unpacker ends by itself (60 s at most) with exit code 0: no crash;
// - every error box it showed has its line in setup_error.log, and a
//   stopped install has a log to hand over;
// - nothing outside its working folder changes but the log's copy in
//   Documents;
// - it starts the second stage only if no record the manifest names failed
//   to inflate or to be read (a manifest naming one record more than is
//   stored is the one failure after which the install goes on);
// - an installer that mksetup verify passes installs with an empty log.
//
// Damage that the format cannot see (a declared size or time changed within
// reason) is counted in the summary, not as a failure.
//
//   CAMPAIGN_CASES  how many cases (default 10)
//   CAMPAIGN_SEED   the seed (default 20261206)
#include "tests/support/installer_under_test.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdlib>
#include <map>

namespace {

using mksetup::Bytes;

unsigned EnvironmentNumber(const char* name, unsigned fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? (unsigned)std::strtoul(value, nullptr, 10) : fallback;
}

struct Random {
    uint64_t state;
    uint32_t Next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (uint32_t)(state >> 33);
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
};

// The first line of each log entry's message part: "<message>. ...".
bool LogHasMessage(const std::string& log, const std::string& message)
{
    return log.find(message + ". ") != std::string::npos;
}

bool Has(const mksetup::InstallerWalk& walk, mksetup::Problem::Kind kind)
{
    for (const auto& p : walk.problems)
        if (p.kind == kind)
            return true;
    return false;
}

TEST(MutationCampaign, DamagedInstallersNeverCrashHangOrInstallBrokenFiles)
{
    const unsigned cases = EnvironmentNumber("CAMPAIGN_CASES", 10);
    Random random{EnvironmentNumber("CAMPAIGN_SEED", 20261206)};

    // The intact installer: the test second stage and three data files.
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i * 7 % 1009) + " of the data file\r\n";
    Bytes noise(30000);
    for (auto& b : noise)
        b = (uint8_t)random.Next();
    std::vector<mksetup::InputFile> files = TestPayloadFiles({ToBytes(text), noise, ToBytes("short")});
    const Bytes intact = BuildTestInstaller(files);
    ASSERT_FALSE(intact.empty());
    const mksetup::InstallerWalk intactWalk = mksetup::WalkInstaller(intact.data(), intact.size(), false);
    ASSERT_TRUE(intactWalk.Ok());
    const uint32_t payload = intactWalk.firstRecordOffset;

    char documentsPath[MAX_PATH] = "";
    SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documentsPath);
    const std::string documents = std::string(documentsPath) + "\\";

    std::map<std::string, int> kinds;
    int failures = 0;
    for (unsigned n = 0; n < cases; ++n) {
        // One damage: flips inside the payload, a cut inside it, or bytes
        // appended (sometimes enough to push the trailer out of the window).
        Bytes installer = intact;
        std::string damage;
        switch (random.Below(3)) {
        case 0: {
            unsigned flips = 1 + random.Below(8);
            for (unsigned i = 0; i < flips; ++i)
                installer[payload + random.Below((uint32_t)installer.size() - payload)] ^= (uint8_t)(1 + random.Below(255));
            damage = std::to_string(flips) + " bytes flipped";
            break;
        }
        case 1: {
            uint32_t cut = payload + random.Below((uint32_t)installer.size() - payload);
            installer.resize(cut);
            damage = "cut at " + std::to_string(cut);
            break;
        }
        default: {
            uint32_t extra = 1 + random.Below(40000);
            for (uint32_t i = 0; i < extra; ++i)
                installer.push_back((uint8_t)random.Next());
            damage = std::to_string(extra) + " bytes appended";
            break;
        }
        }
        SCOPED_TRACE("case " + std::to_string(n) + ": " + damage);

        std::string scratch = MakeScratchFolder("mutation");
        std::string temp = scratch + "temp\\", work = temp + "KVFiles_Setup_Temp\\";
        CreateDirectoryA(temp.c_str(), NULL);
        std::string exe = scratch + "setup.exe";
        WriteWholeFile(exe, std::string(installer.begin(), installer.end()));
        DeleteFileA((documents + "setup_error.log").c_str());
        auto documentsBefore = FolderTree(documents);

        ChildProcess child;
        ASSERT_TRUE(StartInstaller(child, exe, temp));
        bool ended = child.WaitForExit(60000);
        std::vector<CapturedBox> boxes = child.Boxes().Boxes();
        int before = failures;
        auto fail = [&](const std::string& why) {
            ADD_FAILURE() << why;
            ++failures;
        };
        if (!ended) {
            fail("did not end by itself");
            continue;
        }
        if (child.ExitCode() != 0)
            fail("exit code " + std::to_string(child.ExitCode()) + ": a crash");

        std::string log = FileExists(work + "setup_error.log") ? ReadWholeFile(work + "setup_error.log") : "";
        bool stopped = false;
        for (const CapturedBox& box : boxes) {
            if (box.caption == "Error" && box.icon == (UINT)MB_ICONERROR &&
                !LogHasMessage(log, box.text.substr(0, box.text.find("\r\n"))))
                fail("a box without its log line: " + box.text);
            stopped = stopped || (box.caption == "Error" && box.icon == (UINT)MB_ICONINFORMATION);
        }
        if (stopped && log.empty())
            fail("the install stopped with nothing in the log");

        // Outside the working folder: only the log's copy in Documents.
        auto tree = FolderTree(scratch);
        for (auto i = tree.begin(); i != tree.end();)
            i = i->first.compare(0, 24, "temp\\KVFiles_Setup_Temp\\") == 0 ? tree.erase(i) : std::next(i);
        if (tree != std::map<std::string, size_t>{{"setup.exe", installer.size()},
                                                  {"temp\\", 0},
                                                  {"temp\\KVFiles_Setup_Temp\\", 0}} &&
            tree != std::map<std::string, size_t>{{"setup.exe", installer.size()}, {"temp\\", 0}})
            fail("something changed outside the working folder");
        auto documentsAfter = FolderTree(documents);
        documentsAfter.erase("setup_error.log");
        if (documentsAfter != documentsBefore)
            fail("something changed in Documents besides setup_error.log");

        // The second stage, against what verify says of the damaged file.
        mksetup::InstallerWalk walk = mksetup::WalkInstaller(installer.data(), installer.size(), true);
        bool started = FileExists(work + "KVFiles1.tmp.report");
        bool namedRecordFailed = false;
        for (const auto& p : walk.problems)
            namedRecordFailed = namedRecordFailed || p.kind == mksetup::Problem::kInflateFailed ||
                                p.kind == mksetup::Problem::kStreamOutside || p.kind == mksetup::Problem::kEmpty ||
                                p.kind == mksetup::Problem::kInTrailer ||
                                (p.kind == mksetup::Problem::kOutside && p.index == 0);
        if (started && namedRecordFailed && !Has(walk, mksetup::Problem::kNoTrailer))
            fail("the second stage started although a record failed");
        if (walk.Ok() && (!started || !log.empty()))
            fail("an installer that verifies did not install cleanly");

        // How it ended, for the summary.
        std::string kind = failures > before ? "failure"
                           : stopped        ? "stopped with a report"
                           : !started       ? "nothing started"
                           : walk.Ok()      ? "installed: the damage missed what the unpacker reads"
                                            : "installed, verify objects: " + walk.problems[0].what.substr(0, 40);
        ++kinds[kind];
        if (failures == before)
            RemoveTree(scratch);
    }

    printf("\nMutation campaign: %u cases, seed %u\n", cases, EnvironmentNumber("CAMPAIGN_SEED", 20261206));
    for (const auto& k : kinds)
        printf("  %4d  %s\n", k.second, k.first.c_str());
    EXPECT_EQ(0, failures);
}

}  // namespace
