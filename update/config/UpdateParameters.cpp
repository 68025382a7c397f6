#include "config/UpdateParameters.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "base/Console.h"
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

// What applying a value does, one function per kind of setter. The table's rows name them
// with the setter they call, so a row says in full what its option sets.
using Setter = void (*)(const CUpdateParameters& table, const std::wstring& value,
                        UpdateOptionTarget& target);

template <void (UpdateOptionTarget::*Set)(const std::wstring&)>
void Text(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    (target.*Set)(value);
}

// The text cut to `Limit` characters.
template <void (UpdateOptionTarget::*Set)(const std::wstring&), size_t Limit>
void Cut(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    (target.*Set)(value.substr(0, Limit));
}

// A decimal number; a text without a UTF-8 form leaves the field as it was.
template <void (UpdateOptionTarget::*Set)(int)>
void Number(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    int number = 0;
    if (DecimalValue(value, number)) (target.*Set)(number);
}

// A flag value: "1" or "true" switches it on, anything else leaves it as it was.
template <void (UpdateOptionTarget::*Set)(bool)>
void Flag(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    if (FlagValue(value)) (target.*Set)(true);
}

// A flag that can also be switched off: "1" or "true" on, "0" or "false" off. Anything
// else ends the run: "yes" switching a safeguard off without a word is worse.
template <void (UpdateOptionTarget::*Set)(bool), const wchar_t* Name>
void OnOff(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    const std::wstring word = ToLower(Trim(value));
    if (word != L"0" && word != L"false" && !FlagValue(word))
        ThrowBadValue(Name, value, L"1 (or true) or 0 (or false)");
    (target.*Set)(FlagValue(word));
}
constexpr wchar_t kDelta[] = L"delta";
constexpr wchar_t kRetryFailed[] = L"retry-failed";
constexpr wchar_t kStatCache[] = L"stat-cache";

// A switch: given means on.
template <void (UpdateOptionTarget::*Set)(bool)>
void On(const CUpdateParameters&, const std::wstring&, UpdateOptionTarget& target) {
    (target.*Set)(true);
}

// A name stored, then the file it names read (`config-file`, `url-file`).
template <void (UpdateOptionTarget::*Name)(const std::wstring&),
          void (UpdateOptionTarget::*Read)(const std::wstring&)>
void NameAndRead(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    (target.*Name)(value);
    (target.*Read)(value);
}

// Accepted, with no effect of its own: `add-var-pair` defines path variables during the
// preparation; `useragent` is kept for old command lines, the downloader sends its own.
void Nothing(const CUpdateParameters&, const std::wstring&, UpdateOptionTarget&) {}

// `parallel` and `max-rate`: checked numbers; a bad value fails the run (message 840).
void Parallel(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    target.setParallel(ParallelValue(value));
}

void MaxRate(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    target.setMaxRate(RateValue(value));
}

void SelfUpdateDone(const CUpdateParameters&, const std::wstring&, UpdateOptionTarget& target) {
    target.setSelfUpdateDone();
}

// `help`: the table on standard output, then the process ends with status 0 (255 when it
// could not be written).
[[noreturn]] void Help(const CUpdateParameters& table, const std::wstring&, UpdateOptionTarget&) {
    table.printUtf8(stdout);
    std::exit(AnswerWritten(L"The option help") ? 0 : 255);
}

// `version`: the version line, then the run ends with message 1 and code 0.
[[noreturn]] void Version(const CUpdateParameters&, const std::wstring&, UpdateOptionTarget&) {
    const wchar_t* version = CUpdateParameters::kProductVersion;
    if (std::fwide(stdout, 0) > 0)
        std::fwprintf(stdout, L"Product version : %ls\n", version);
    else
        std::fprintf(stdout, "Product version : %s\n", WideToUtf8(version).c_str());
    std::fflush(stdout);
    THROW_CRITICAL(Msg<1>(), ERR_NONE);
}

// `status`: "text" or "json", the form in which the installation's state is printed.
void Status(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    const std::wstring form = ToLower(Trim(value));
    if (form != L"text" && form != L"json") ThrowBadValue(L"status", value, L"text or json");
    target.setStatus(form);
}

