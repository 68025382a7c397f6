#include "config/UpdateConfig.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <iterator>

#include "base/Console.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/ProgramInfo.h"
#include "base/StringUtils.h"
#include "base/TrustedDirectory.h"
#include "codec/PasswordScramble.h"
#include "codec/Secrets.h"
#include "net/ConnectionOptions.h"

namespace UpdateNew {

const wchar_t* const UpdateConfig::kDefaultSettingsFile = L"c:\\updatenew.conf";

namespace {

std::wstring CurrentDir() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? FromMultibyte(cwd) : std::wstring();
}

// How reading one line of a local text file ended.
enum class LineRead { kLine, kEnd, kLineTooLong, kFileTooLong };

// Reads local text files line by line within UpdateConfig's bounds and counts the lines.
class BoundedLineReader {
public:
    explicit BoundedLineReader(FILE* file) : m_file(file) {}

    // The next line without its line end. At kLineTooLong or kFileTooLong the file has not
    // been read further than the bound; the line number is that of the refused line.
    LineRead next(std::string& line) {
        line.clear();
        ++m_lineNo;
        int c;
        while ((c = std::fgetc(m_file)) != EOF) {
            if (++m_total > UpdateConfig::kMaxFileBytes) return LineRead::kFileTooLong;
            if (c == '\n') return LineRead::kLine;
            if (line.size() == UpdateConfig::kMaxLineBytes) return LineRead::kLineTooLong;
            line.push_back(static_cast<char>(c));
        }
        return line.empty() ? LineRead::kEnd : LineRead::kLine;
    }
    unsigned lineNo() const { return m_lineNo; }

private:
    FILE* m_file;
    unsigned m_lineNo = 0;
    size_t m_total = 0;
};

// True for a line; false at the end; a line or file past the bounds fails with `code`.
bool NextLine(BoundedLineReader& reader, std::string& line, const std::wstring& path,
              EUpdateErrors code) {
    switch (reader.next(line)) {
        case LineRead::kLine:
            return true;
        case LineRead::kEnd:
            return false;
        case LineRead::kLineTooLong:
            THROW_CRITICAL(Msg<165>(path, static_cast<unsigned long>(reader.lineNo()),
                                    static_cast<unsigned long>(UpdateConfig::kMaxLineBytes)),
                           code);
        case LineRead::kFileTooLong:
            THROW_CRITICAL(Msg<166>(path, static_cast<unsigned long>(UpdateConfig::kMaxFileBytes),
                                    static_cast<unsigned long>(reader.lineNo())),
                           code);
    }
    return false;
}

// The locale's encoding first; a line that is not valid there is taken as UTF-8.
std::wstring LineToWide(const std::string& bytes) {
    std::wstring wide;
    if (MultibyteToWide(bytes, wide)) return wide;
    return Utf8ToWide(bytes);
}

std::wstring RemoveAll(const std::wstring& text, const wchar_t* chars) {
    std::wstring out;
    for (wchar_t c : text) {
        if (!std::wcschr(chars, c)) out.push_back(c);
    }
    return out;
}

// Closes a C stream when the reader leaves, by return or by exception.
struct FileCloser {
    FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

FILE* OpenForReading(const std::wstring& path) {
    return std::fopen(ToMultibyte(path).c_str(), "re");
}

std::wstring Number(long value, const wchar_t* format) {
    wchar_t buffer[32];
    std::swprintf(buffer, sizeof buffer / sizeof buffer[0], format, value);
    return buffer;
}

}  // namespace

UpdateConfig::UpdateConfig()
    : m_params(GetUpdaterDir(), CurrentDir()), m_logFileName(GetUpdaterDir() + L"update.log") {}

UpdateConfig::~UpdateConfig() = default;

// ---------------------------------------------------------------------------------------
// Path helpers

std::wstring UpdateConfig::normalizeDir(const std::wstring& path) {
    std::wstring out;
    if (path.find(L':') == std::wstring::npos) {
        // Runs of separators ("%INSTALL_DIR%\backup" with a trailing "/" in the value)
        // name the same directory as one.
        for (wchar_t c : path) {
            if (c == L'\\') c = L'/';
            if (c == L'/' && !out.empty() && out.back() == L'/') continue;
            out.push_back(c);
        }
    } else {
        out = path;
    }
    while (!out.empty() && (out.back() == L'/' || out.back() == L'\\')) out.pop_back();
    return out;
}

std::wstring UpdateConfig::joinPath(const std::wstring& a, const std::wstring& b) {
    std::wstring out(a);
    if (out.empty() || out.back() != L'/') out.push_back(L'/');
    out += (!b.empty() && b.front() == L'/') ? b.substr(1) : b;
    return out;
}

std::wstring UpdateConfig::inDirectoryIfBare(const std::wstring& name, const std::wstring& dir) {
    if (name.find_first_of(L"/\\") != std::wstring::npos || dir.empty()) return name;
    return joinPath(dir, name);
}

// ---------------------------------------------------------------------------------------
// Settings

int UpdateConfig::initSettings(ConnectionOptions* store) {
    if (!store) return 3;
    m_settings = store;
    m_settingsInitialised = true;
    (void)readSettingsFile();  // a missing or partly unusable settings file is no error
    return ensureTempDirSetting();
}

unsigned UpdateConfig::readSettingsFile() {
    std::wstring name;
    if (m_settings->GetWide(kSettingsFileName, name) != ConnectionOptions::OK) {
        name = kDefaultSettingsFile;
    }
    FILE* file = OpenForReading(name);
    if (!file) return 0;
    FileCloser closer{file};

    std::string bytes;
    BoundedLineReader reader(file);
    for (;;) {
        // The message table is not loaded yet: these diagnostics are plain text.
        const LineRead read = reader.next(bytes);
        const unsigned lineNo = reader.lineNo();
        if (read == LineRead::kEnd) break;
        if (read == LineRead::kLineTooLong) {
            ConsolePrintf(
                L"Line %u of the settings file %s is longer than %lu bytes: the "
                L"rest of the file is not read\n",
                lineNo, name.c_str(), static_cast<unsigned long>(kMaxLineBytes));
            break;
        }
        if (read == LineRead::kFileTooLong) {
            ConsolePrintf(
                L"The settings file %s is longer than %lu bytes: it is not read "
                L"from line %u on\n",
                name.c_str(), static_cast<unsigned long>(kMaxFileBytes), lineNo);
            break;
        }
        const std::wstring line = RemoveAll(LineToWide(bytes), L"\r\n");
        if (line.empty() || line[0] == L'#') continue;
        std::wstring text = line.substr(0, line.find(L'#'));
        const size_t eq = text.find(L'=');
        std::wstring key, value;
        if (eq != std::wstring::npos) {
            key = Trim(text.substr(0, eq), TRIM_BOTH, L" \t");
            value = Trim(text.substr(eq + 1), TRIM_BOTH, L" \t");
        }
        if (key.empty() || value.empty()) {
            ConsolePrintf(L"Invalid line (%u) in config file : %s\n", lineNo, line.c_str());
            continue;
        }
        // Settings already present (given by the caller) are kept.
        const int32_t id = key == L"TempDir" ? kSettingTempDir : kSettingOther;
        if (unsigned rc = m_settings->SetWide(id, value, false)) return rc;
    }
    return 0;
}

int UpdateConfig::ensureTempDirSetting() {
    if (m_settings->Has(kSettingTempDir)) return 0;
    const std::wstring temp = GetTempPath();
    if (temp.empty()) return errno ? errno : ENOENT;
    return static_cast<int>(m_settings->SetWide(kSettingTempDir, temp, true));
}

// ---------------------------------------------------------------------------------------
// Command line and configuration file

bool UpdateConfig::init(int argc, const wchar_t* const* argv) {
    return m_params.parseCommandLine(argc, argv, *this, m_callbacks.configFileData());
}

void UpdateConfig::setConfigFileName(const std::wstring& name) {
    m_configFileName = inDirectoryIfBare(name, GetUpdaterDir());
}

void UpdateConfig::readConfigFile(const std::wstring& name) {
    const std::wstring path = inDirectoryIfBare(name, GetUpdaterDir());
    FILE* file = OpenForReading(path);
    if (!file) {
        const int error = errno;
        // The default file is optional. One named on purpose that cannot be read (a typo, a
        // file moved away) would silently run without its settings, its trusted keys say.
        if (error != ENOENT || path != GetUpdaterDir() + L"update.conf")
            THROW_CRITICAL(Msg<145>(path, SystemErrorText(error)), ERR_CONFIG_FILE);
        return;
    }
    FileCloser closer{file};

    std::string bytes;
    BoundedLineReader reader(file);
    while (NextLine(reader, bytes, path, ERR_CONFIG_FILE)) {
        std::wstring line = RemoveAll(LineToWide(bytes), L"\r\n");
        line = Trim(line, TRIM_BOTH, kTrimAllSpace);
        line = Trim(line.substr(0, line.find(L';')), TRIM_BOTH, kTrimAllSpace);
        if (line.empty() || line[0] == L'[' || line[0] == L'<') continue;

        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) THROW_CRITICAL(Msg<143>(path), ERR_CONFIG_FILE);
        const std::wstring readKey = Trim(ToLower(line.substr(0, eq)), TRIM_BOTH, kTrimAllSpace);
        const std::wstring value = Trim(line.substr(eq + 1), TRIM_BOTH, kTrimAllSpace);

        // Numbered keys (url3, add-var-pair12) name the numbered declaration ("url%d").
        std::wstring key = readKey;
        size_t digits = key.size();
        while (digits > 0 && key[digits - 1] >= L'0' && key[digits - 1] <= L'9') --digits;
        if (digits < key.size())
            key = Trim(key.substr(0, digits) + L"%d", TRIM_BOTH, kTrimAllSpace);

        auto option = m_params.find(key);
        if (option != m_params.end()) {
            if (option->valueCount() == 0) THROW_CRITICAL(Msg<147>(key), ERR_CONFIG_FILE);
            option->setValue(0, value);
        } else {
            m_params.noteUnknownKey(readKey, path);
        }
        // Known or not, the plug-ins see every pair as it was written.
        m_callbacks.configFileData()[readKey] = value;
    }
}

