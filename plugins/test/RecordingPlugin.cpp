// Recording test plug-in (librecording.so): implements both tables, the function-replacing
// one (InitializeLibA) and the GUI one (InitializeGuiLibA), so the same file can be given
// as `updatelib` and as `guilib`. Tests use it to see every event of a run, in order, and
// to make the plug-in take steps over, change values, answer wrongly or throw.
//
// Environment variables (read at every call, so a test may change them between calls):
//
//   UPD_REC_FILE      File to append one line per call to (UTF-8, created when missing;
//                     no recording when unset). Both tables and every process that loads
//                     the plug-in append to it, so it shows the global order of events.
//                     Line format:  TABLE name(arg, arg, ...)   with TABLE "LIB" or "GUI".
//                     Texts are in double quotes with \" \\ \n \t escaped; bools true/false;
//                     numbers in decimal; lists [a, b]; pairs (a, b); the configuration
//                     map {"key": "value", ...}; table pointers table or NULL; a file
//                     record {name="..", filesize=N, pefilemd5="..", zipsize=N,
//                     zipmd5="..", filemd5="..", version="..", os="..", needsupdate=B}.
//                     The entry points are recorded too: "LIB InitializeLibA()",
//                     "LIB UninitializeLibA()", "GUI InitializeGuiLibA()",
//                     "GUI UninitializeGuiLibA()". The first callbacks are "onLoad()".
//
//   UPD_REC_ANSWERS   Answers, comma-separated "slot=N" entries, e.g.
//                     "beforePost=0,onDownloadFile=7". A slot name alone applies to both
//                     tables; "lib.slot" or "gui.slot" to one; "lib.*", "gui.*" and "*"
//                     set the answer of every other slot. Unlisted slots give the default
//                     answer of the table (library -1, GUI 0, onLoad 0).
//                     "onLoad=-1" or "gui.onLoad=1" make the plug-in refuse to start.
//
//   UPD_REC_THROW     Slots that throw after recording, comma-separated, same names as
//                     above: "downloadFile" (or "downloadFile=plugin") throws
//                     CPluginException("recording plug-in: <slot> failed");
//                     "downloadFile=std" throws std::runtime_error with the same text,
//                     "downloadFile=empty" CPluginException without a text.
//
//   UPD_REC_SET_<slot>  Values the plug-in hands back through reference arguments:
//       changeLogFileName, changeTempDir, changeMasterIdxUrl, changeProductFileUrl: the
//           new text;
//       changeProductLocationUrl: "productinfo|root";
//       getSpecialDownloadFilesFirst, getSpecialDownloadFilesSecond, checkCreateDirectory:
//           entries separated by "|" appended to the list;
//       modifyConfiguration, setTidy: "name=value|name=value" pairs appended to the list;
//       onSpecialDownloadFileError: "1" or "true" sets the ignore flag.
//
//   UPD_REC_KILL      "slot" or "slot#N" (same names as above: "slot", "lib.slot",
//                     "gui.slot"): after recording the N-th call of that slot in this process
//                     (default the first) the plug-in sends SIGKILL to its own process, so a
//                     test can stop a run dead at an exact step. Calls are counted per
//                     process; a process started by the run counts from zero again.
//
//   UPD_REC_SHELL_<slot>  A shell command ("/bin/sh -c", through system()) run after
//                     recording each call of that slot and before answering (and before a
//                     kill at that call), e.g. to change the server's files at an exact
//                     moment of a run. "<slot>" is the bare
//                     slot name (either table) or "lib_slot" / "gui_slot" for one table
//                     (a dot cannot be part of an environment variable's name in a shell).
//
//   UPD_REC_FETCH     "<url prefix>|<directory>": of the downloadFile calls whose source
//                     begins with the prefix, every second one (the 2nd, 4th, ...) is
//                     done by the plug-in: it copies <directory>/<rest of the source> to
//                     the destination and answers 0. Other calls answer as configured.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "update/UpdateGuiCallbacks.h"
#include "update/UpdateLibCallbacks.h"