// `trust-threshold`: a whole number of distinct keys, 1 to 8 (the most signatures an index
// carries); anything else ends the run before a server is asked.
// `check-timeout`: whole seconds from 1 to a day.
// `full-check-every`: 0 (never) or the period in runs, up to 1000000.
void FullCheckEvery(const CUpdateParameters&, const std::wstring& value,
                    UpdateOptionTarget& target) {
    unsigned long long runs = 0;
    if (!WholeNumber(Trim(value), 7, runs) || runs > 1000000)
        ThrowBadValue(L"full-check-every", value, L"a whole number from 0 to 1000000");
    target.setFullCheckEvery(static_cast<int>(runs));
}

// `timeout`: the leading number, as for every number of the table ("5s" is 5); one that
// gives no second at all ("abc", 0, -1) would let a server that stops answering hold the
// run for ever, and ends the run instead.
void Timeout(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    int seconds = 0;
    if (!DecimalValue(value, seconds)) return;
    // More than a day is no time-out a transfer library takes (beyond about 24 days it
    // refused every transfer), and most likely a typing error.
    if (seconds < 1 || seconds > 86400)
        ThrowBadValue(L"timeout", value, L"a number of seconds from 1 to 86400");
    target.setTimeout(seconds);
}

// `proxy-port`: the leading number, as for every number of the table ("8080 " is 8080); a
// value with no number at all, or beyond the ports, would send the requests to another
// port than the one meant.
void ProxyPort(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    const std::wstring text = Trim(value);
    int port = 0;
    if (!DecimalValue(text, port)) return;  // no text form: left alone, as every number
    if (text.empty() || text[0] < L'0' || text[0] > L'9' || port > 65535)
        ThrowBadValue(L"proxy-port", value, L"a port number from 0 to 65535");
    target.setProxyPort(port);
}

void CheckTimeout(const CUpdateParameters&, const std::wstring& value, UpdateOptionTarget& target) {
    unsigned long long seconds = 0;
    if (!WholeNumber(Trim(value), 5, seconds) || seconds < 1 || seconds > 86400)
        ThrowBadValue(L"check-timeout", value, L"whole seconds from 1 to 86400");
    target.setCheckTimeout(static_cast<int>(seconds));
}

// `candidate`: auto, always or never.
void CandidateModeValue(const CUpdateParameters&, const std::wstring& value,
                        UpdateOptionTarget& target) {
    const std::wstring mode = ToLower(Trim(value));
    if (mode != L"auto" && mode != L"always" && mode != L"never")
        ThrowBadValue(L"candidate", value, L"auto, always or never");
    target.setCandidateMode(mode);
}

void TrustThreshold(const CUpdateParameters&, const std::wstring& value,
                    UpdateOptionTarget& target) {
    int keys = 0;
    const std::string text = WideToUtf8(value);
    if (text.size() != 1 || text[0] < '1' || text[0] > '8')
        THROW_CRITICAL(Msg<809>(value), ERR_INVALID_PARAMETER);
    keys = text[0] - '0';
    target.setTrustThreshold(keys);
}

// Where a default value comes from: the row's text, the working directory at start-up
// (the installation path), or the updater's directory joined with the row's text.
enum class DefaultFrom { Text, WorkingDir, UpdaterDir };

constexpr unsigned kMandatory = 1;
constexpr unsigned kMultiple = 2;
// The option decides where files go, what runs or what is trusted: an unknown key that
// looks like a typo of it ends the run instead of reaching the plug-ins (the run would
// otherwise go on with the default: installing into the working directory, or taking an
// unsigned index).
constexpr unsigned kTypoRefused = 4;
constexpr int32_t kNoDependency = -1;

using T = UpdateOptionTarget;

