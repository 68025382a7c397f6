#include "run/RunReport.h"

#include <algorithm>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/OutputFile.h"
#include "base/ProgramInfo.h"
#include "base/SafeFile.h"
#include "run/JsonText.h"

namespace UpdateNew {

namespace {

// A label value of the text format: backslash, double quote and line end escaped.
std::string LabelValue(const std::wstring& text) {
    std::string out;
    for (const char c : WideToUtf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// One metric family: its HELP and TYPE lines (every metric here is a gauge: each run
// writes its own values), then its samples ("{labels} value" after the name).
void Family(std::string& out, const char* name, const char* help,
            const std::vector<std::string>& samples) {
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " gauge\n";
    for (const std::string& sample : samples) out += name + sample + "\n";
}

std::string Value(unsigned long long number) {
    return " " + std::to_string(number);
}

std::string Value(long long number) {
    return " " + std::to_string(number);
}

}  // namespace

std::wstring RunReport::Outcome(int resultCode, bool checkOnly, bool beganFetching) {
    if (resultCode == 0) return L"success";
    if (checkOnly && resultCode == 1) return L"changes";
    return beganFetching ? L"failed" : L"refused";
}

void RunReport::serverTried(const std::wstring& server) {
    if (!server.empty() && std::find(servers.begin(), servers.end(), server) == servers.end())
        servers.push_back(server);
}

std::string RunReport::json() const {
    const auto time = [](long long seconds) {
        const std::string text = UtcTimeText(seconds);
        return text.empty() ? std::string("null") : "\"" + text + "\"";
    };
    std::string out = "{\n";
    out += "  \"schema\": " + std::to_string(kSchema) + ",\n";
    out += "  \"start_time\": " + time(started) + ",\n";
    out += "  \"end_time\": " + time(ended) + ",\n";
    out += "  \"duration_seconds\": " + std::to_string(ended - started) + ",\n";
    out += "  \"exit_status\": " + std::to_string(exitStatus) + ",\n";
    out += "  \"result_code\": " + std::to_string(resultCode) + ",\n";
    out += "  \"result_message\": " + JsonString(message) + ",\n";
    out += "  \"outcome\": " + JsonString(outcome) + ",\n";
    out += std::string("  \"check_only\": ") + (checkOnly ? "true" : "false") + ",\n";
    out += "  \"product\": " + JsonString(product) + ",\n";
    out += "  \"version_before\": " + JsonString(versionBefore) + ",\n";
    out += "  \"version_after\": " + JsonString(versionAfter) + ",\n";
    out += "  \"serial\": " + (signedIndex ? std::to_string(serial) : std::string("null")) + ",\n";
    out += "  \"files_updated\": " + JsonStrings(updated) + ",\n";
    out += "  \"files_added\": " + JsonStrings(added) + ",\n";
    out += "  \"files_removed\": " + JsonStrings(removed) + ",\n";
    out += "  \"files_kept\": " + JsonStrings(kept) + ",\n";
    out += "  \"bytes_whole\": " + std::to_string(wholeBytes) + ",\n";
    out += "  \"bytes_patches\": " + std::to_string(patchBytes) + ",\n";
    out += "  \"servers_tried\": " + JsonStrings(servers) + "\n";
    return out + "}\n";
}

std::string RunReport::metrics() const {
    std::string out;
    Family(out, "updater_run_start_timestamp_seconds", "When the last run started.",
           {Value(started)});
    Family(out, "updater_run_end_timestamp_seconds", "When the last run ended.", {Value(ended)});
    Family(out, "updater_run_exit_status", "Exit status of the last run.",
           {Value(static_cast<long long>(exitStatus))});
    Family(out, "updater_run_result_code", "Result code of the last run (0: success).",
           {Value(static_cast<long long>(resultCode))});
    Family(out, "updater_run_success", "1 when the last run ended well, 0 otherwise.",
           {Value(static_cast<long long>(resultCode == 0 ? 1 : 0))});
    Family(out, "updater_run_info", "The last run's outcome and the product's versions.",
           {"{outcome=\"" + LabelValue(outcome) + "\",product=\"" + LabelValue(product) +
            "\",version_before=\"" + LabelValue(versionBefore) + "\",version_after=\"" +
            LabelValue(versionAfter) + "\"} 1"});
    if (signedIndex)
        Family(out, "updater_index_serial", "Serial of the trusted master index.", {Value(serial)});
    Family(out, "updater_run_files", "Files the last run changed, by kind of change.",
           {"{change=\"updated\"}" + Value(static_cast<unsigned long long>(updated.size())),
            "{change=\"added\"}" + Value(static_cast<unsigned long long>(added.size())),
            "{change=\"removed\"}" + Value(static_cast<unsigned long long>(removed.size())),
            "{change=\"kept\"}" + Value(static_cast<unsigned long long>(kept.size()))});
    Family(out, "updater_run_fetched_bytes", "Bytes the last run fetched, by kind of transfer.",
           {"{kind=\"whole\"}" + Value(wholeBytes), "{kind=\"patch\"}" + Value(patchBytes)});
    Family(out, "updater_run_servers_tried", "Servers the last run tried.",
           {Value(static_cast<unsigned long long>(servers.size()))});
    return out;
}

void RunReport::write(const std::wstring& reportFile, const std::wstring& metricsFile) const {
    const std::pair<const std::wstring*, std::string> files[] = {
        {&reportFile, reportFile.empty() ? std::string() : json()},
        {&metricsFile, metricsFile.empty() ? std::string() : metrics()}};
    for (const auto& file : files) {
        if (file.first->empty()) continue;
        std::string text = file.second;
        HideUrlPasswords(text);  // readable by all, as the log
        const int error = WriteOutputFile(ToMultibyte(*file.first), text, 0644);
        if (error != 0) LogWarning(L"%s\n", Msg<1150>(*file.first, SystemErrorText(error)).c_str());
    }
}

}  // namespace UpdateNew
