#include "ProgressPlugin.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <new>

#include "ProgressFormat.h"

namespace {

// Runs one callback's work; whatever goes wrong inside stays inside. Observing must
// never change the outcome of a run.
template <class Work>
int Quietly(Work&& work) noexcept {
    try {
        work();
    } catch (...) {
    }
    return 0;
}

// The last path component: enough to tell which file is meant on a short status line.
std::wstring BaseName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Error texts of the updater end in a line feed; a status line must not.
std::wstring OneLine(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\n' || c == L'\r' || c == L'\t') c = L' ';
    }
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring Number(unsigned long n) {
    return std::to_wstring(n);
}

std::wstring Files(unsigned long n) {
    return Number(n) + (n == 1 ? L" file" : L" files");
}

const std::chrono::milliseconds kRedrawInterval(100);

}  // namespace

CProgressGuiCallbacks::CProgressGuiCallbacks(int fd) : m_out(fd) {
    m_bar = m_out.isTerminal();
    if (const char* mode = std::getenv("UPDATER_PROGRESS")) {
        if (std::strcmp(mode, "plain") == 0) m_bar = false;
        if (std::strcmp(mode, "bar") == 0) m_bar = true;
    }
}

CProgressGuiCallbacks::~CProgressGuiCallbacks() {
    Quietly([&] { clearStatus(); });
}