// One row per option. Order matters: help output, validation and application all follow
// it. An option with two spellings (`add-var-pair`, `add-var-pair%d`) has two rows with
// one id. `default` null: no default.
struct OptionRow {
    EUpdateOptionId id;
    const wchar_t* name;
    uint32_t valueCount;  // kSwitch or kValue
    const wchar_t* defaultValue;
    DefaultFrom defaultFrom;
    unsigned flags;  // kMandatory, kMultiple, kTypoRefused
    int32_t dependsOn;
    Setter apply;
    const wchar_t* help;
};

const OptionRow kOptionTable[] = {
    {OPT_RETRIES, L"retries", kValue, L"1", DefaultFrom::Text, 0, kNoDependency,
     Number<&T::setRetries>, L"Number of retries until an error will be submitted.(Defaults to 1)"},
    {OPT_TIMEOUT, L"timeout", kValue, L"10", DefaultFrom::Text, 0, kNoDependency, Timeout,
     L"Timeout for an internet connection.(Defaults to 10 seconds)"},
    {OPT_PARALLEL, L"parallel", kValue, L"8", DefaultFrom::Text, 0, kNoDependency, Parallel,
     L"Module files in flight at once, 1 to 64 (1: one after the other)"},
    {OPT_MAX_RATE, L"max-rate", kValue, L"0", DefaultFrom::Text, 0, kNoDependency, MaxRate,
     L"Most bytes a second the run receives, with K or M for KiB or MiB (0: no cap)"},
    {OPT_MIRROR, L"mirror", kValue, L"0", DefaultFrom::Text, 0, kNoDependency, Flag<&T::setMirror>,
     L"Performs a mirror.Does not execute PRE,POST,UNPOST"},
    {OPT_PLAIN_PASS, L"plain-pass", kValue, L"0", DefaultFrom::Text, 0, kNoDependency,
     Flag<&T::setPlainPass>, L"Treat password as plain text"},
    {OPT_PROXY_SERVER, L"proxy-server", kValue, nullptr, DefaultFrom::Text, 0, OPT_PROXY_PORT,
     Cut<&T::setProxy, kMaxProxyServer>, L"Set proxy server"},
    {OPT_PROXY_PORT, L"proxy-port", kValue, nullptr, DefaultFrom::Text, 0, OPT_PROXY_SERVER,
     ProxyPort, L"Set proxy port"},
    {OPT_PROXY_USERNAME, L"proxy-username", kValue, nullptr, DefaultFrom::Text, 0,
     OPT_PROXY_USERPASS, Cut<&T::setProxyUsername, kMaxCredential>,
     L"Set proxy USERNAME for proxy authentication"},
    {OPT_PROXY_USERPASS, L"proxy-userpass", kValue, nullptr, DefaultFrom::Text, 0,
     OPT_PROXY_USERNAME, Text<&T::setProxyPassword>, L"Set proxy PASS for proxy authentication"},
    {OPT_SHARE_USERNAME, L"share-username", kValue, nullptr, DefaultFrom::Text, 0,
     OPT_SHARE_USERPASS, Cut<&T::setShareUsername, kMaxCredential>,
     L"Set USERNAME for authenticating while accessing a shared folder"},
    {OPT_SHARE_USERPASS, L"share-userpass", kValue, nullptr, DefaultFrom::Text, 0,
     OPT_SHARE_USERNAME, Text<&T::setSharePassword>,
     L"Set PASS for authenticating while accessing a shared folder"},
    {OPT_HELP, L"help", kSwitch, nullptr, DefaultFrom::Text, 0, kNoDependency, Help,
     L"Help about the options"},
    {OPT_INSTALL_PATH, L"install-path", kValue, L"", DefaultFrom::WorkingDir, kTypoRefused,
     kNoDependency, Text<&T::setInstallPath>, L"Set the path where to install the updates"},
    {OPT_CONFIG_FILE, L"config-file", kValue, L"update.conf", DefaultFrom::UpdaterDir, kTypoRefused,
     kNoDependency, NameAndRead<&T::setConfigFileName, &T::readConfigFile>,
     L"Path to a configuration file that will be used instead of all parameters"},
    {OPT_MASTER_IDX, L"masteridx", kValue, nullptr, DefaultFrom::Text, kMandatory, kNoDependency,
     Text<&T::setMasterIdx>, L"The relative path to the MasterIdx file (serverroot is defaultsrv)"},
    {OPT_DEFAULT_SERVER, L"defaultsrv", kValue, nullptr, DefaultFrom::Text, 0, OPT_MASTER_IDX,
     Text<&T::setDefaultServer>, L"The root to the default update server (in internet)"},
    {OPT_PRODUCT_FILE, L"productfile", kValue, nullptr, DefaultFrom::Text, 0, OPT_DEFAULT_SERVER,
     Text<&T::setProductFile>,
     L"The relative path to the ProductFile file (serverroot is defaultsrv)"},
    {OPT_URL_FILE, L"url-file", kValue, nullptr, DefaultFrom::Text, 0, OPT_PRODUCT_INFO_FILE,
     NameAndRead<&T::setUrlFileName, &T::readUrlFile>, L"The url file with update urls"},
    {OPT_URL_NUMBERED, L"url%d", kValue, nullptr, DefaultFrom::Text, kMultiple,
     OPT_PRODUCT_INFO_FILE, Text<&T::addServerUrl>, kUrlHelp},
    {OPT_URL, L"url", kValue, nullptr, DefaultFrom::Text, kMultiple, OPT_PRODUCT_INFO_FILE,
     Text<&T::addServerUrl>, kUrlHelp},
    {OPT_PRODUCT_INFO_FILE, L"productinfofile", kValue, nullptr, DefaultFrom::Text, 0,
     OPT_PRODUCT_ROOT, Text<&T::setProductInfoFile>, L"The product's info-file name"},
    {OPT_PRODUCT_ROOT, L"productroot", kValue, nullptr, DefaultFrom::Text, 0, OPT_PRODUCT_INFO_FILE,
     Text<&T::setProductRoot>, L"The root directory of the update binaries"},
    {OPT_COPYACTION, L"copyaction", kValue, nullptr, DefaultFrom::Text, kMultiple, kNoDependency,
     Text<&T::addCopyAction>, L"File which has to be copied in selfupdate, param = src|dest"},
    {OPT_EXECACTION, L"execaction", kValue, nullptr, DefaultFrom::Text, kMultiple, kNoDependency,
     Text<&T::setSelfUpdateProgram>, L"File which has to be executed in selfupdate, param = app"},
    {OPT_NOSELFUPDATE, L"noselfupdate", kSwitch, nullptr, DefaultFrom::Text, 0, kNoDependency,
     SelfUpdateDone, L"No more selfupdate (because selfupdate already has taken place)"},
    {OPT_GUILIB, L"guilib", kValue, nullptr, DefaultFrom::Text, kTypoRefused, kNoDependency,
     Text<&T::setGuiLib>, L"Extension library for gui creation"},
    {OPT_UPDATELIB, L"updatelib", kValue, nullptr, DefaultFrom::Text, kTypoRefused, kNoDependency,
     Text<&T::setUpdateLib>, L"Extension library for functionality replacing"},
    {OPT_ADD_VAR_PAIR, L"add-var-pair", kValue, nullptr, DefaultFrom::Text, kMultiple,
     kNoDependency, Nothing, kVarPairHelp},
    {OPT_ADD_VAR_PAIR, L"add-var-pair%d", kValue, nullptr, DefaultFrom::Text, kMultiple,
     kNoDependency, Nothing, kVarPairHelp},
    {OPT_BACKUP_DIR, L"backup-dir", kValue, L"%INSTALL_DIR%\\backup", DefaultFrom::Text,
     kTypoRefused, kNoDependency, Text<&T::setBackupDir>, L"The backup directory"},
    {OPT_USERAGENT, L"useragent", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency, Nothing,
     L"User Agent String which is sent to the http server on download"},
    {OPT_LOGFILE, L"logfile", kValue, L"update.log", DefaultFrom::Text, 0, kNoDependency,
     Text<&T::setLogFileName>, L"Specifies the name of the logfile"},
    {OPT_TMPDIR, L"tmpdir", kValue, kDefaultTmpDir, DefaultFrom::Text, kTypoRefused, kNoDependency,
     Text<&T::setTempDir>, L"Subdirectory in temp path"},
    {OPT_IDX_LOCAL_NAME, L"idxlocalname", kValue, nullptr, DefaultFrom::Text, kTypoRefused,
     kNoDependency, Text<&T::setIdxLocalName>, L"Local idx filename"},
    {OPT_CHECKDIRTY, L"checkdirty", kSwitch, nullptr, DefaultFrom::Text, 0, kNoDependency,
     On<&T::setCheckDirty>, L"Checks whether remote files are dirty"},
    {OPT_IGNORE_SERVER_LIST, L"productfileignoreserverlist", kValue, nullptr, DefaultFrom::Text, 0,
     kNoDependency, Flag<&T::setIgnoreServerList>,
     L"Uses serverlist entries from update configuration"},
    {OPT_TMP_FILES_LIST, L"TmpFilesList", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency,
     Text<&T::setTmpFilesList>, L"Internally used"},
    {OPT_IGNORE_MASTER_IDX, L"IgnoreMasterIDX", kValue, nullptr, DefaultFrom::Text, 0,
     kNoDependency, Flag<&T::setIgnoreMasterIdx>,
     L"Tells the updater to ignore the master.idx file"},
    {OPT_VERSION, L"version", kSwitch, nullptr, DefaultFrom::Text, 0, kNoDependency, Version,
     L"Show version information"},
    {OPT_LOG_APPEND, L"log-append", kValue, L"0", DefaultFrom::Text, 0, kNoDependency,
     Flag<&T::setLogAppend>, L"Append to log file"},
    {OPT_LOG_TEMPLATE, L"log-template", kValue, nullptr, DefaultFrom::Text, 0, OPT_LOG_TEMPLATE,
     Text<&T::setLogTemplate>, L"Set template for log"},
    {OPT_TRUSTED_KEYS, L"trusted-keys", kValue, nullptr, DefaultFrom::Text, kTypoRefused,
     kNoDependency, Text<&T::setTrustedKeys>,
     L"File of minisign public keys: the master index must be signed with them"},
    {OPT_TRUST_THRESHOLD, L"trust-threshold", kValue, nullptr, DefaultFrom::Text, kTypoRefused,
     kNoDependency, TrustThreshold,
     L"How many distinct trusted keys must have signed the master index (Defaults to 1)"},
    {OPT_DELTA, L"delta", kValue, L"1", DefaultFrom::Text, 0, kNoDependency,
     OnOff<&T::setDelta, kDelta>,
     L"Rebuild changed files from patches against the installed files where the server offers "
     L"them (1, the default); 0 always fetches whole files"},
    {OPT_CHECK_TIMEOUT, L"check-timeout", kValue, L"60", DefaultFrom::Text, 0, kNoDependency,
     CheckTimeout,
     L"Seconds a module's health check (CHECK) may run before it is stopped and fails the update "
     L"(Defaults to 60)"},
    {OPT_RETRY_FAILED, L"retry-failed", kValue, L"0", DefaultFrom::Text, 0, kNoDependency,
     OnOff<&T::setRetryFailed, kRetryFailed>,
     L"1 installs again a release whose health check failed on this machine"},
    {OPT_MACHINE_ID, L"machine-id", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency,
     Text<&T::setMachineId>,
     L"The text that decides whether this machine takes a candidate release (Defaults to "
     L"/etc/machine-id)"},
    {OPT_CANDIDATE, L"candidate", kValue, L"auto", DefaultFrom::Text, 0, kNoDependency,
     CandidateModeValue,
     L"auto takes a candidate release when this machine is in its share, always and never "
     L"decide for it"},
    {OPT_STATUS, L"status", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency, Status,
     L"Prints the installed product, its trusted state and how its last run ended (text or "
     L"json), without contacting a server or writing anything"},
    {OPT_LIST_CHANGES, L"list-changes", kValue, L"0", DefaultFrom::Text, 0, kNoDependency,
     Flag<&T::setListChanges>,
     L"With checkdirty: prints one line for each file the run would change, with the reason"},
    {OPT_REPORT, L"report", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency,
     Text<&T::setReportFile>, L"File replaced at the end of the run with its outcome as JSON"},
    {OPT_METRICS, L"metrics", kValue, nullptr, DefaultFrom::Text, 0, kNoDependency,
     Text<&T::setMetricsFile>,
     L"File replaced at the end of the run with its figures in the Prometheus text format"},
    {OPT_STAT_CACHE, L"stat-cache", kValue, L"0", DefaultFrom::Text, 0, kNoDependency,
     OnOff<&T::setStatCache, kStatCache>,
     L"1 keeps each checked file's size, times, inode and digest beside the kept master index "
     L"and takes the digest of a file whose values did not change from there without reading "
     L"it"},
    {OPT_FULL_CHECK_EVERY, L"full-check-every", kValue, L"10", DefaultFrom::Text, 0, kNoDependency,
     FullCheckEvery,
     L"With stat-cache: every n-th check reads and hashes every file and renews the cache; 1 "
     L"every check, 0 never (Defaults to 10)"},
};

