#include "install/SelfUpdateHelper.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/FormatConverter.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/RunProcess.h"
#include "install/RunLock.h"
#include "install/SelfUpdateHandover.h"
#include "plugin/UpdateCallbacks.h"

namespace UpdateNew {

const wchar_t* const CSelfUpdateHelper::kSideDirName = L"SelfUpdateTemp";
const wchar_t* const CSelfUpdateHelper::kConfigName = L"update.conf";

namespace {

// Appends one line formatted with the program's wide format convention ("%s" takes a
// wide string).
void AppendF(std::wstring& out, const wchar_t* format, ...) {
    UpdateNew::FormatConverter fmt(format);
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int n = std::vswprintf(buffer.data(), buffer.size(), fmt.c_str(), args);
        va_end(args);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
            out.append(buffer.data(), static_cast<size_t>(n));
            return;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The path with every link resolved; empty when it does not exist.
std::wstring RealPath(const std::wstring& path) {
    char* resolved = ::realpath(ToMultibyte(path).c_str(), nullptr);
    if (!resolved) return std::wstring();
    const std::wstring out = FromMultibyte(resolved);
    std::free(resolved);
    return out;
}

// Whether `program` names an existing file as a path. A bare name (no "/") is what a
// shell found through PATH, and never a file of the working directory.
bool IsExistingProgramPath(const std::wstring& program) {
    if (program.find(L'/') == std::wstring::npos) return false;
    struct stat st;
    const std::string name = ToMultibyte(program);
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

CSelfUpdateHelper::CSelfUpdateHelper(UpdateCallbacks& callbacks, const SelfUpdateSettings& settings,
                                     bool restoreMode)
    : m_callbacks(callbacks), m_settings(settings), m_restoreMode(restoreMode) {}

CSelfUpdateHelper::~CSelfUpdateHelper() = default;

void CSelfUpdateHelper::AddFile(const std::wstring& source, const std::wstring& target) {
    m_files.push_back(Entry{source, target, false});
}

void CSelfUpdateHelper::AddChangedFile(const std::wstring& source, const std::wstring& target) {
    m_files.push_back(Entry{source, target, true});
}

std::wstring CSelfUpdateHelper::SideDir() const {
    return JoinPath(m_settings.tmpDir, kSideDirName);
}

std::wstring CSelfUpdateHelper::HelperProgram() const {
    return JoinPath(SideDir(), GetLastComponent(m_settings.updaterPath));
}

std::wstring CSelfUpdateHelper::HelperLibrary() const {
    // A library among the module's files is copied into the side directory and loaded
    // from there (its installed copy may be replaced while the helper runs); any other
    // stays where it is.
    const std::wstring lib = ToSlashes(m_settings.updateLib);
    const std::wstring real = RealPath(lib);
    for (const Entry& e : m_files) {
        const std::wstring target = ToSlashes(e.target);
        if (target == lib || (!real.empty() && RealPath(target) == real))
            return JoinPath(SideDir(), GetLastComponent(ToSlashes(e.changed ? e.source : target)));
    }
    return lib;
}

std::wstring CSelfUpdateHelper::RestartCommandLine() const {
    const std::wstring& line = m_settings.commandLine;
    const std::wstring part = GetProgramPart(line);  // as it stands, quotes included
    const bool quoted = part.size() >= 2 && part.front() == L'"' && part.back() == L'"';
    const std::wstring typed = quoted ? part.substr(1, part.size() - 2) : part;
    if (IsExistingProgramPath(typed) || m_settings.updaterPath.empty()) return line;
    const std::wstring& real = m_settings.updaterPath;
    const std::wstring program = real.find(L' ') == std::wstring::npos ? real : L'"' + real + L'"';
    return program + line.substr(part.size());
}

std::wstring CSelfUpdateHelper::ConfigText(const std::wstring& tmpFilesList) const {
    // The helper reads this as a configuration file, where ";" begins a comment and a line
    // ends a value; "|" parts a copy action and '"' ends a quoted argument. A value that
    // holds one cannot be said there: the self-update is refused before anything is copied
    // (it would copy or start something else than meant).
    const auto refuse = [](const std::wstring& value, const wchar_t* special) {
        if (value.find_first_of(special) != std::wstring::npos)
            THROW_CRITICAL(Msg<1227>(value), ERR_SELFUPDATE);
    };
    for (const Entry& e : m_files) {
        refuse(e.source, L";\n\r|");
        refuse(e.target, L";\n\r|");
    }
    for (const std::wstring* value : {&m_settings.tmpDir, &m_settings.logFile, &tmpFilesList})
        refuse(*value, L";\n\r\"");
    refuse(m_settings.commandLine, L";\n\r");
    refuse(m_settings.updaterPath, L";\n\r\"");
    if (!m_settings.updateLib.empty()) refuse(HelperLibrary(), L";\n\r");
    std::wstring text;
    AppendF(text, L"[selfupdate]\n");
    for (const Entry& e : m_files)
        if (e.changed) AppendF(text, L"CopyAction=%s|%s\n", e.source.c_str(), e.target.c_str());
    if (!m_restoreMode)
        AppendF(text,
                L"ExecAction=%s --NoSelfUpdate \"--TmpDir=%s\" \"--LogFile=%s\" "
                L"\"--TmpFilesList=%s\"\n",
                RestartCommandLine().c_str(), m_settings.tmpDir.c_str(), m_settings.logFile.c_str(),
                tmpFilesList.c_str());
    if (!m_settings.updateLib.empty()) {
        AppendF(text, L"[update]\n");
        AppendF(text, L"UpdateLib=%s\n", HelperLibrary().c_str());
    }
    AppendF(text, L"[product]\nmasteridx=/idx/master.idx\n");
    AppendF(text, L"Logfile=%s\n", m_settings.logFile.c_str());
    return text;
}

void CSelfUpdateHelper::WriteConfig(const std::wstring& path, const std::wstring& text) const {
    std::string bytes;
    const std::string target = ToMultibyte(path);
    if (target.empty() || !WideToMultibyte(text, bytes)) {
        LogError(L"%s: %s\n", Msg<243>(path).c_str(), SystemErrorText(EILSEQ).c_str());
        THROW_CRITICAL(Msg<243>(path), ERR_SELFUPDATE);
    }
    const int error = ReplaceFileContent(target, bytes);
    const bool ok = error == 0;
    if (!ok) {
        LogError(L"%s: %s\n", Msg<243>(path).c_str(), SystemErrorText(error).c_str());
        THROW_CRITICAL(Msg<243>(path), ERR_SELFUPDATE);
    }
}

void CSelfUpdateHelper::Execute(const std::wstring& tmpFilesList) {
    const std::wstring config = ConfigText(tmpFilesList);  // first: it may refuse
    const std::wstring cPath = SideDir();
    UpdStringList cCreatedDirs;
    if (!m_callbacks.checkCreateDirectory(cPath, cCreatedDirs))
        THROW_CRITICAL(Msg<243>(cPath), ERR_SELFUPDATE);

    for (const Entry& e : m_files) {
        const std::wstring& source = e.changed ? e.source : e.target;
        const std::wstring dest = JoinPath(cPath, GetLastComponent(ToSlashes(source)));
        LogDebug(L"Self-update: copying \"%s\" to \"%s\"\n", source.c_str(), dest.c_str());
        m_callbacks.copyFile(source, dest, false);
    }

    WriteConfig(JoinPath(cPath, kConfigName), config);

    const std::wstring program = HelperProgram();
    LogDebug(L"Starting the Self Update helper \"%s\"\n", program.c_str());
    std::wstring resultText;
    if (m_restoreMode) {
        if (RunProcess(program, L"", kRestoreWaitSeconds, resultText, true) != 0)
            THROW_CRITICAL(Msg<252>(resultText), ERR_SELFUPDATE);
        LogDebug(L"Self Update helper: %s\n", resultText.c_str());
        return;
    }
    // The helper replaces the files and starts the updated updater, which finishes the
    // run. This process ends with success only once that updater said it took over: a
    // helper that cannot start, load its plug-in or copy, or an updater that cannot be
    // restarted or ends first, fails this run instead, which then rolls back (and restores
    // what the helper replaced) as any failed installation does.
    SelfUpdateHandover handover;
    int pid = 0;
    // The helper and the updater it restarts go on under this run's lock.
    RunLock* lock = RunLock::current();
    if (lock) lock->handOver();
    const int started = RunProcess(program, L"", 0, resultText, false, nullptr, &pid);
    // Whatever follows here (a rollback's commands) must not inherit it.
    if (lock) lock->takeBack();
    if (started != 0) THROW_CRITICAL(Msg<252>(resultText), ERR_SELFUPDATE);
    std::wstring why;
    if (!handover.WaitForTakeOver(pid, why)) {
        const std::wstring text = Msg<700>(program, why);
        LogError(L"%s\n", text.c_str());
        THROW_CRITICAL(text, ERR_SELFUPDATE);
    }
    // The run is the updated updater's now; its exit status is this process's. Nothing of
    // this process may be cleaned up or rolled back: it ends here.
    if (handover.WaitForResult(why) == 0) std::exit(0);
    LogError(L"%s\n", why.c_str());
    std::exit(255);
}

}  // namespace UpdateNew