double CProgressGuiCallbacks::secondsSince(Clock::time_point start) const {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void CProgressGuiCallbacks::clearStatus() {
    if (!m_statusShown) return;
    m_out.write("\r\033[K");
    m_statusShown = false;
}

void CProgressGuiCallbacks::line(const std::wstring& text, Tone tone) {
    clearStatus();
    std::string bytes;
    const bool colour = m_bar && m_out.colours() && tone != Tone::Plain;
    if (colour) {
        bytes += tone == Tone::Good ? "\033[32m" : tone == Tone::Bad ? "\033[31m" : "\033[1;31m";
    }
    bytes += ToLocale(text);
    if (colour) bytes += "\033[0m";
    bytes += "\n";
    m_out.write(bytes);
}

void CProgressGuiCallbacks::commandLine(const std::wstring& text, const std::wstring& command,
                                        Tone tone) {
    if (!commandRuns(command)) {
        status(true);
        return;
    }
    // The command writes to the same terminal: no status line stands where its output
    // begins.
    line(text + command, tone);
}

void CProgressGuiCallbacks::status(bool force) {
    if (!m_bar) return;
    const Clock::time_point now = Clock::now();
    if (!force && m_statusShown && now - m_lastDraw < kRedrawInterval) return;
    const std::wstring text = statusText(m_out.columns() - 1);
    if (text.empty()) {
        clearStatus();
        return;
    }
    std::string bytes = "\r";
    if (m_phase == Phase::Rollback && m_out.colours()) {
        bytes += "\033[1;31m" + ToLocale(text) + "\033[0m";
    } else {
        bytes += ToLocale(text);
    }
    bytes += "\033[K";
    m_out.write(bytes);
    m_statusShown = true;
    m_lastDraw = now;
}

std::wstring CProgressGuiCallbacks::statusText(int columns) const {
    std::wstring text;
    switch (m_phase) {
        case Phase::Idle:
            if (m_fetching.empty()) return std::wstring();
            text = L"Fetching " + m_fetching;
            break;
        case Phase::Checking: {
            text = L"Checking files: " + Number(m_checked) + L" checked, " + Number(m_changed) +
                   L" changed";
            const int room = columns - DisplayWidth(text) - 2;
            if (room > 8 && !m_checking.empty()) text += L"  " + FitColumns(m_checking, room, true);
            break;
        }
        case Phase::Downloading: {
            const std::wstring head = L"Downloading ";
            std::wstring tail = L" " + std::to_wstring(Percent(m_bytesDone, m_bytesTotal)) +
                                L"%  " + Number(m_filesStarted) + L"/" + Files(m_filesTotal) +
                                L"  " + FormatBytes(m_bytesDone) + L" of " +
                                FormatBytes(m_bytesTotal) + L"  " +
                                FormatRate(m_bytesDone, secondsSince(m_downloadStart));
            int barWidth = columns - DisplayWidth(head) - DisplayWidth(tail);
            if (barWidth > 42) barWidth = 42;
            text = head + (barWidth >= 7 ? FormatBar(m_bytesDone, m_bytesTotal, barWidth) : L"") +
                   tail;
            break;
        }
        case Phase::Modules:
        case Phase::Rollback: {
            if (m_module.empty()) return std::wstring();
            text = (m_phase == Phase::Rollback ? L"ROLLBACK module " : L"Module ") + m_module +
                   L": " + m_step;
            if (m_stepTotal > 0) {
                const std::wstring count = L" " + Number(m_stepDone) + L"/" + Files(m_stepTotal);
                int barWidth = columns - DisplayWidth(text) - DisplayWidth(count) - 1;
                if (barWidth > 32) barWidth = 32;
                if (barWidth >= 7) text += L" " + FormatBar(m_stepDone, m_stepTotal, barWidth);
                text += count;
            } else if (m_stepDone > 0) {
                text += L" " + Files(m_stepDone);
            }
            break;
        }
        case Phase::Done:
            return std::wstring();
    }
    return FitColumns(text, columns);
}

int CProgressGuiCallbacks::notifyVersionInfo(const std::wstring& cProductVersion) {
    return Quietly([&] { m_version = cProductVersion; });
}

int CProgressGuiCallbacks::onUpdateStart() {
    return Quietly([&] {
        m_phase = Phase::Idle;
        line(m_version.empty() ? L"Update started"
                               : L"Update started (updater " + m_version + L")");
    });
}

int CProgressGuiCallbacks::onSelfUpdateStart() {
    return Quietly([&] {
        m_selfUpdate = true;
        m_phase = Phase::Idle;
        line(L"Self-update: putting the updater's new files in place");
    });
}

int CProgressGuiCallbacks::onCheckMainIdx(bool bCheck) {
    return Quietly([&] {
        m_fetching.clear();
        if (!bCheck) {
            m_nothingChanged = true;
            line(L"Nothing changed on the server");
            return;
        }
        m_phase = Phase::Checking;
        m_checked = m_changed = 0;
        line(L"The server has changes: checking the installed files");
        status(true);
    });
}

int CProgressGuiCallbacks::onCheckFile(const UpdateFileInfo& cFile) {
    return Quietly([&] {
        m_phase = Phase::Checking;
        m_fetching.clear();
        ++m_checked;
        m_checking = cFile.name;
        status(false);
    });
}

int CProgressGuiCallbacks::onCheckFileIsDirty(const UpdateFileInfo& cFile) {
    return Quietly([&] {
        ++m_changed;
        m_checking = cFile.name;
        status(false);
    });
}

int CProgressGuiCallbacks::onCheckFilesDone(unsigned long ulFilesTotal) {
    return Quietly([&] {
        m_filesTotal = ulFilesTotal;
        m_patches = m_patchBytes = 0;
        m_patchDest.clear();
        line(L"Checked " + Files(m_checked) + L": " + Number(m_changed) + L" changed, " +
             Number(ulFilesTotal) + L" to download");
        m_phase = Phase::Idle;
    });
}

int CProgressGuiCallbacks::onStartDownloadFiles(const std::wstring& cServer,
                                                unsigned long ulDownloadSize) {
    return Quietly([&] {
        m_phase = Phase::Downloading;
        m_server = cServer;
        m_bytesTotal = ulDownloadSize;
        m_bytesDone = 0;
        m_filesStarted = 0;
        m_currentDest.clear();
        m_fetching.clear();
        m_downloadStart = Clock::now();
        m_downloadStarted = true;
        // The patches came first and are not in the announced size; the files they rebuilt
        // are not fetched any more.
        m_filesTotal = m_filesTotal > m_patches ? m_filesTotal - m_patches : 0;
        if (m_patches != 0)
            line(L"Fetched " + Number(m_patches) + (m_patches == 1 ? L" patch (" : L" patches (") +
                 FormatBytes(m_patchBytes) + L") to rebuild changed files");
        m_patches = 0;
        line(L"Downloading " + Files(m_filesTotal) + L" (" + FormatBytes(ulDownloadSize) +
             L") from " + cServer);
        status(true);
    });
}

int CProgressGuiCallbacks::onDownloadFile(const std::wstring& cSource, const std::wstring& cDest,
                                          unsigned long ulBytes) {
    return Quietly([&] {
        if (m_phase != Phase::Downloading) {
            // The master index, the product file and the product info come before the
            // download phase; they are shown, not counted.
            const std::wstring name = BaseName(cSource);
            const bool changed = name != m_fetching;
            m_fetching = name;
            const std::wstring suffix = L".patch";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                m_patchBytes += ulBytes;
                if (cDest != m_patchDest) ++m_patches;
                m_patchDest = cDest;
            }
            status(changed);
            return;
        }
        m_bytesDone += ulBytes;
        const bool newFile = cDest != m_currentDest;
        if (newFile) {
            m_currentDest = cDest;
            ++m_filesStarted;
            ++m_downloadedFiles;
        }
        status(newFile);
    });
}

