#include "config/UpdateParameters.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/StringUtils.h"

namespace UpdateNew {

const wchar_t* const CUpdateParameters::kProductVersion = L"7.0.10";

namespace {

constexpr uint32_t kSwitch = 0;
constexpr uint32_t kValue = 1;
constexpr size_t kMaxProxyServer = 1023;
constexpr size_t kMaxCredential = 63;

const wchar_t* const kUrlHelp =
    L"The url that is the root of the update (for example http://updates.example.com/product)";
const wchar_t* const kVarPairHelp = L"Add a variable defined in the info file";
const wchar_t* const kDefaultTmpDir =
    L"%TEMP_DIR%/Update_%DATETIME_YEAR%%DATETIME_MONTH%%DATETIME_DAY%_%DATETIME_HOUR%"
    L"%DATETIME_MINUTE%%DATETIME_SECONDS%_%PROCESSID%";

// A flag is on for "1" and for "true" in any case; any other text leaves it off.
bool FlagValue(const std::wstring& value) {
    if (value == L"1") return true;
    return ToLower(value) == L"true";
}

// The most transfers `parallel` allows: more only opens more connections to one server.
constexpr int kMaxParallel = 64;

[[noreturn]] void ThrowBadValue(const wchar_t* option, const std::wstring& value,
                                const wchar_t* expected) {
    THROW_CRITICAL(Msg<840>(option, value, expected), ERR_CONFIG_FILE);
}

// Reads `text` as a whole decimal number of 1 to `maxDigits` digits; false otherwise.
bool WholeNumber(const std::wstring& text, size_t maxDigits, unsigned long long& number) {
    number = 0;
    if (text.empty() || text.size() > maxDigits) return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<unsigned long long>(c - L'0');
    }
    return true;
}

// `parallel`: a whole number from 1 to kMaxParallel.
int ParallelValue(const std::wstring& value) {
    unsigned long long number = 0;
    if (!WholeNumber(Trim(value), 3, number) || number < 1 || number > kMaxParallel)
        ThrowBadValue(L"parallel", value, L"a whole number from 1 to 64");
    return static_cast<int>(number);
}

// `max-rate`: bytes a second, a whole number optionally followed by K (KiB) or M (MiB).
unsigned long long RateValue(const std::wstring& value) {
    std::wstring text = Trim(value);
    unsigned long long unit = 1;
    if (!text.empty() && (text.back() == L'K' || text.back() == L'k')) unit = 1024;
    if (!text.empty() && (text.back() == L'M' || text.back() == L'm')) unit = 1024 * 1024;
    if (unit > 1) text.pop_back();
    unsigned long long number = 0;
    if (!WholeNumber(text, 12, number))
        ThrowBadValue(L"max-rate", value,
                      L"bytes a second as a whole number, optionally followed by K or M");
    return number * unit;
}

// The leading decimal number of the value, read from its UTF-8 form like atoi: leading
// blanks and a sign allowed, 0 without digits, clamped to the int range. False when the
// text holds a character that has no UTF-8 form (the field then stays unchanged).
bool DecimalValue(const std::wstring& value, int& number) {
    for (wchar_t c : value) {
        const unsigned long u = static_cast<unsigned long>(c);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
    }
    const std::string utf8 = WideToUtf8(value);
    long n = std::strtol(utf8.c_str(), nullptr, 10);
    if (n > INT_MAX) n = INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    number = static_cast<int>(n);
    return true;
}

}  // namespace