// ---------------------------------------------------------------------------------------
// Servers

void UpdateConfig::setUrlFileName(const std::wstring& name) {
    m_urlFileName = name;
}

void UpdateConfig::readUrlFile(const std::wstring& name) {
    std::wstring configDir = m_configFileName;
    const size_t slash = configDir.find_last_of(L"/\\");
    configDir = slash == std::wstring::npos ? std::wstring() : configDir.substr(0, slash + 1);
    const std::wstring path = inDirectoryIfBare(name, configDir);

    FILE* file = OpenForReading(path);
    if (!file) THROW_CRITICAL(Msg<251>(path), ERR_URL_FILE);
    FileCloser closer{file};

    std::string bytes;
    BoundedLineReader reader(file);
    while (NextLine(reader, bytes, path, ERR_URL_FILE)) {
        const std::wstring line = Trim(LineToWide(bytes), TRIM_BOTH, L" \t\r");
        if (line.size() <= 1 || line[0] == L'#') continue;
        addServerUrl(line);
    }
}

void UpdateConfig::addServerUrl(const std::wstring& url) {
    if (url.empty()) THROW_CRITICAL(Msg<149>(), ERR_EMPTY_SERVER_URL);
    const size_t sep = url.find(L"://");
    if (sep == std::wstring::npos) THROW_CRITICAL(Msg<160>(url), ERR_URL_MALFORMED);
    const std::wstring scheme = ToUpper(url.substr(0, sep));
    if (scheme != L"HTTP" && scheme != L"HTTPS" && scheme != L"FTP" && scheme != L"FILE") {
        THROW_CRITICAL(Msg<122>(url), ERR_URL_SCHEME);
    }
    m_servers.emplace(url, UpdateUri::parse(url));
}

