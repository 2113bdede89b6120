#include "tests/support/installer_under_test.h"

#include "tests/support/test_files.h"

mksetup::Bytes ToBytes(const std::string& s)
{
    return mksetup::Bytes(s.begin(), s.end());
}

std::vector<mksetup::InputFile> TestPayloadFiles(const std::vector<mksetup::Bytes>& data)
{
    std::vector<mksetup::InputFile> files;
    mksetup::InputFile stage;
    stage.path = stage.name = "setup2.exe";
    stage.data = ToBytes(ReadWholeFile(ThisProgramsFolder() + "second_stage_probe.exe"));
    stage.times = {128900000001111111ull, 128900000002222222ull, 128900000003333333ull};
    files.push_back(stage);
    for (size_t i = 0; i < data.size(); ++i) {
        mksetup::InputFile f;
        f.path = f.name = "data" + std::to_string(i + 2) + ".bin";
        f.data = data[i];
        f.times = {129000000000000000ull + i, 129100000000000000ull + i, 129200000000000000ull + i};
        files.push_back(f);
    }
    return files;
}

mksetup::Bytes BuildTestInstaller(const std::vector<mksetup::InputFile>& files)
{
    mksetup::InputFile manifest = mksetup::GeneratedManifest(files, 128800000000000000ull);
    mksetup::Bytes installer;
    std::string error;
    if (!mksetup::BuildInstaller(ToBytes(ReadWholeFile(ThisProgramsFolder() + "unpacker-stub.exe")), manifest, files,
                                 mksetup::BuildOptions(), &installer, &error))
        installer.clear();
    return installer;
}

bool StartInstaller(ChildProcess& child, const std::string& exe, const std::string& temp, bool answerBoxes)
{
    if (!child.Start(exe, "\"" + exe + "\"", {{"TMP", temp}, {"TEMP", temp}}, answerBoxes))
        return false;
    child.Resume();
    return true;
}

std::map<std::string, std::string> ReportFields(const std::string& text)
{
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return fields;
}

std::map<std::string, size_t> FolderTree(const std::string& folder)
{
    std::map<std::string, size_t> tree;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return tree;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[name + "\\"] = 0;
            for (const auto& inner : FolderTree(folder + name + "\\"))
                tree[name + "\\" + inner.first] = inner.second;
        } else {
            tree[name] = found.nFileSizeLow;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return tree;
}