CUpdateParameters::CUpdateParameters(const std::wstring& updaterDir,
                                     const std::wstring& currentDir) {
    std::wstring configFile = updaterDir;
    if (!configFile.empty() && configFile.back() != L'/') configFile += L'/';
    configFile += L"update.conf";
    const std::wstring none = Parameter::kNoDefault;

    // Order matters: help output, validation and application all follow it.
    // (id, name, value count, help, default, alone, mandatory, multiple, depends on)
    declare(OPT_RETRIES, L"retries", kValue,
            L"Number of retries until an error will be submitted.(Defaults to 1)", L"1");
    declare(OPT_TIMEOUT, L"timeout", kValue,
            L"Timeout for an internet connection.(Defaults to 10 seconds)", L"10");
    declare(OPT_PARALLEL, L"parallel", kValue,
            L"Module files in flight at once, 1 to 64 (1: one after the other)", L"8");
    declare(OPT_MAX_RATE, L"max-rate", kValue,
            L"Most bytes a second the run receives, with K or M for KiB or MiB (0: no cap)", L"0");
    declare(OPT_MIRROR, L"mirror", kValue, L"Performs a mirror.Does not execute PRE,POST,UNPOST",
            L"0");
    declare(OPT_PLAIN_PASS, L"plain-pass", kValue, L"Treat password as plain text", L"0");
    declare(OPT_PROXY_SERVER, L"proxy-server", kValue, L"Set proxy server", none, false, false,
            false, OPT_PROXY_PORT);
    declare(OPT_PROXY_PORT, L"proxy-port", kValue, L"Set proxy port", none, false, false, false,
            OPT_PROXY_SERVER);
    declare(OPT_PROXY_USERNAME, L"proxy-username", kValue,
            L"Set proxy USERNAME for proxy authentication", none, false, false, false,
            OPT_PROXY_USERPASS);
    declare(OPT_PROXY_USERPASS, L"proxy-userpass", kValue,
            L"Set proxy PASS for proxy authentication", none, false, false, false,
            OPT_PROXY_USERNAME);
    declare(OPT_SHARE_USERNAME, L"share-username", kValue,
            L"Set USERNAME for authenticating while accessing a shared folder", none, false, false,
            false, OPT_SHARE_USERPASS);
    declare(OPT_SHARE_USERPASS, L"share-userpass", kValue,
            L"Set PASS for authenticating while accessing a shared folder", none, false, false,
            false, OPT_SHARE_USERNAME);
    declare(OPT_HELP, L"help", kSwitch, L"Help about the options", none);
    declare(OPT_INSTALL_PATH, L"install-path", kValue, L"Set the path where to install the updates",
            currentDir);
    declare(OPT_CONFIG_FILE, L"config-file", kValue,
            L"Path to a configuration file that will be used instead of all parameters",
            configFile);
    declare(OPT_MASTER_IDX, L"masteridx", kValue,
            L"The relative path to the MasterIdx file (serverroot is defaultsrv)", none, false,
            true);
    declare(OPT_DEFAULT_SERVER, L"defaultsrv", kValue,
            L"The root to the default update server (in internet)", none, false, false, false,
            OPT_MASTER_IDX);
    declare(OPT_PRODUCT_FILE, L"productfile", kValue,
            L"The relative path to the ProductFile file (serverroot is defaultsrv)", none, false,
            false, false, OPT_DEFAULT_SERVER);
    declare(OPT_URL_FILE, L"url-file", kValue, L"The url file with update urls", none, false, false,
            false, OPT_PRODUCT_INFO_FILE);
    declare(OPT_URL_NUMBERED, L"url%d", kValue, kUrlHelp, none, false, false, true,
            OPT_PRODUCT_INFO_FILE);
    declare(OPT_URL, L"url", kValue, kUrlHelp, none, false, false, true, OPT_PRODUCT_INFO_FILE);
    declare(OPT_PRODUCT_INFO_FILE, L"productinfofile", kValue, L"The product's info-file name",
            none, false, false, false, OPT_PRODUCT_ROOT);
    declare(OPT_PRODUCT_ROOT, L"productroot", kValue, L"The root directory of the update binaries",
            none, false, false, false, OPT_PRODUCT_INFO_FILE);
    declare(OPT_COPYACTION, L"copyaction", kValue,
            L"File which has to be copied in selfupdate, param = src|dest", none, false, false,
            true);
    declare(OPT_EXECACTION, L"execaction", kValue,
            L"File which has to be executed in selfupdate, param = app", none, false, false, true);
    declare(OPT_NOSELFUPDATE, L"noselfupdate", kSwitch,
            L"No more selfupdate (because selfupdate already has taken place)", none);
    declare(OPT_GUILIB, L"guilib", kValue, L"Extension library for gui creation", none);
    declare(OPT_UPDATELIB, L"updatelib", kValue, L"Extension library for functionality replacing",
            none);
    declare(OPT_ADD_VAR_PAIR, L"add-var-pair", kValue, kVarPairHelp, none, false, false, true);
    declare(OPT_ADD_VAR_PAIR, L"add-var-pair%d", kValue, kVarPairHelp, none, false, false, true);
    declare(OPT_BACKUP_DIR, L"backup-dir", kValue, L"The backup directory",
            L"%INSTALL_DIR%\\backup");
    declare(OPT_USERAGENT, L"useragent", kValue,
            L"User Agent String which is sent to the http server on download", none);
    declare(OPT_LOGFILE, L"logfile", kValue, L"Specifies the name of the logfile", L"update.log");
    declare(OPT_TMPDIR, L"tmpdir", kValue, L"Subdirectory in temp path", kDefaultTmpDir);
    declare(OPT_IDX_LOCAL_NAME, L"idxlocalname", kValue, L"Local idx filename", none);
    declare(OPT_CHECKDIRTY, L"checkdirty", kSwitch, L"Checks whether remote files are dirty", none);
    declare(OPT_IGNORE_SERVER_LIST, L"productfileignoreserverlist", kValue,
            L"Uses serverlist entries from update configuration", none);
    declare(OPT_TMP_FILES_LIST, L"TmpFilesList", kValue, L"Internally used", none);
    declare(OPT_IGNORE_MASTER_IDX, L"IgnoreMasterIDX", kValue,
            L"Tells the updater to ignore the master.idx file", none);
    declare(OPT_VERSION, L"version", kSwitch, L"Show version information", none);
    declare(OPT_LOG_APPEND, L"log-append", kValue, L"Append to log file", L"0");
    declare(OPT_LOG_TEMPLATE, L"log-template", kValue, L"Set template for log", none, false, false,
            false, OPT_LOG_TEMPLATE);
}