const std::wstring& UpdateConfig::getServerUrl(size_t index) const {
    if (index >= m_servers.size()) {
        THROW_CRITICAL(Msg<152>(static_cast<unsigned long>(index)), ERR_SERVER_INDEX);
    }
    auto it = m_servers.begin();
    std::advance(it, static_cast<long>(index));
    return it->first;
}

// ---------------------------------------------------------------------------------------
// Credentials, files and plug-ins

std::wstring UpdateConfig::password(const wchar_t* option, const std::wstring& value) const {
    if (m_plainPass) return value.substr(0, kMaxCredential);
    // A value that is not in the scrambled form would be sent as an empty password, and
    // the server's refusal would not tell why: most likely a password in plain text.
    if (!value.empty() && !IsScrambledPassword(value, kPasswordLength))
        THROW_CRITICAL(Msg<1229>(option), ERR_CONFIG_FILE);
    return DescramblePassword(value, kPasswordLength, PasswordSeed()).substr(0, kMaxCredential);
}

void UpdateConfig::setProxyPassword(const std::wstring& value) {
    ConnectionConfig::setProxyUserPass(password(L"proxy-userpass", value));
}

void UpdateConfig::setSharePassword(const std::wstring& value) {
    ConnectionConfig::setShareUserPass(password(L"share-userpass", value));
}

