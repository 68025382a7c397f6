#include "UpdaterMain.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

#include "base/Console.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/ProgramInfo.h"
#include "config/UpdateConfig.h"
#include "config/UpdateParameters.h"
#include "download/DownloadServersHandler.h"
#include "install/RunLock.h"
#include "install/SelfUpdateHandover.h"
#include "net/ConnectionOptions.h"
#include "run/InstallationStatus.h"
#include "run/KeptState.h"
#include "run/RunReport.h"
#include "run/UpdatePerformer.h"
#include "update/PluginException.h"

using namespace UpdateNew;

namespace {

const wchar_t* const kLoggerName = L"updater";
const wchar_t* const kStdoutTemplate = L"${MSG}";
const wchar_t* const kDefaultLogFile = L"update.log";
const wchar_t* const kFileTemplate =
    L"${DAY}/${MONTH}/${YEAR} ${HOUR}:${MINUTE}:${SECOND} ${FULLHOST} ${PROGRAM}[${PID}]: "
    L"${SOURCE}: ${LEVEL}: ${MSG}";
const wchar_t* const kMessageFile = L"update_msg.lqr";

// Installs the logger for the lifetime of the entry and removes it before the logger and
// its appenders are destroyed.
class LoggerInstallation {
public:
    explicit LoggerInstallation(UpdateNew::Logger* logger)
        : m_previous(UpdateNew::SetLogger(logger)) {}
    ~LoggerInstallation() { UpdateNew::SetLogger(m_previous); }
    LoggerInstallation(const LoggerInstallation&) = delete;
    LoggerInstallation& operator=(const LoggerInstallation&) = delete;

private:
    UpdateNew::Logger* m_previous;
};

// The last-resort report for anything that is not an Exception: the plug-in call in
// progress when there is one, otherwise a general internal error, with what the plug-in or
// the system said (a thread or memory refused). Called in a handler; gives the line logged.
std::wstring ReportUnexpected() {
    const std::wstring call = UpdateCallbacks::FailedCallText();
    UpdateCallbacks::ForgetFailedCall();
    std::wstring cause;
    try {
        throw;
    } catch (const CPluginException& e) {
        cause = e.twhat();
        if (cause.find_first_not_of(L" \t\r\n") == std::wstring::npos) cause = Msg<1238>();
    } catch (const std::exception& e) {
        cause = Exception(e).twhat();
    } catch (...) {
    }
    std::wstring text = call;
    if (text.empty())
        text = g_cMsgTable.IsLoaded() ? Msg<659>() : std::wstring(L"Unexpected internal error");
    if (!cause.empty()) text += L": " + cause;
    LogFatal(L"%s\n", text.c_str());
    return text;
}

void LoadMessageTables() {
    const std::wstring path = GetUpdaterDir() + kMessageFile;
    g_cLibMsgTable.Init(path.c_str());
    assert(g_cLibMsgTable.handle() != nullptr);
    g_cMsgTable.Init(path.c_str());
    assert(g_cMsgTable.handle() != nullptr);
}

// Removes the directories the configuration made for this run that are still empty,
// innermost first (rmdir leaves any that holds something).
void RemoveEmptyRunDirs(const UpdateConfig& config) {
    const std::vector<std::wstring>& dirs = config.createdRunDirs();
    for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir)
        ::rmdir(ToMultibyte(WithoutTrailingSlash(*dir)).c_str());
}

// The process exit status a run asked for instead of 255 (see UpdatePerformer::exitStatus),
// for UpdaterNarrowMain; 0 when none did.
int g_exitStatus = 0;

// One update run on the prepared configuration, under the installation's run lock (a
// check-only run takes it shared, and only when a real run made it; the self-update helper
// keeps the one handed down to it).
// `busy` is set when another run holds the lock.
int RunUpdate(UpdateConfig& config, RunReport& report, bool& busy) {
    RunLock lock;
    const std::wstring lockFile = KeptMasterIdxPath(config) + L".lock";
    try {
        if (!config.copyActions().empty())
            lock.keepHandedDown();
        else if (config.checkDirty())
            lock.acquireShared(lockFile, config.updateDirs().m_installdir);
        else
            lock.acquire(lockFile, config.updateDirs().m_installdir);
    } catch (...) {
        // Refused before it used any of them: nothing of this run is left behind.
        busy = lock.busy();
        RemoveEmptyRunDirs(config);
        throw;
    }

    // The updated updater a self-update restarted: the first process ends with success once
    // it hears this. One that stopped waiting rolls the self-update back with the files of
    // the temporary and backup directories it shares with this run: this run must change
    // nothing, not even clean up, so it ends before it has a file processor.
    if (config.copyActions().empty() && !SelfUpdateHandover::SignalTakenOver()) {
        LogFatal(L"%s\n", Msg<882>().c_str());
        return ERR_SELFUPDATE;
    }
    UpdatePerformer performer(&config);
    performer.setReport(&report);
    // Taken however run() ends: a plug-in that throws where no handler is (onUpdateFinish
    // after a failure) still ends the process with the status the run's failure called for.
    struct KeepExitStatus {
        const UpdatePerformer& performer;
        ~KeepExitStatus() { g_exitStatus = performer.exitStatus(); }
    } keep{performer};
    const int result = performer.run();
    // A check writes nothing to keep: what it made for itself goes when it is empty.
    if (config.checkDirty()) RemoveEmptyRunDirs(config);
    return result;
}