CUpdateParameters::~CUpdateParameters() = default;

void CUpdateParameters::validate() const {
    Parameters::validate();
    // A self-update run is described by its actions alone.
    if (isSet(OPT_EXECACTION) || isSet(OPT_COPYACTION)) return;

    const bool productFile = isSet(OPT_PRODUCT_FILE);
    const bool urls = isSet(OPT_URL) || isSet(OPT_URL_NUMBERED) || isSet(OPT_URL_FILE);
    const bool infoFile = isSet(OPT_PRODUCT_INFO_FILE);
    const bool root = isSet(OPT_PRODUCT_ROOT);
    const bool ok = isSet(OPT_DEFAULT_SERVER) ? (productFile && !urls && !infoFile && !root)
                                              : (!productFile && urls && infoFile && root);
    if (!ok) THROW_CRITICAL(Msg<366>(), ERR_CONFIG_FILE);
}

bool CUpdateParameters::parseCommandLine(int argc, const wchar_t* const* argv,
                                         UpdateOptionTarget& target,
                                         std::map<std::wstring, std::wstring>& configData) {
    return Parameters::parseCommandLine(
        argc, argv, OPT_CONFIG_FILE, configData,
        [this, &target](const std::wstring& name) { apply(OPT_CONFIG_FILE, name, target); });
}