void UpdateConfig::setInstallPath(const std::wstring& path) {
    // "./" reaches here empty (option values lose every "./"): the working directory, as
    // "." is. So does an empty value, which prepareDirectories refuses for "/".
    m_installPathEmpty = path.empty();
    std::wstring dir = normalizeDir(path.empty() ? std::wstring(L".") : path);
    // A relative path names a directory below the working directory: it is kept whole, as
    // the records of the installed files name them, so that a run started elsewhere, or
    // given the whole path, finds them.
    if (!dir.empty() && dir.front() != L'/' && dir.find(L':') == std::wstring::npos) {
        const std::wstring cwd = CurrentDir();
        if (!cwd.empty()) dir = joinPath(cwd, dir);
    }
    m_installPath = LexicalPath(dir);
}

void UpdateConfig::setBackupDir(const std::wstring& path) {
    m_backupDir = normalizeDir(path);
}

void UpdateConfig::setTempDir(const std::wstring& path) {
    std::wstring cTempVar = path;
    // A self-update run keeps the temporary directory of the run that started it.
    if (!m_selfUpdateDone && m_selfUpdateProgram.empty() && m_copyActions.empty()) {
        m_callbacks.callLib(L"changeTempDir(cTempVar)", &CUpdateLibCallbacks::changeTempDir,
                            cTempVar);
    }
    if (cTempVar != path) m_tempDirDefault = false;
    m_tempDir = normalizeDir(cTempVar);
}

void UpdateConfig::setLogFileName(const std::wstring& name) {
    std::wstring cTempVar = name;
    if (cTempVar.empty() || cTempVar.front() != L'/') {
        const std::wstring dir = GetUpdaterDir();
        if (!dir.empty()) cTempVar = joinPath(dir, cTempVar);
    }
    m_callbacks.callLib(L"changeLogFileName(cTempVar)", &CUpdateLibCallbacks::changeLogFileName,
                        cTempVar);
    m_callbacks.callGui(L"notifyLogFile(cTempVar)", &CUpdateGuiCallbacks::notifyLogFile, cTempVar);
    m_logFileName = cTempVar;
}