// --version is answered before anything is created: no logger, no log file. True when
// it was given (and answered); `written` then tells whether the line got out.
bool AnswerVersion(int argc, const wchar_t* const* argv, bool& written) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] && std::wcscmp(argv[i], L"--version") == 0) {
            std::fprintf(stdout, "Product version : %s\n",
                         ToMultibyte(CUpdateParameters::kProductVersion).c_str());
            int error = 0;
            written = StdoutFlushed(error);
            // Before the message table is loaded: the one text said without it.
            if (!written)
                std::fprintf(stderr, "The version cannot be written to standard output: %s\n",
                             std::strerror(error));
            return true;
        }
    }
    return false;
}

// Opens the configured log file, creating its directory when missing, and makes it the
// logger's second appender. A log that cannot be opened ends the run (false, after naming
// it as the log file with the system's reason); a check-only run, which changes nothing,
// goes on with the console alone after a warning. `failure` (when given) receives the text
// of a failure.
bool OpenLogFile(const UpdateConfig& config, UpdateNew::Logger& logger,
                 UpdateNew::LoggerAppenderFile& fileAppender, std::wstring* failure = nullptr) {
    if (!config.logFileName().empty()) fileAppender.SetFileName(config.logFileName());
    // The helper and the updater a self-update starts continue the log of the process
    // that began the run: they append to it, never truncate it. Appending also keeps
    // the lines of the helper and of the updater it starts, which write at once, from
    // overwriting each other.
    // (The restarted updater is the one given the first process's list file.)
    const bool continuesRun = !config.tmpFilesList().empty() || !config.copyActions().empty();
    const std::wstring& name = fileAppender.FileName();
    const std::wstring dir = GetDirPart(name);
    // mkdir never follows a link in the place of the directory it makes.
    int error = dir.empty() ? 0 : CreateDirectories(dir, 0755);
    if (error == 0 && fileAppender.Open(config.logAppend() || continuesRun) != 0) error = errno;
    if (error != 0) {
        const std::wstring reason = SystemErrorText(error);
        if (config.checkDirty()) {
            LogWarning(L"%s\n", Msg<853>(name, reason).c_str());
            return true;
        }
        LogFatal(L"%s\n", Msg<852>(name, reason).c_str());
        if (failure) *failure = Msg<852>(name, reason);
        return false;
    }
    if (!config.logTemplate().empty()) fileAppender.SetTemplate(config.logTemplate());
    logger.AddAppender(&fileAppender);
    return true;
}

// `status`: the installation's state on standard output, nothing else done. The output
// is the whole answer, so one that cannot be written fails the run (on standard error).
bool PrintStatus(const UpdateConfig& config) {
    const InstallationStatus status(config);
    if (!status.exists()) {  // on standard error too: standard output is the answer's
        std::fprintf(stderr, "%s\n", ToMultibyte(Msg<863>(status.installation())).c_str());
        return false;
    }
    errno = 0;
    if (ConsoleWrite(config.status() == L"json" ? status.json()
                                                : ToMultibyte(Utf8ToWide(status.text()))))
        return true;
    const std::wstring reason = SystemErrorText(errno ? errno : EIO);
    std::fprintf(stderr, "%s\n", ToMultibyte(Msg<862>(reason)).c_str());
    return false;
}

// The end of a run whose configuration was read: the record beside the kept index (not for
// a check-only run, nor for a self-update helper, whose updater ends the run) and the
// report files. `prepared`: the installation and its kept index are known.
void EndRun(const UpdateConfig& config, RunReport& report, int result, bool prepared) {
    if (!config.copyActions().empty()) return;
    report.ended = static_cast<long long>(std::time(nullptr));
    report.resultCode = result;
    // What UpdaterNarrowMain makes of it.
    report.exitStatus = result == 0 ? 0 : g_exitStatus != 0 ? g_exitStatus : 255;
    report.checkOnly = config.checkDirty();
    report.outcome = RunReport::Outcome(result, report.checkOnly, report.beganFetching);
    if (prepared && !config.checkDirty()) {
        LastRun run;
        run.ended = report.ended;
        run.outcome = report.outcome;
        run.exitStatus = report.exitStatus;
        run.resultCode = result;
        run.message = report.message;
        const std::wstring kept = KeptMasterIdxPath(config);
        if (const int error = KeptState::WriteLastRun(kept, run))
            LogWarning(L"%s\n",
                       Msg<1151>(KeptState::LastRunPath(kept), SystemErrorText(error)).c_str());
    }
    // A refused option writes no report: the files of the run before stay.
    if (config.optionsApplied()) report.write(config.reportFile(), config.metricsFile());
}

}  // namespace

