#include "run/KeptState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "base/Conv.h"
#include "base/ProgramInfo.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/FileDigest.h"
#include "install/InstallationRecords.h"

namespace UpdateNew {

namespace {

const char kLastRunHeader[] = "# updater last run 1";

// A message kept on one line.
std::string OneLine(const std::wstring& text) {
    std::string line = WideToUtf8(text);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

}  // namespace

std::wstring KeptState::LastRunPath(const std::wstring& keptIndex) {
    return keptIndex + L".lastrun";
}

std::wstring KeptState::PendingPath(const std::wstring& keptIndex) {
    return keptIndex + L".pending";
}

std::vector<std::pair<std::wstring, std::wstring>> KeptState::ReadInstalled(
    const std::wstring& keptIndex) {
    CInstallationRecords records;
    records.load(keptIndex);
    std::vector<std::pair<std::wstring, std::wstring>> installed;
    const ModulePathList& list = records.installed();
    installed.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        installed.emplace_back(Utf8ToWide(std::string(list.module(i))),
                               Utf8ToWide(std::string(list.path(i))));
    return installed;
}

std::map<std::wstring, std::string> KeptState::ReadConfigDigests(const std::wstring& keptIndex) {
    CInstallationRecords records;
    records.load(keptIndex);
    return records.configDigests();
}

std::vector<std::wstring> KeptState::ChangedConfigFiles(const std::wstring& keptIndex) {
    std::vector<std::wstring> changed;
    for (const auto& entry : ReadConfigDigests(keptIndex))
        if (WideToUtf8(GetFileMD5(entry.first)) != entry.second) changed.push_back(entry.first);
    return changed;
}

bool KeptState::ReadLastRun(const std::wstring& keptIndex, LastRun& run) {
    run = LastRun();
    std::vector<std::string> lines;
    CInstallationRecords::ReadLines(LastRunPath(keptIndex), kLastRunHeader, lines);
    for (const std::string& line : lines) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "ended") run.ended = std::atoll(value.c_str());
        if (key == "outcome") run.outcome = Utf8ToWide(value);
        if (key == "status") run.exitStatus = std::atoi(value.c_str());
        if (key == "code") run.resultCode = std::atoi(value.c_str());
        if (key == "message") run.message = Utf8ToWide(value);
        run.present = true;
    }
    return run.present;
}

int KeptState::WriteLastRun(const std::wstring& keptIndex, const LastRun& run) {
    std::string text = std::string(kLastRunHeader) + "\n";
    text += "ended=" + std::to_string(run.ended) + "\n";
    text += "outcome=" + OneLine(run.outcome) + "\n";
    text += "status=" + std::to_string(run.exitStatus) + "\n";
    text += "code=" + std::to_string(run.resultCode) + "\n";
    text += "message=" + OneLine(run.message) + "\n";
    HideUrlPasswords(text);  // readable by all, as the log
    return ReplaceFile(ToMultibyte(LastRunPath(keptIndex)), text, 0644, nullptr, true);
}

}  // namespace UpdateNew