void UpdateConfig::setGuiLib(const std::wstring& path) {
    m_guiLib = path;
    m_callbacks.LoadGuiLib(path);
}

void UpdateConfig::setUpdateLib(const std::wstring& path) {
    m_updateLib = path;
    m_callbacks.LoadLib(path);
}

void UpdateConfig::setSelfUpdateDone() {
    m_selfUpdateDone = true;
    m_callbacks.callLib(L"notifySelfUpdateExecuted()",
                        &CUpdateLibCallbacks::notifySelfUpdateExecuted);
}

void UpdateConfig::addCopyAction(const std::wstring& action) {
    if (m_copyActions.empty()) {
        m_callbacks.callLib(L"notifyIsSelfUpdate()", &CUpdateLibCallbacks::notifyIsSelfUpdate);
    }
    const size_t bar = action.find(L'|');
    if (bar == std::wstring::npos) THROW_CRITICAL(Msg<244>(action), ERR_ACTION);
    m_copyActions.emplace_back(action.substr(0, bar), action.substr(bar + 1));
}

// ---------------------------------------------------------------------------------------
// Preparation

void UpdateConfig::prepare() {
    // Plug-ins first, so that they see every later event.
    m_params.applyPluginOptions(*this);
    m_callbacks.NotifyPlugins();
    m_callbacks.notifyVersionInfo();
    defineStandardVariables();
    applyPluginChanges();
    defineUserVariables();
    const auto tmpdir = m_params.find(L"tmpdir");
    m_tempDirDefault = tmpdir != m_params.end() && tmpdir->getValue(0) == tmpdir->defaultValue();
    expandOptionValues();
    m_callbacks.notifyConfigFile(m_configFileName);
    m_params.applyOptions(*this);
    m_optionsApplied = true;
    // A relative installation path ("app" from /opt) is named whole from here on, as the
    // installation path is: the destinations of the product are built from it, recorded,
    // and compared with those of runs that named it otherwise.
    if (!m_installPath.empty()) {
        setVariable(L"INSTALL_DIR", m_installPath);
        setVariable(L"INSTALL_PATH", m_installPath);
    }
    if (!m_logFileName.empty()) setVariable(L"LOGFILE", m_logFileName);
    if (!m_backupDir.empty()) setVariable(L"BACKUP_DIR", m_backupDir);
    prepareDirectories();
}

void UpdateConfig::defineStandardVariables() {
    errno = 0;
    const std::wstring temp = GetTempPath();
    if (temp.empty()) THROW_CRITICAL(MsgLib<22>(SystemErrorText(errno)), ERR_TEMP_DIR);
    setVariable(L"TEMP_DIR", temp);
    setVariable(L"UPDATE_TEMP", m_params.getValue(OPT_TMPDIR));
    // One spelling however the installation was named ("/opt/app/", "/opt/./app"): the
    // paths built from it are recorded and compared from run to run. Made whole once the
    // options are applied (below).
    const std::wstring installPath = LexicalPath(m_params.getValue(OPT_INSTALL_PATH));
    setVariable(L"INSTALL_DIR", installPath);
    setVariable(L"INSTALL_PATH", installPath);
    setVariable(L"CURRENT_DIR", CurrentDir());
    setVariable(L"UPDATER_PATH", GetUpdaterDir());

    // One reading of the clock for every date and time variable.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    setVariable(L"DATETIME_YEAR", Number(local.tm_year + 1900L, L"%ld"));
    setVariable(L"DATETIME_MONTH", Number(local.tm_mon + 1L, L"%2.2ld"));
    setVariable(L"DATETIME_DAY", Number(local.tm_mday, L"%2.2ld"));
    setVariable(L"DATETIME_HOUR", Number(local.tm_hour, L"%2.2ld"));
    setVariable(L"DATETIME_MINUTE", Number(local.tm_min, L"%2.2ld"));
    setVariable(L"DATETIME_SECONDS", Number(local.tm_sec, L"%2.2ld"));
    setVariable(L"DATETIME_WEEKDAY", Number(local.tm_wday, L"%ld"));
    setVariable(L"PROCESSID", Number(static_cast<long>(getpid()), L"%ld"));
    for (const wchar_t* name :
         {L"WINDIR", L"SYSTEMDIR", L"SYSTEM32DIR", L"DRIVERSDIR", L"COMMONAPPDATADIR"}) {
        setVariable(name, L"none");
    }
}