void CUpdateParameters::apply(int32_t id, const std::wstring& value,
                              UpdateOptionTarget& target) const {
    int number = 0;
    switch (id) {
        case OPT_RETRIES:
            if (DecimalValue(value, number)) target.setRetries(number);
            break;
        case OPT_TIMEOUT:
            if (DecimalValue(value, number)) target.setTimeout(number);
            break;
        case OPT_PARALLEL:
            target.setParallel(ParallelValue(value));
            break;
        case OPT_MAX_RATE:
            target.setMaxRate(RateValue(value));
            break;
        case OPT_PROXY_SERVER:
            target.setProxy(value.substr(0, kMaxProxyServer));
            break;
        case OPT_PROXY_PORT:
            if (DecimalValue(value, number)) target.setProxyPort(number);
            break;
        case OPT_PROXY_USERNAME:
            target.setProxyUsername(value.substr(0, kMaxCredential));
            break;
        case OPT_PROXY_USERPASS:
            target.setProxyPassword(value);
            break;
        case OPT_SHARE_USERNAME:
            target.setShareUsername(value.substr(0, kMaxCredential));
            break;
        case OPT_SHARE_USERPASS:
            target.setSharePassword(value);
            break;
        case OPT_INSTALL_PATH:
            target.setInstallPath(value);
            break;
        case OPT_CONFIG_FILE:
            target.setConfigFileName(value);
            target.readConfigFile(value);
            break;
        case OPT_URL:
        case OPT_URL_NUMBERED:
            target.addServerUrl(value);
            break;
        case OPT_ADD_VAR_PAIR:  // defines path variables during preparation, not here
            break;
        case OPT_HELP:
            printUtf8(stdout);
            std::fflush(stdout);
            std::exit(0);
        case OPT_URL_FILE:
            target.setUrlFileName(value);
            target.readUrlFile(value);
            break;
        case OPT_PRODUCT_INFO_FILE:
            target.setProductInfoFile(value);
            break;
        case OPT_BACKUP_DIR:
            target.setBackupDir(value);
            break;
        case OPT_LOGFILE:
            target.setLogFileName(value);
            break;
        case OPT_MIRROR:
            if (FlagValue(value)) target.setMirror(true);
            break;
        case OPT_DEFAULT_SERVER:
            target.setDefaultServer(value);
            break;
        case OPT_MASTER_IDX:
            target.setMasterIdx(value);
            break;
        case OPT_PRODUCT_FILE:
            target.setProductFile(value);
            break;
        case OPT_PRODUCT_ROOT:
            target.setProductRoot(value);
            break;
        case OPT_GUILIB:
            target.setGuiLib(value);
            break;
        case OPT_UPDATELIB:
            target.setUpdateLib(value);
            break;
        case OPT_TMPDIR:
            target.setTempDir(value);
            break;
        case OPT_USERAGENT:  // accepted, but the downloader sends its own user agent
            break;
        case OPT_NOSELFUPDATE:
            target.setSelfUpdateDone();
            break;
        case OPT_COPYACTION:
            target.addCopyAction(value);
            break;
        case OPT_EXECACTION:
            target.setSelfUpdateProgram(value);
            break;
        case OPT_IDX_LOCAL_NAME:
            target.setIdxLocalName(value);
            break;
        case OPT_CHECKDIRTY:
            target.setCheckDirty(true);
            break;
        case OPT_IGNORE_SERVER_LIST:
            if (FlagValue(value)) target.setIgnoreServerList(true);
            break;
        case OPT_TMP_FILES_LIST:
            target.setTmpFilesList(value);
            break;
        case OPT_IGNORE_MASTER_IDX:
            if (FlagValue(value)) target.setIgnoreMasterIdx(true);
            break;
        case OPT_PLAIN_PASS:
            if (FlagValue(value)) target.setPlainPass(true);
            break;
        case OPT_VERSION: {
            const std::string version = WideToUtf8(kProductVersion);
            if (std::fwide(stdout, 0) > 0)
                std::fwprintf(stdout, L"Product version : %ls\n", kProductVersion);
            else
                std::fprintf(stdout, "Product version : %s\n", version.c_str());
            std::fflush(stdout);
            THROW_CRITICAL(Msg<1>(), ERR_NONE);
        }
        case OPT_LOG_TEMPLATE:
            target.setLogTemplate(value);
            break;
        case OPT_LOG_APPEND:
            if (FlagValue(value)) target.setLogAppend(true);
            break;
        default:
            break;
    }
}

void CUpdateParameters::applyPluginOptions(UpdateOptionTarget& target) const {
    for (const Parameter& p : *this) {
        if (!p.isSet() || (p.id() != OPT_GUILIB && p.id() != OPT_UPDATELIB)) continue;
        apply(p.id(), p.getValue(0), target);
    }
}

void CUpdateParameters::applyOptions(UpdateOptionTarget& target) const {
    for (const Parameter& p : *this) {
        if (!p.isSet()) continue;
        if (p.id() == OPT_CONFIG_FILE || p.id() == OPT_GUILIB || p.id() == OPT_UPDATELIB) continue;
        if (p.multiple()) {
            // Copied, so that a target that gives the table more values meanwhile cannot
            // invalidate the loop.
            const std::vector<std::wstring> values = p.getValues();
            for (const std::wstring& v : values) apply(p.id(), v, target);
        } else {
            apply(p.id(), p.getValue(0), target);
        }
    }
}

}  // namespace UpdateNew