namespace {

// ---- text helpers ---------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        unsigned long c = static_cast<unsigned long>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Environment values are taken as UTF-8 (tests write them so); bad bytes give U+FFFD.
std::wstring Wide(const std::string& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t extra = c < 0x80         ? 0
                             : (c >> 5) == 6  ? 1
                             : (c >> 4) == 14 ? 2
                             : (c >> 3) == 30 ? 3
                                              : 99;
        if (extra == 99 || i + extra >= text.size() + (extra == 0 ? 1 : 0)) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        unsigned long value = extra == 0 ? c : (c & (0x3F >> extra));
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) ok = false;
            value = (value << 6) | (cc & 0x3F);
        }
        out += ok ? static_cast<wchar_t>(value) : L'\uFFFD';
        i += ok ? extra + 1 : 1;
    }
    return out;
}

std::string Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Utf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// ---- argument formatting --------------------------------------------------------------

std::string Fmt(const std::wstring& v) {
    return Quote(v);
}
std::string Fmt(const wchar_t* v) {
    return v ? Quote(v) : "NULL";
}
std::string Fmt(bool v) {
    return v ? "true" : "false";
}
std::string Fmt(int v) {
    return std::to_string(v);
}
std::string Fmt(unsigned long v) {
    return std::to_string(v);
}
std::string Fmt(EUpdateErrors v) {
    return std::to_string(static_cast<int>(v));
}
std::string Fmt(ERollbackSteps v) {
    return std::to_string(static_cast<int>(v));
}
std::string Fmt(const CUpdateGuiCallbacks* v) {
    return v ? "table" : "NULL";
}
std::string Fmt(const CUpdateLibCallbacks* v) {
    return v ? "table" : "NULL";
}
std::string Fmt(const UpdStringList& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Quote(v[i]);
    return out + "]";
}
std::string Fmt(const UpdStringPairList& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i)
        out += (i ? ", (" : "(") + Quote(v[i].first) + ", " + Quote(v[i].second) + ")";
    return out + "]";
}
std::string Fmt(const ConfigFileData& v) {
    std::string out = "{";
    bool first = true;
    for (const auto& kv : v) {
        out += (first ? "" : ", ") + Quote(kv.first) + ": " + Quote(kv.second);
        first = false;
    }
    return out + "}";
}
std::string Fmt(const UpdateFileInfo& f) {
    return "{name=" + Quote(f.name) + ", filesize=" + std::to_string(f.filesize) +
           ", pefilemd5=" + Quote(f.pefilemd5) + ", zipsize=" + std::to_string(f.zipsize) +
           ", zipmd5=" + Quote(f.zipmd5) + ", filemd5=" + Quote(f.filemd5) +
           ", version=" + Quote(f.version) + ", os=" + Quote(f.os) +
           ", needsupdate=" + Fmt(f.needsupdate) + "}";
}

std::string Join() {
    return "";
}
template <class T>
std::string Join(const T& only) {
    return Fmt(only);
}
template <class T, class U, class... R>
std::string Join(const T& first, const U& second, const R&... rest) {
    return Fmt(first) + ", " + Join(second, rest...);
}

// ---- recording, answers, throws -------------------------------------------------------