int CProgressGuiCallbacks::onFinishDownloadFiles(const std::wstring& cServer) {
    return Quietly([&] {
        const double seconds = m_downloadStarted ? secondsSince(m_downloadStart) : 0.0;
        line(L"Downloaded " + Files(m_filesStarted) + L", " + FormatBytes(m_bytesDone) + L" in " +
             FormatSeconds(seconds) + L" (" + FormatRate(m_bytesDone, seconds) + L")");
        m_phase = Phase::Idle;
        m_downloadStarted = false;
    });
}

int CProgressGuiCallbacks::notifyModuleFileList(const std::wstring& cModuleName, bool bNeedsUpdate,
                                                const UpdStringList& cAllModuleFiles,
                                                const UpdStringList& cDirtyFiles,
                                                const std::wstring& cDestination) {
    return Quietly([&] { m_dirtyPerModule[cModuleName] = bNeedsUpdate ? cDirtyFiles.size() : 0; });
}

int CProgressGuiCallbacks::BeforeUpdateModule(const std::wstring& cModuleName) {
    return Quietly([&] {
        m_phase = Phase::Modules;
        m_module = cModuleName;
        m_step = L"preparing";
        m_stepDone = m_stepTotal = 0;
        auto it = m_dirtyPerModule.find(cModuleName);
        line(L"Module " + cModuleName + L": updating" +
             (it != m_dirtyPerModule.end() ? L" " + Files(it->second) : std::wstring()));
        status(true);
    });
}

int CProgressGuiCallbacks::notifyConfigFile(const std::wstring& cConfigFileName,
                                            const ConfigFileData& cConfigFileData) {
    return Quietly([&] {
        // The option as the updater reads it: "1" or "true" in any case.
        auto it = cConfigFileData.find(L"mirror");
        std::wstring value = it != cConfigFileData.end() ? it->second : std::wstring();
        for (wchar_t& c : value) c = static_cast<wchar_t>(std::towlower(c));
        m_mirror = value == L"1" || value == L"true";
    });
}

bool CProgressGuiCallbacks::commandRuns(const std::wstring& command) const {
    return !command.empty() && !m_mirror;
}

int CProgressGuiCallbacks::beforePre(const std::wstring& cModuleName,
                                     const std::wstring& cCommand) {
    return Quietly([&] {
        m_phase = Phase::Modules;
        m_module = cModuleName;
        m_step = L"running the pre command";
        m_stepDone = m_stepTotal = 0;
        commandLine(L"Module " + cModuleName + L": pre command: ", cCommand, Tone::Plain);
    });
}

int CProgressGuiCallbacks::beforeBackup(const std::wstring& cModuleName) {
    return Quietly([&] {
        m_phase = Phase::Modules;
        m_module = cModuleName;
        m_step = L"backing up";
        m_stepDone = 0;
        m_stepTotal = 0;
        status(true);
    });
}

int CProgressGuiCallbacks::onBackupFile(const std::wstring& cModuleName, const std::wstring& cSrc,
                                        const std::wstring& cDest) {
    return Quietly([&] {
        // A file that is not installed yet has nothing to back up.
        struct stat st;
        if (::stat(ToLocale(cSrc).c_str(), &st) == 0) ++m_stepDone;
        status(false);
    });
}

int CProgressGuiCallbacks::afterBackup(const std::wstring& cModuleName) {
    return Quietly([&] {
        if (m_stepDone > 0) line(L"Module " + cModuleName + L": backed up " + Files(m_stepDone));
    });
}

int CProgressGuiCallbacks::beforeInstallModule(const std::wstring& cModuleName) {
    return Quietly([&] {
        m_phase = Phase::Modules;
        m_module = cModuleName;
        m_step = L"installing";
        m_stepDone = 0;
        auto it = m_dirtyPerModule.find(cModuleName);
        m_stepTotal = it != m_dirtyPerModule.end() ? it->second : 0;
        status(true);
    });
}

int CProgressGuiCallbacks::onInstallFile(const std::wstring& cSrc, const std::wstring& cDest) {
    return Quietly([&] {
        ++m_stepDone;
        // The last file is always shown: the bar must not stay behind at the end.
        status(m_stepDone >= m_stepTotal);
    });
}

int CProgressGuiCallbacks::afterInstallModule(const std::wstring& cModuleName) {
    return Quietly([&] {
        m_filesInstalled += m_stepDone;
        line(L"Module " + cModuleName + L": installed " + Files(m_stepDone));
        m_stepTotal = 0;
    });
}