void UpdateConfig::applyPluginChanges() {
    UpdStringPairList cNewConfigData;
    const bool acted =
        m_callbacks.callLib(L"modifyConfiguration(cNewConfigData)",
                            &CUpdateLibCallbacks::modifyConfiguration, cNewConfigData);
    if (!acted) return;
    for (const auto& change : cNewConfigData) {
        const std::wstring name = ToLower(change.first);
        auto option = m_params.find(name);
        if (option == m_params.end()) THROW_CRITICAL(Msg<158>(change.first), ERR_CONFIG_FILE);
        if (option->valueCount() == 0) THROW_CRITICAL(Msg<159>(change.first), ERR_CONFIG_FILE);
        option->setValue(0, change.second);
    }
}

void UpdateConfig::defineUserVariables() {
    for (const Parameter& option : m_params) {
        if (option.id() != OPT_ADD_VAR_PAIR || !option.isSet()) continue;
        if (!option.multiple()) THROW_CRITICAL(Msg<365>(), ERR_INVALID_PARAMETER);
        for (const std::wstring& pair : option.getValues()) m_variables.addVariablePair(pair);
    }
}

void UpdateConfig::expandOptionValues() {
    for (Parameter& option : m_params) {
        if (!option.isSet()) continue;
        if (option.multiple()) {
            for (std::wstring& value : option.getValues()) expandVariables(value, true, true);
        } else {
            expandVariables(option.getValue(0), true, true);
        }
    }
}

bool UpdateConfig::createDirectory(const std::wstring& dir, int errorCode, bool privateDir) {
    UpdStringList cCreatedDirs;
    errno = 0;
    if (!m_callbacks.checkCreateDirectory(dir, cCreatedDirs, privateDir)) {
        const int error = errno;
        std::wstring text = Msg<153>(dir);
        if (error != 0) text += L": " + SystemErrorText(error);
        THROW_CRITICAL(text, errorCode);
    }
    m_createdRunDirs.insert(m_createdRunDirs.end(), cCreatedDirs.begin(), cCreatedDirs.end());
    const std::wstring bare = WithoutTrailingSlash(dir);
    for (const std::wstring& created : cCreatedDirs)
        if (WithoutTrailingSlash(created) == bare) return true;
    return false;
}

bool UpdateConfig::createRunDirectory(const std::wstring& dir, int errorCode) {
    const bool created = createDirectory(dir, errorCode, true);
    const std::wstring fault = DirectoryTrustFault(dir);
    if (!fault.empty()) THROW_CRITICAL(Msg<815>(dir, fault), errorCode);
    return created;
}

void UpdateConfig::createUniqueTempDir() {
    const std::wstring pattern = WithoutTrailingSlash(m_updateDirs.m_tmpdir);
    std::wstring parent = GetDirPart(pattern);
    if (const char* env = std::getenv("TMPDIR"); env != nullptr && env[0] == '/') {
        // A name this locale cannot read would become "" and the directory "/Update_...".
        std::wstring given;
        if (MultibyteToWide(env, given) && !given.empty())
            parent = normalizeDir(given);
        else
            LogWarning(L"%s\n", Msg<1241>(parent).c_str());
    }
    const std::wstring prefix = joinPath(parent, GetLastComponent(pattern)) + L"_";
    const std::wstring dir = CreateUniqueDirectory(prefix);
    if (dir.empty())
        THROW_CRITICAL(Msg<815>(prefix + L"XXXXXX", SystemErrorText(errno)), ERR_TEMP_DIR);
    const std::wstring fault = DirectoryTrustFault(dir);
    if (!fault.empty()) {
        ::rmdir(ToMultibyte(dir).c_str());
        THROW_CRITICAL(Msg<815>(dir, fault), ERR_TEMP_DIR);
    }
    m_createdRunDirs.push_back(dir);
    m_tempDir = dir;
    m_updateDirs.m_tmpdir = dir + L"/";
    setVariable(L"UPDATE_TEMP", dir);
    // The plug-in hears of it as of every directory of the run.
    createDirectory(m_updateDirs.m_tmpdir, ERR_TEMP_DIR);
}