void AppendLine(const std::string& line) {
    const std::string path = Env("UPD_REC_FILE");
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

// Looks `key` up in a comma-separated "key[=value]" list; true when present.
bool LookUp(const std::string& list, const std::string& key, std::string& value) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        const size_t eq = entry.find('=');
        const std::string name = entry.substr(0, eq);
        if (name == key) {
            value = eq == std::string::npos ? "" : entry.substr(eq + 1);
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The first of the names "table.slot", "slot", "table.*", "*" that the list has.
bool LookUpSlot(const std::string& list, const char* table, const char* slot, std::string& value) {
    const std::string t = table;
    return LookUp(list, t + "." + slot, value) || LookUp(list, slot, value) ||
           LookUp(list, t + ".*", value) || LookUp(list, "*", value);
}

int Answer(const char* table, const char* slot, int defaultAnswer) {
    std::string value;
    if (!LookUpSlot(Env("UPD_REC_ANSWERS"), table, slot, value) || value.empty())
        return defaultAnswer;
    return static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
}

void MaybeThrow(const char* table, const char* slot) {
    std::string kind;
    const std::string list = Env("UPD_REC_THROW");
    const std::string t = table;
    if (!LookUp(list, t + "." + slot, kind) && !LookUp(list, slot, kind)) return;
    const std::string text = std::string("recording plug-in: ") + slot + " failed";
    if (kind == "std") throw std::runtime_error(text);
    throw CPluginException(kind == "empty" ? std::wstring() : Wide(text));
}

// Calls of each slot so far in this process, keyed "table.slot" (a plug-in is used by one
// thread: the updater has no other).
std::map<std::string, unsigned long>& CallCounts() {
    static std::map<std::string, unsigned long> counts;
    return counts;
}

// UPD_REC_KILL: "slot", "lib.slot" or "gui.slot", optionally followed by "#N".
void MaybeKill(const char* table, const char* slot, unsigned long count) {
    const std::string target = Env("UPD_REC_KILL");
    if (target.empty()) return;
    const size_t hash = target.find('#');
    const std::string name = target.substr(0, hash);
    unsigned long wanted = 1;
    if (hash != std::string::npos) wanted = std::strtoul(target.c_str() + hash + 1, nullptr, 10);
    if (name != slot && name != std::string(table) + "." + slot) return;
    if (count == wanted) ::raise(SIGKILL);
}

// UPD_REC_SHELL_<table>_<slot> or UPD_REC_SHELL_<slot>: run through the shell.
void MaybeShell(const char* table, const char* slot) {
    const char* command = std::getenv((std::string("UPD_REC_SHELL_") + table + "_" + slot).c_str());
    if (!command) command = std::getenv((std::string("UPD_REC_SHELL_") + slot).c_str());
    if (!command || !*command) return;
    (void)!std::system(command);
}

template <class... A>
int Call(const char* table, const char* slot, int defaultAnswer, const A&... args) {
    AppendLine(std::string(table == std::string("lib") ? "LIB " : "GUI ") + slot + "(" +
               Join(args...) + ")");
    const unsigned long count = ++CallCounts()[std::string(table) + "." + slot];
    MaybeShell(table, slot);
    MaybeKill(table, slot, count);
    MaybeThrow(table, slot);
    return Answer(table, slot, defaultAnswer);
}

bool SetValue(const char* slot, std::string& value) {
    const char* text = std::getenv((std::string("UPD_REC_SET_") + slot).c_str());
    if (!text) return false;
    value = text;
    return true;
}

UpdStringList SplitBar(const std::string& text) {
    UpdStringList out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('|', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(Wide(text.substr(start, end - start)));
        start = end + 1;
    }
    return out;
}

void ChangeText(const char* slot, std::wstring& target) {
    std::string value;
    if (SetValue(slot, value)) target = Wide(value);
}

void AppendList(const char* slot, UpdStringList& target) {
    std::string value;
    if (!SetValue(slot, value)) return;
    for (const std::wstring& entry : SplitBar(value)) target.push_back(entry);
}

void AppendPairs(const char* slot, UpdStringPairList& target) {
    std::string value;
    if (!SetValue(slot, value)) return;
    for (const std::wstring& entry : SplitBar(value)) {
        const size_t eq = entry.find(L'=');
        if (eq == std::wstring::npos) continue;
        target.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
}

// UPD_REC_FETCH: copies every second matching source from the directory itself.
bool FetchItself(const std::wstring& source, const std::wstring& destination) {
    const std::string setting = Env("UPD_REC_FETCH");
    const size_t bar = setting.find('|');
    const std::string url = Utf8(source);
    if (bar == std::string::npos || url.compare(0, bar, setting, 0, bar) != 0) return false;
    static unsigned long matching = 0;
    if (++matching % 2 != 0) return false;
    const std::string from = setting.substr(bar + 1) + "/" + url.substr(bar);
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out =
        ::open(Utf8(destination).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char buffer[65536];
    ssize_t n = 0;
    while (in >= 0 && out >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0)
        (void)!::write(out, buffer, static_cast<size_t>(n));
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return true;
}

// ---- the two tables -------------------------------------------------------------------

#define LIB(slot, ...) Call("lib", slot, -1, ##__VA_ARGS__)
#define GUI(slot, ...) Call("gui", slot, 0, ##__VA_ARGS__)

class RecordingLib : public CUpdateLibCallbacks {
public:
    int onLoad() override { return Call("lib", "onLoad", 0); }
    int notifyIsSelfUpdate() override { return LIB("notifyIsSelfUpdate"); }
    int notifySelfUpdateExecuted() override { return LIB("notifySelfUpdateExecuted"); }
    int reserved() override { return Call("lib", "reserved", 0); }
    int notifyGuiPlugin(CUpdateGuiCallbacks* p) override { return LIB("notifyGuiPlugin", p); }
    int notifyVersionInfo(const std::wstring& v) override { return LIB("notifyVersionInfo", v); }
    int changeLogFileName(std::wstring& v) override {
        const int answer = LIB("changeLogFileName", v);
        ChangeText("changeLogFileName", v);
        return answer;
    }
    int changeTempDir(std::wstring& v) override {
        const int answer = LIB("changeTempDir", v);
        ChangeText("changeTempDir", v);
        return answer;
    }
    int notifyConfigFile(const std::wstring& n, const ConfigFileData& d) override {
        return LIB("notifyConfigFile", n, d);
    }
    int modifyConfiguration(UpdStringPairList& l) override {
        const int answer = LIB("modifyConfiguration", l);
        AppendPairs("modifyConfiguration", l);
        return answer;
    }
    int notifyUpdateStart(const std::wstring& i, const std::wstring& b,
                          const std::wstring& t) override {
        return LIB("notifyUpdateStart", i, b, t);
    }
    int notifyUpdateCriticalError(EUpdateErrors e) override {
        return LIB("notifyUpdateCriticalError", e);
    }
    int notifyUpdateNonCriticalError(EUpdateErrors e) override {
        return LIB("notifyUpdateNonCriticalError", e);
    }
    int beforeDownloadFiles(bool bp, const std::wstring& p, int port, bool bu,
                            const std::wstring& u, const std::wstring& pw) override {
        return LIB("beforeDownloadFiles", bp, p, port, bu, u, pw);
    }
    int changeMasterIdxUrl(std::wstring& v) override {
        const int answer = LIB("changeMasterIdxUrl", v);
        ChangeText("changeMasterIdxUrl", v);
        return answer;
    }
    int notifyMasterIdxContent(const UpdStringList& l) override {
        return LIB("notifyMasterIdxContent", l);
    }
    int connectServer(const std::wstring& s, const std::wstring& u,
                      const std::wstring& p) override {
        return LIB("connectServer", s, u, p);
    }
    int changeProductFileUrl(std::wstring& v) override {
        const int answer = LIB("changeProductFileUrl", v);
        ChangeText("changeProductFileUrl", v);
        return answer;
    }
    int changeProductLocationUrl(std::wstring& info, std::wstring& root) override {
        const int answer = LIB("changeProductLocationUrl", info, root);
        std::string value;
        if (SetValue("changeProductLocationUrl", value)) {
            const UpdStringList parts = SplitBar(value);
            info = parts[0];
            if (parts.size() > 1) root = parts[1];
        }
        return answer;
    }
    int downloadNothingChanged() override { return LIB("downloadNothingChanged"); }
    int downloadFile(const std::wstring& s, const std::wstring& d) override {
        const int answer = LIB("downloadFile", s, d);
        return FetchItself(s, d) ? 0 : answer;
    }
    int disconnectServer(const std::wstring& s) override { return LIB("disconnectServer", s); }
    int getSpecialDownloadFilesFirst(UpdStringList& l) override {
        const int answer = LIB("getSpecialDownloadFilesFirst", l);
        AppendList("getSpecialDownloadFilesFirst", l);
        return answer;
    }
    int onSpecialDownloadFileFirst(const std::wstring& f) override {
        return LIB("onSpecialDownloadFileFirst", f);
    }
    int onSpecialDownloadFilesFirstDone() override {
        return LIB("onSpecialDownloadFilesFirstDone");
    }
    int notifyProductInfoFileContent(const std::wstring& m, const std::wstring& f,
                                     const FileXmlData& x) override {
        return LIB("notifyProductInfoFileContent", m, f, x);
    }
    int notifyProductInfoFile(const std::wstring& f) override {
        return LIB("notifyProductInfoFile", f);
    }
    int getSpecialDownloadFilesSecond(UpdStringList& l) override {
        const int answer = LIB("getSpecialDownloadFilesSecond", l);
        AppendList("getSpecialDownloadFilesSecond", l);
        return answer;
    }
    int onSpecialDownloadFileSecond(const std::wstring& f) override {
        return LIB("onSpecialDownloadFileSecond", f);
    }
    int onSpecialDownloadFilesSecondDone() override {
        return LIB("onSpecialDownloadFilesSecondDone");
    }
    int onSpecialDownloadFileError(const std::wstring& e, bool& ignore) override {
        const int answer = LIB("onSpecialDownloadFileError", e, ignore);
        std::string value;
        if (SetValue("onSpecialDownloadFileError", value)) ignore = value == "1" || value == "true";
        return answer;
    }
    int afterDownloadFiles() override { return LIB("afterDownloadFiles"); }
    int setTidy(UpdStringPairList& l) override {
        const int answer = LIB("setTidy", l);
        AppendPairs("setTidy", l);
        return answer;
    }
    int notifyModuleFileList(const std::wstring& m, bool n, const UpdStringList& all,
                             const UpdStringList& dirty, const std::wstring& d) override {
        return LIB("notifyModuleFileList", m, n, all, dirty, d);
    }
    int notifyModuleFileListDone() override { return LIB("notifyModuleFileListDone"); }
    int globalPre() override { return LIB("globalPre"); }
    int globalAfterSelfupdatePre() override { return LIB("globalAfterSelfupdatePre"); }
    int overrideInstall() override { return LIB("overrideInstall"); }
    int overrideBackupModule(const std::wstring& m) override {
        return LIB("overrideBackupModule", m);
    }
    int overrideInstallModule(const std::wstring& m) override {
        return LIB("overrideInstallModule", m);
    }
    int overridePre(const std::wstring& m) override { return LIB("overridePre", m); }
    int overridePost(const std::wstring& m) override { return LIB("overridePost", m); }
    int overrideUnPost(const std::wstring& m) override { return LIB("overrideUnPost", m); }
    int copyFile(const std::wstring& s, const std::wstring& d) override {
        return LIB("copyFile", s, d);
    }
    int copyFileNeedRestart(const std::wstring& d) override {
        return LIB("copyFileNeedRestart", d);
    }
    int checkCreateDirectory(const std::wstring& p, UpdStringList& created) override {
        const int answer = LIB("checkCreateDirectory", p, created);
        AppendList("checkCreateDirectory", created);
        return answer;
    }
    int DeleteFile(const wchar_t* p) override { return LIB("DeleteFile", p); }
    int DeleteDir(const wchar_t* p) override { return LIB("DeleteDir", p); }
    int beforeRollback() override { return LIB("beforeRollback"); }
    int overrideRollback(ERollbackSteps s, const std::wstring& m, const UpdStringList& f) override {
        return LIB("overrideRollback", s, m, f);
    }
    int afterRollback() override { return LIB("afterRollback"); }
    int NotifySelfUpdateRollback() override { return LIB("NotifySelfUpdateRollback"); }
    int globalPost() override { return LIB("globalPost"); }
};

class RecordingGui : public CUpdateGuiCallbacks {
public:
    int onLoad() override { return GUI("onLoad"); }
    int reserved() override { return GUI("reserved"); }
    int notifyLibPlugin(CUpdateLibCallbacks* p) override { return GUI("notifyLibPlugin", p); }
    int notifyVersionInfo(const std::wstring& v) override { return GUI("notifyVersionInfo", v); }
    int onUpdateCriticalError(const std::wstring& t, EUpdateErrors e) override {
        return GUI("onUpdateCriticalError", t, e);
    }
    int onUpdateNonCriticalError(const std::wstring& t, EUpdateErrors e) override {
        return GUI("onUpdateNonCriticalError", t, e);
    }
    int beforeRestoreModuleStartup(const std::wstring& m) override {
        return GUI("beforeRestoreModuleStartup", m);
    }
    int onModuleRestoreFile(const std::wstring& m, const std::wstring& s,
                            const std::wstring& d) override {
        return GUI("onModuleRestoreFile", m, s, d);
    }
    int afterRestoreModuleCompletion(const std::wstring& m) override {
        return GUI("afterRestoreModuleCompletion", m);
    }
    int onUpdateStart() override { return GUI("onUpdateStart"); }
    int onSelfUpdateStart() override { return GUI("onSelfUpdateStart"); }
    int notifyLogFile(const std::wstring& f) override { return GUI("notifyLogFile", f); }
    int notifyConfigFile(const std::wstring& n, const ConfigFileData& d) override {
        return GUI("notifyConfigFile", n, d);
    }
    int onCheckMainIdx(bool b) override { return GUI("onCheckMainIdx", b); }
    int onCheckFile(const UpdateFileInfo& f) override { return GUI("onCheckFile", f); }
    int onCheckFileIsDirty(const UpdateFileInfo& f) override {
        return GUI("onCheckFileIsDirty", f);
    }
    int onCheckFilesDone(unsigned long n) override { return GUI("onCheckFilesDone", n); }
    int onStartDownloadFiles(const std::wstring& s, unsigned long n) override {
        return GUI("onStartDownloadFiles", s, n);
    }
    int onDownloadFile(const std::wstring& s, const std::wstring& d, unsigned long n) override {
        return GUI("onDownloadFile", s, d, n);
    }
    int onFinishDownloadFiles(const std::wstring& s) override {
        return GUI("onFinishDownloadFiles", s);
    }
    int notifyModuleFileList(const std::wstring& m, bool n, const UpdStringList& all,
                             const UpdStringList& dirty, const std::wstring& d) override {
        return GUI("notifyModuleFileList", m, n, all, dirty, d);
    }
    int notifyModuleFileListDone() override { return GUI("notifyModuleFileListDone"); }
    int BeforeUpdateModule(const std::wstring& m) override { return GUI("BeforeUpdateModule", m); }
    int beforeBackup(const std::wstring& m) override { return GUI("beforeBackup", m); }
    int onBackupFile(const std::wstring& m, const std::wstring& s, const std::wstring& d) override {
        return GUI("onBackupFile", m, s, d);
    }
    int afterBackup(const std::wstring& m) override { return GUI("afterBackup", m); }
    int beforePre(const std::wstring& m, const std::wstring& c) override {
        return GUI("beforePre", m, c);
    }
    int afterPre(const std::wstring& m, const std::wstring& c) override {
        return GUI("afterPre", m, c);
    }
    int beforeInstallModule(const std::wstring& m) override {
        return GUI("beforeInstallModule", m);
    }
    int onInstallFile(const std::wstring& s, const std::wstring& d) override {
        return GUI("onInstallFile", s, d);
    }
    int afterInstallModule(const std::wstring& m) override { return GUI("afterInstallModule", m); }
    int beforePost(const std::wstring& m, const std::wstring& c) override {
        return GUI("beforePost", m, c);
    }
    int afterPost(const std::wstring& m, const std::wstring& c) override {
        return GUI("afterPost", m, c);
    }
    int beforeUnpost(const std::wstring& m, const std::wstring& c) override {
        return GUI("beforeUnpost", m, c);
    }
    int afterUnpost(const std::wstring& m, const std::wstring& c) override {
        return GUI("afterUnpost", m, c);
    }
    int AfterUpdateModule(const std::wstring& m) override { return GUI("AfterUpdateModule", m); }
    int onUpdateFinish() override { return GUI("onUpdateFinish"); }
    int onSelfUpdateFinish() override { return GUI("onSelfUpdateFinish"); }
};

}  // namespace

extern "C" {

CUpdateLibCallbacks* InitializeLibA() {
    AppendLine("LIB InitializeLibA()");
    return new RecordingLib;
}

void UninitializeLibA(CUpdateLibCallbacks* pcCallbacks) {
    AppendLine("LIB UninitializeLibA()");
    delete pcCallbacks;
}

CUpdateGuiCallbacks* InitializeGuiLibA() {
    AppendLine("GUI InitializeGuiLibA()");
    return new RecordingGui;
}

void UninitializeGuiLibA(CUpdateGuiCallbacks* pcCallbacks) {
    AppendLine("GUI UninitializeGuiLibA()");
    delete pcCallbacks;
}

}  // extern "C"