// The row of an id (the first, for an option with two spellings); null for unknown ids.
const OptionRow* RowOf(int32_t id) {
    for (const OptionRow& row : kOptionTable)
        if (row.id == id) return &row;
    return nullptr;
}

}  // namespace

CUpdateParameters::CUpdateParameters(const std::wstring& updaterDir,
                                     const std::wstring& currentDir) {
    for (const OptionRow& row : kOptionTable) {
        std::wstring defaultValue = row.defaultValue ? row.defaultValue : Parameter::kNoDefault;
        if (row.defaultFrom == DefaultFrom::WorkingDir) defaultValue = currentDir;
        if (row.defaultFrom == DefaultFrom::UpdaterDir) {
            defaultValue = updaterDir;
            if (!defaultValue.empty() && defaultValue.back() != L'/') defaultValue += L'/';
            defaultValue += row.defaultValue;
        }
        declare(row.id, row.name, row.valueCount, row.help, defaultValue, false,
                (row.flags & kMandatory) != 0, (row.flags & kMultiple) != 0, row.dependsOn);
    }
}

CUpdateParameters::~CUpdateParameters() = default;

void CUpdateParameters::validate() const {
    Parameters::validate();
    // A self-update run is described by its actions alone.
    if (isSet(OPT_EXECACTION) || isSet(OPT_COPYACTION)) return;
    // A threshold without keys would check nothing and say nothing.
    if (isSet(OPT_TRUST_THRESHOLD) && !isSet(OPT_TRUSTED_KEYS))
        THROW_CRITICAL(Msg<861>(), ERR_INVALID_PARAMETER);
    const bool productFile = isSet(OPT_PRODUCT_FILE);
    const bool urls = isSet(OPT_URL) || isSet(OPT_URL_NUMBERED) || isSet(OPT_URL_FILE);
    const bool infoFile = isSet(OPT_PRODUCT_INFO_FILE);
    const bool root = isSet(OPT_PRODUCT_ROOT);
    const bool ok = isSet(OPT_DEFAULT_SERVER) ? (productFile && !urls && !infoFile && !root)
                                              : (!productFile && urls && infoFile && root);
    if (!ok) THROW_CRITICAL(Msg<366>(), ERR_CONFIG_FILE);
}

void CUpdateParameters::checkUnknownKeys() const {
    const auto refused = [](const Parameter& p) {
        const OptionRow* row = RowOf(p.id());
        return row != nullptr && (row->flags & kTypoRefused) != 0;
    };
    for (const UnknownKey& unknown : unknownKeys()) {
        const std::wstring option = nearestName(unknown.key, refused);
        if (option.empty()) continue;
        const std::wstring where = unknown.source.empty() ? Msg<693>() : unknown.source;
        THROW_CRITICAL(Msg<850>(unknown.key, where, option), ERR_INVALID_PARAMETER);
    }
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
    if (const OptionRow* row = RowOf(id)) row->apply(*this, value, target);
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