int UpdaterMain(int argc, const wchar_t* const* argv) {
    // A self-update helper answers its starter through this descriptor; none of the
    // programs it starts may see it.
    SelfUpdateHandover::AdoptFromEnvironment();
    SetCommandLineText(BuildCommandLineText(argc, argv));

    bool written = true;
    if (AnswerVersion(argc, argv, written)) return written ? 0 : -1;

    // Destroyed in reverse order: settings, configuration, file appender, standard-output
    // appender, logger.
    UpdateNew::Logger logger(kLoggerName);
    UpdateNew::LoggerAppenderStdout stdoutAppender(UpdateNew::LOG_INFO, kStdoutTemplate);
    UpdateNew::LoggerAppenderFile fileAppender(UpdateNew::LOG_DEBUG, kDefaultLogFile,
                                               kFileTemplate);
    logger.AddAppender(&stdoutAppender);
    LoggerInstallation installation(&logger);

    UpdateConfig config;
    ConnectionOptions settings;
    if (int rc = config.initSettings(&settings)) {
        ConsolePrintf(L"Can not initialize updateConfig (%d)\n", rc);
        return kConfigInitFailed;
    }

    RunReport report;
    report.started = static_cast<long long>(std::time(nullptr));
    bool prepared = false, logOpened = false;
    int result = 0;
    try {
        LoadMessageTables();
        if (!config.init(argc, argv)) {
            LogFatal(L"%s\n", Msg<616>().c_str());
            return -1;
        }
        config.prepare();
        prepared = true;
        // Only reads: no log file (the last run's log stays as it was), no lock, no server.
        if (!config.status().empty()) return PrintStatus(config) ? 0 : -1;

        if (!OpenLogFile(config, logger, fileAppender, &report.message)) {
            EndRun(config, report, -1, prepared);
            return -1;
        }
        logOpened = true;

        LogDebug(L"Updater version : %s\n", CUpdateParameters::kProductVersion);
        LogDebug(L"Command line : %s\n", BuildCommandLineText(argc, argv, true).c_str());
        if (!config.updateLib().empty())
            LogDebug(L"Function-replacing plug-in : %s\n", config.updateLib().c_str());
        config.warnUnknownOptions();
    } catch (const Exception& e) {
        // Once the options are read, a failure to prepare the run (a directory that cannot
        // be made) is in the log too, where a scheduled run's administrator looks.
        if (config.optionsApplied() && !logOpened && config.status().empty())
            OpenLogFile(config, logger, fileAppender);
        LogFatal(L"%s\n", e.twhat());
        report.message = e.twhat();
        result = -1;
    } catch (...) {
        report.message = ReportUnexpected();
        result = -1;
    }

    bool busy = false;
    if (result == 0) {
        try {
            result = RunUpdate(config, report, busy);
        } catch (const Exception& e) {
            report.message = Msg<590>(std::wstring(e.twhat()));
            LogFatal(L"%s\n", report.message.c_str());
            result = -1;
        } catch (...) {
            report.message = ReportUnexpected();
            result = -1;
        }
    }
    // A run refused because another one holds the installation leaves its record alone:
    // the record is that run's to write.
    EndRun(config, report, result, prepared && !busy);
    // The first process of a self-update ends with this run's status.
    SelfUpdateHandover::SignalResult(result);
    return result;
}

int UpdaterNarrowMain(int argc, char** argv) {
    OpenStandardDescriptors();
    InstallSignalHandlers();  // before anything else; its result is not needed
    // A reader of standard output that goes away (a closed pipe, a dropped session) must
    // not end the run half-way: the write fails with EPIPE and the console goes quiet.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::wstring> converted;
    converted.reserve(static_cast<size_t>(argc > 0 ? argc : 0));
    for (int i = 0; i < argc; ++i) {
        std::wstring arg;
        if (!MultibyteToWide(argv[i] ? argv[i] : "", arg)) {
            // Nothing is loaded yet to say it in the user's words; say it plainly.
            ConsolePrintf(L"Can not convert argument %d to a wide string\n", i);
            return -1;
        }
        converted.push_back(arg);
    }
    std::vector<const wchar_t*> wideArgv;
    for (const std::wstring& arg : converted) wideArgv.push_back(arg.c_str());
    wideArgv.push_back(nullptr);

    const int result = UpdaterMain(argc, wideArgv.data());
    if (result != 0 && g_exitStatus != 0) return g_exitStatus;
    return result == 0 ? 0 : -1;
}
