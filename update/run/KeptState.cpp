#include "run/KeptState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "base/Conv.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/FileDigest.h"
#include "install/InstallationRecords.h"

namespace UpdateNew {

namespace {

const char kLastRunHeader[] = "# updater last run 1";
// Far more than any of these files holds for a real product; a bigger one is not read.
constexpr size_t kMaxListBytes = 256u * 1024 * 1024;

// The lines of the file after its first one, which must be `header`; none when the file
// is missing, unreadable, too big or of another kind. Never follows a link at its name.
std::vector<std::string> ReadLines(const std::wstring& path, const char* header) {
    std::vector<std::string> lines;
    UniqueFd fd(::open(ToMultibyte(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return lines;
    std::string bytes;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 || bytes.size() + static_cast<size_t>(n) > kMaxListBytes) return lines;
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    size_t start = 0;
    bool first = true;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != header) return lines;
            first = false;
            continue;
        }
        if (!line.empty()) lines.push_back(std::move(line));
    }
    return lines;
}

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
    return records.installed();
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
    for (const std::string& line : ReadLines(LastRunPath(keptIndex), kLastRunHeader)) {
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
    return ReplaceFile(ToMultibyte(LastRunPath(keptIndex)), text, 0644, nullptr, true);
}

}  // namespace UpdateNew