int CProgressGuiCallbacks::beforePost(const std::wstring& cModuleName,
                                      const std::wstring& cCommand) {
    return Quietly([&] {
        m_phase = Phase::Modules;
        m_module = cModuleName;
        m_step = L"running the post command";
        m_stepDone = m_stepTotal = 0;
        commandLine(L"Module " + cModuleName + L": post command: ", cCommand, Tone::Plain);
    });
}

int CProgressGuiCallbacks::AfterUpdateModule(const std::wstring& cModuleName) {
    return Quietly([&] {
        ++m_modulesUpdated;
        m_step = L"updated";
        status(true);
    });
}

int CProgressGuiCallbacks::beforeRestoreModuleStartup(const std::wstring& cModuleName) {
    return Quietly([&] {
        m_phase = Phase::Rollback;
        m_rolledBack = true;
        m_module = cModuleName;
        m_step = L"restoring";
        m_stepDone = m_stepTotal = 0;
        line(L"ROLLBACK: restoring module " + cModuleName, Tone::Alarm);
        status(true);
    });
}

int CProgressGuiCallbacks::onModuleRestoreFile(const std::wstring& cModuleName,
                                               const std::wstring& cSrc,
                                               const std::wstring& cDest) {
    return Quietly([&] {
        m_phase = Phase::Rollback;
        m_rolledBack = true;
        m_module = cModuleName;
        ++m_stepDone;
        status(false);
    });
}

int CProgressGuiCallbacks::afterRestoreModuleCompletion(const std::wstring& cModuleName) {
    return Quietly([&] {
        line(L"ROLLBACK: module " + cModuleName + L" restored (" + Files(m_stepDone) +
                 L" copied back)",
             Tone::Alarm);
        m_stepDone = 0;
    });
}

int CProgressGuiCallbacks::beforeUnpost(const std::wstring& cModuleName,
                                        const std::wstring& cCommand) {
    return Quietly([&] {
        m_phase = Phase::Rollback;
        m_rolledBack = true;
        m_module = cModuleName;
        m_step = L"running the unpost command";
        m_stepDone = m_stepTotal = 0;
        commandLine(L"ROLLBACK: module " + cModuleName + L": unpost command: ", cCommand,
                    Tone::Alarm);
    });
}

int CProgressGuiCallbacks::onUpdateNonCriticalError(const std::wstring& cError,
                                                    EUpdateErrors eError) {
    return Quietly([&] {
        m_phase = Phase::Idle;
        m_fetching.clear();
        line(L"Server failed (error " + std::to_wstring(static_cast<int>(eError)) + L"): " +
                 OneLine(cError) + L"; trying the next server",
             Tone::Bad);
    });
}

int CProgressGuiCallbacks::onUpdateCriticalError(const std::wstring& cError, EUpdateErrors eError) {
    return Quietly([&] {
        m_failed = true;
        line(L"Update failed (error " + std::to_wstring(static_cast<int>(eError)) + L"): " +
                 OneLine(cError),
             Tone::Bad);
        m_phase = Phase::Idle;
    });
}

int CProgressGuiCallbacks::onUpdateFinish() {
    return Quietly([&] {
        m_phase = Phase::Done;
        if (m_failed) {
            line(m_rolledBack ? L"Update FAILED; the modules it had changed were rolled back"
                              : L"Update FAILED",
                 Tone::Bad);
        } else if (m_modulesUpdated > 0) {
            line(L"Update finished: " + Files(m_filesInstalled) + L" installed in " +
                     Number(m_modulesUpdated) + (m_modulesUpdated == 1 ? L" module" : L" modules"),
                 Tone::Good);
        } else if (m_downloadedFiles > 0) {
            line(L"Finished: " + Files(m_downloadedFiles) + L" downloaded, nothing installed",
                 Tone::Good);
        } else if (m_changed > 0) {
            line(L"Finished: " + Files(m_changed) + L" found changed, nothing installed",
                 Tone::Good);
        } else {
            line(L"Up to date: nothing to update", Tone::Good);
        }
    });
}

int CProgressGuiCallbacks::onSelfUpdateFinish() {
    return Quietly([&] {
        m_phase = Phase::Done;
        line(L"Self-update: done; the updated updater finishes the run");
    });
}

extern "C" {

CUpdateGuiCallbacks* InitializeGuiLibA() {
    try {
        return new CProgressGuiCallbacks(2);
    } catch (...) {
        return nullptr;
    }
}

void UninitializeGuiLibA(CUpdateGuiCallbacks* pcCallbacks) {
    try {
        delete pcCallbacks;
    } catch (...) {
    }
}
}
