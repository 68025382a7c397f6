#include "run/CheckVerdict.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/Conv.h"
#include "base/ProgramInfo.h"
#include "codec/Sha256.h"
#include "config/UpdateConfig.h"
#include "install/InstallationRecords.h"

namespace UpdateNew {

namespace {

const char kVerdictHeader[] = "verdict 1";

// A field kept on one line: a value with a line break or a NUL keeps no verdict.
bool OneLine(const std::string& value) {
    return value.find('\n') == std::string::npos && value.find('\0') == std::string::npos;
}

// What stat says of `path` (following a link, as the run opens it), or "absent".
std::string StatText(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "absent";
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
           std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec) + " " + std::to_string(st.st_mode);
}

}  // namespace

std::string CheckVerdict::text() const {
    std::string text = std::string(kVerdictHeader) + "\nkey=" + key + "\nsha256=" + infoSha256 +
                       "\nproduct=" + WideToUtf8(product) + "\nversion=" + WideToUtf8(version) +
                       "\nfirst=" + WideToUtf8(firstInfo) + "\n";
    for (const std::wstring& name : infoNames) text += "info=" + WideToUtf8(name) + "\n";
    for (const std::string& name : environment) text += "env=" + name + "\n";
    text += "end\n";
    return text;
}

bool CheckVerdict::parse(const std::string& text) {
    *this = CheckVerdict();
    size_t at = 0;
    bool header = false;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!header) {
            if (line != kVerdictHeader) return false;
            header = true;
            continue;
        }
        if (line == "end") return at == text.size() && !key.empty() && !infoNames.empty();
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "key")
            key = value;
        else if (name == "sha256")
            infoSha256 = value;
        else if (name == "product")
            product = Utf8ToWide(value);
        else if (name == "version")
            version = Utf8ToWide(value);
        else if (name == "first")
            firstInfo = Utf8ToWide(value);
        else if (name == "info")
            infoNames.push_back(Utf8ToWide(value));
        else if (name == "env")
            environment.push_back(value);
        else
            return false;
    }
    return false;
}

std::string CheckKey(const UpdateConfig& config, const std::wstring& keptIndex,
                     const std::vector<std::string>& indexLines, const std::wstring& firstInfo,
                     const std::vector<std::wstring>& infoNames,
                     const std::vector<std::string>& environment,
                     const std::map<std::wstring, std::wstring>& hashes) {
    // Each part on its own line, named, so that no two different inputs give one text.
    std::string text = "check key 1\ncommand=" + WideToUtf8(GetCommandLineText()) + "\n";
    const std::wstring& configFile = config.configFileName();
    text += "config=" + (configFile.empty() ? std::string("-") : Sha256OfFile(configFile)) + "\n";
    for (const std::string& name : environment) {
        const char* value = std::getenv(name.c_str());
        if (!OneLine(name) || (value && !OneLine(value))) return std::string();
        text += "env=" + name + (value ? "=" + std::string(value) : std::string(" unset")) + "\n";
    }
    text += "exe=" + StatText("/proc/self/exe") + "\n";
    text += "installed=" + StatText(ToMultibyte(CInstallationRecords::InstalledPath(keptIndex))) +
            "\nconfigs=" + StatText(ToMultibyte(CInstallationRecords::ConfigPath(keptIndex))) +
            "\nfirst=" + WideToUtf8(firstInfo) + "\n";
    for (const std::string& line : indexLines) {
        if (!OneLine(line)) return std::string();
        text += "index=" + line + "\n";
    }
    if (indexLines.empty()) return std::string();  // no index read: nothing names the product
    for (const std::wstring& name : infoNames) {
        const auto hash = hashes.find(name);
        text += "info=" + WideToUtf8(name) + " " +
                (hash == hashes.end() ? std::string("-") : WideToUtf8(hash->second)) + "\n";
    }
    if (!OneLine(WideToUtf8(GetCommandLineText()))) return std::string();
    return Sha256OfData(text.data(), text.size());
}

}  // namespace UpdateNew