void UpdateConfig::warnUnknownOptions() const {
    for (const Parameters::UnknownKey& unknown : m_params.unknownKeys()) {
        const std::wstring where = unknown.source.empty() ? Msg<693>() : unknown.source;
        const std::wstring nearest = m_params.nearestName(unknown.key);
        if (nearest.empty())
            LogWarning(L"%s\n", Msg<692>(unknown.key, where).c_str());
        else
            LogWarning(L"%s\n", Msg<691>(unknown.key, where, nearest).c_str());
    }
}

void UpdateConfig::prepareDirectories() {
    // The working directory stands in for a missing install-path; when that is the root
    // directory (a service started without a working directory of its own), the run would
    // spread the product over the whole system. Only an explicit "/" installs there. A
    // self-update helper works on the files it is given, not on an installation.
    const bool explicitPath = m_callbacks.configFileData().count(L"install-path") != 0;
    const bool helper = !m_copyActions.empty() || !m_selfUpdateProgram.empty();
    const std::wstring installDir = normalizeDir(m_installPath);
    if ((!explicitPath || m_installPathEmpty) && !helper &&
        (installDir.empty() || installDir == L"/"))
        THROW_CRITICAL(Msg<694>(), ERR_INSTALL_DIR);
    // The records of the installed files hold a path per line: a line end in the path would
    // leave them out, and with them the edits kept in configuration files.
    if (installDir.find_first_of(L"\n\r") != std::wstring::npos)
        THROW_CRITICAL(Msg<1242>(installDir), ERR_INSTALL_DIR);
    if (!explicitPath && !helper && m_status.empty())
        LogInfo(L"%s\n", Msg<851>(installDir).c_str());
    if (m_backupDir.empty()) {
        m_backupDir = normalizeDir(joinPath(m_installPath, L"backup"));
        setVariable(L"BACKUP_DIR", m_backupDir);
    }
    m_updateDirs.m_installdir = normalizeDir(m_installPath) + L"/";
    m_updateDirs.m_tmpdir = normalizeDir(m_tempDir) + L"/";
    m_updateDirs.m_backupdir = normalizeDir(m_backupDir) + L"/";
    // A run that only prints the installation's state makes nothing.
    if (!m_status.empty()) return;
    createDirectory(m_updateDirs.m_installdir, ERR_INSTALL_DIR);
    // The installation comes first: a temporary or backup directory that is the
    // installation or one of its parents is never taken as created for the run.
    // Both are the run's own: another user who could change them could swap what the run
    // verified before it is installed.
    if (m_tempDirDefault) {
        createUniqueTempDir();
        m_tmpDirCreated = true;
    } else {
        m_tmpDirCreated = createRunDirectory(m_updateDirs.m_tmpdir, ERR_TEMP_DIR);
    }
    // A check-only run backs nothing up: its backup directory (by default inside the
    // installation) is not made, so that the check writes nothing there.
    m_backupDirCreated =
        !m_checkDirty && createRunDirectory(m_updateDirs.m_backupdir, ERR_BACKUP_DIR);
    if (m_logFileName.empty()) {
        m_logFileName = joinPath(joinPath(m_installPath, L"logs"), L"update.log");
    }
}

}  // namespace UpdateNew
