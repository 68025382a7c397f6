#include "config/UpdateParameters.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/Messages.h"
#include "support/ParamTestUtil.h"
#include "support/RecordingOptionTarget.h"

using namespace UpdateNew;

namespace {

const std::wstring kUpdaterDir = L"/opt/product/bin/";
const std::wstring kCwd = L"/home/user/work";
const wchar_t* const N = L"|@NODEFAULT@|";

struct Decl {
    const wchar_t* name;
    int id;
    unsigned valueCount;
    bool multiple;
    bool mandatory;
    int dependsOn;
    std::wstring defaultValue;
    const wchar_t* help;
};

const wchar_t* const kUrlHelpStart = L"";  // the url help is free text; checked separately

std::vector<Decl> ExpectedTable() {
    const std::wstring tmp =
        L"%TEMP_DIR%/Update_%DATETIME_YEAR%%DATETIME_MONTH%%DATETIME_DAY%_%DATETIME_HOUR%"
        L"%DATETIME_MINUTE%%DATETIME_SECONDS%_%PROCESSID%";
    return {
        {L"retries", 0, 1, false, false, -1, L"1",
         L"Number of retries until an error will be submitted.(Defaults to 1)"},
        {L"timeout", 1, 1, false, false, -1, L"10",
         L"Timeout for an internet connection.(Defaults to 10 seconds)"},
        {L"parallel", 41, 1, false, false, -1, L"8",
         L"Module files in flight at once, 1 to 64 (1: one after the other)"},
        {L"max-rate", 42, 1, false, false, -1, L"0",
         L"Most bytes a second the run receives, with K or M for KiB or MiB (0: no cap)"},
        {L"mirror", 18, 1, false, false, -1, L"0",
         L"Performs a mirror.Does not execute PRE,POST,UNPOST"},
        {L"plain-pass", 35, 1, false, false, -1, L"0", L"Treat password as plain text"},
        {L"proxy-server", 2, 1, false, false, 3, N, L"Set proxy server"},
        {L"proxy-port", 3, 1, false, false, 2, N, L"Set proxy port"},
        {L"proxy-username", 4, 1, false, false, 5, N,
         L"Set proxy USERNAME for proxy authentication"},
        {L"proxy-userpass", 5, 1, false, false, 4, N, L"Set proxy PASS for proxy authentication"},
        {L"share-username", 6, 1, false, false, 7, N,
         L"Set USERNAME for authenticating while accessing a shared folder"},
        {L"share-userpass", 7, 1, false, false, 6, N,
         L"Set PASS for authenticating while accessing a shared folder"},
        {L"help", 13, 0, false, false, -1, N, L"Help about the options"},
        {L"install-path", 8, 1, false, false, -1, kCwd,
         L"Set the path where to install the updates"},
        {L"config-file", 9, 1, false, false, -1, kUpdaterDir + L"update.conf",
         L"Path to a configuration file that will be used instead of all parameters"},
        {L"masteridx", 20, 1, false, true, -1, N,
         L"The relative path to the MasterIdx file (serverroot is defaultsrv)"},
        {L"defaultsrv", 19, 1, false, false, 20, N,
         L"The root to the default update server (in internet)"},
        {L"productfile", 21, 1, false, false, 19, N,
         L"The relative path to the ProductFile file (serverroot is defaultsrv)"},
        {L"url-file", 14, 1, false, false, 15, N, L"The url file with update urls"},
        {L"url%d", 11, 1, true, false, 15, N, kUrlHelpStart},
        {L"url", 10, 1, true, false, 15, N, kUrlHelpStart},
        {L"productinfofile", 15, 1, false, false, 22, N, L"The product's info-file name"},
        {L"productroot", 22, 1, false, false, 15, N, L"The root directory of the update binaries"},
        {L"copyaction", 28, 1, true, false, -1, N,
         L"File which has to be copied in selfupdate, param = src|dest"},
        {L"execaction", 29, 1, true, false, -1, N,
         L"File which has to be executed in selfupdate, param = app"},
        {L"noselfupdate", 27, 0, false, false, -1, N,
         L"No more selfupdate (because selfupdate already has taken place)"},
        {L"guilib", 23, 1, false, false, -1, N, L"Extension library for gui creation"},
        {L"updatelib", 24, 1, false, false, -1, N,
         L"Extension library for functionality replacing"},
        {L"add-var-pair", 12, 1, true, false, -1, N, L"Add a variable defined in the info file"},
        {L"add-var-pair%d", 12, 1, true, false, -1, N, L"Add a variable defined in the info file"},
        {L"backup-dir", 16, 1, false, false, -1, L"%INSTALL_DIR%\\backup", L"The backup directory"},
        {L"useragent", 26, 1, false, false, -1, N,
         L"User Agent String which is sent to the http server on download"},
        {L"logfile", 17, 1, false, false, -1, L"update.log", L"Specifies the name of the logfile"},
        {L"tmpdir", 25, 1, false, false, -1, tmp, L"Subdirectory in temp path"},
        {L"idxlocalname", 30, 1, false, false, -1, N, L"Local idx filename"},
        {L"checkdirty", 31, 0, false, false, -1, N, L"Checks whether remote files are dirty"},
        {L"productfileignoreserverlist", 32, 1, false, false, -1, N,
         L"Uses serverlist entries from update configuration"},
        {L"TmpFilesList", 33, 1, false, false, -1, N, L"Internally used"},
        {L"IgnoreMasterIDX", 34, 1, false, false, -1, N,
         L"Tells the updater to ignore the master.idx file"},
        {L"version", 36, 0, false, false, -1, N, L"Show version information"},
        {L"log-append", 38, 1, false, false, -1, L"0", L"Append to log file"},
        {L"log-template", 37, 1, false, false, 37, N, L"Set template for log"},
        {L"trusted-keys", 39, 1, false, false, -1, N,
         L"File of minisign public keys: the master index must be signed with them"},
        {L"trust-threshold", 40, 1, false, false, -1, N,
         L"How many distinct trusted keys must have signed the master index (Defaults to 1)"},
        {L"delta", 43, 1, false, false, -1, L"1",
         L"Rebuild changed files from patches against the installed files where the server "
         L"offers them (1, the default); 0 always fetches whole files"},
        {L"check-timeout", 120, 1, false, false, -1, L"60",
         L"Seconds a module's health check (CHECK) may run before it is stopped and fails the "
         L"update (Defaults to 60)"},
        {L"retry-failed", 121, 1, false, false, -1, L"0",
         L"1 installs again a release whose health check failed on this machine"},
        {L"machine-id", 122, 1, false, false, -1, N,
         L"The text that decides whether this machine takes a candidate release (Defaults to "
         L"/etc/machine-id)"},
        {L"candidate", 123, 1, false, false, -1, L"auto",
         L"auto takes a candidate release when this machine is in its share, always and never "
         L"decide for it"},
        {L"status", 44, 1, false, false, -1, N,
         L"Prints the installed product, its trusted state and how its last run ended (text or "
         L"json), without contacting a server or writing anything"},
        {L"list-changes", 45, 1, false, false, -1, L"0",
         L"With checkdirty: prints one line for each file the run would change, with the reason"},
        {L"report", 46, 1, false, false, -1, N,
         L"File replaced at the end of the run with its outcome as JSON"},
        {L"metrics", 47, 1, false, false, -1, N,
         L"File replaced at the end of the run with its figures in the Prometheus text format"},
        {L"stat-cache", 130, 1, false, false, -1, L"0",
         L"1 keeps each checked file's size, times, inode and digest beside the kept master "
         L"index and takes the digest of a file whose values did not change from there without "
         L"reading it"},
        {L"full-check-every", 131, 1, false, false, -1, L"10",
         L"With stat-cache: every n-th check reads and hashes every file and renews the cache; "
         L"1 every check, 0 never (Defaults to 10)"},
    };
}

class UpdateParametersTest : public ::testing::Test {
protected:
    // Parses `args` into `table`, with `target` receiving the configuration file read.
    bool parse(CUpdateParameters& table, const Argv& args) {
        return table.parseCommandLine(args.argc(), args.argv(), target, data);
    }

    RecordingOptionTarget target;
    std::map<std::wstring, std::wstring> data;
};

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs `fn` in a child process with standard output sent to a file; returns the child's
// wait status and what it wrote.
int RunInChild(const std::function<void()>& fn, std::string& output) {
    char path[] = "/tmp/params_child_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, STDOUT_FILENO);
        fn();
        std::fflush(stdout);
        _exit(99);  // fn was expected to end the process
    }
    close(fd);
    int status = -1;
    waitpid(pid, &status, 0);
    output = ReadFile(path);
    unlink(path);
    return status;
}

}  // namespace

// --- The declarations ------------------------------------------------------------------

TEST_F(UpdateParametersTest, DeclaresEveryOptionInOrder) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    const auto expected = ExpectedTable();
    ASSERT_EQ(expected.size(), t.size());
    size_t i = 0;
    for (const Parameter& p : t) {
        const Decl& d = expected[i++];
        SCOPED_TRACE(ToMultibyte(d.name));
        EXPECT_EQ(d.name, p.name());
        EXPECT_EQ(d.id, p.id());
        EXPECT_EQ(d.valueCount, p.valueCount());
        EXPECT_EQ(d.multiple, p.multiple());
        EXPECT_EQ(d.mandatory, p.mandatory());
        EXPECT_FALSE(p.alone());
        EXPECT_EQ(d.dependsOn, p.dependsOn());
        EXPECT_EQ(d.defaultValue, p.defaultValue());
        if (*d.help) {
            EXPECT_EQ(d.help, p.help());
        }
        EXPECT_EQ(&t, p.owner());
    }
    // Both spellings of the server URL share one help sentence, naming an example address.
    const std::wstring urlHelp = t.find(L"url")->help();
    EXPECT_EQ(urlHelp, t.find(L"url%d")->help());
    EXPECT_NE(std::wstring::npos, urlHelp.find(L"("));
    EXPECT_NE(std::wstring::npos, urlHelp.find(L"http://"));
    EXPECT_EQ(L')', urlHelp.back());
}

TEST_F(UpdateParametersTest, OptionsWithDefaultsAreSetFromTheStart) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    std::vector<std::wstring> set;
    for (const Parameter& p : t)
        if (p.isSet()) set.push_back(p.name());
    EXPECT_EQ((std::vector<std::wstring>{L"retries", L"timeout", L"parallel", L"max-rate",
                                         L"mirror", L"plain-pass", L"install-path", L"config-file",
                                         L"backup-dir", L"logfile", L"tmpdir", L"log-append",
                                         L"delta", L"check-timeout", L"retry-failed", L"candidate",
                                         L"list-changes", L"stat-cache", L"full-check-every"}),
              set);
    EXPECT_EQ(kCwd, t.getValue(OPT_INSTALL_PATH));
    // The updater's directory gets its separator when it came without one.
    CUpdateParameters u(L"/opt/bin", kCwd);
    EXPECT_EQ(L"/opt/bin/update.conf", u.getValue(OPT_CONFIG_FILE));
}

TEST_F(UpdateParametersTest, HelpEntries) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    auto entry = [&](const wchar_t* name) {
        return Captured([&](FILE* f) { t.find(name)->printUtf8(f); });
    };
    EXPECT_EQ("\n--proxy-server=<|@NODEFAULT@|>\nSet proxy server[depends on:proxy-port]",
              entry(L"proxy-server"));
    EXPECT_EQ(
        "\n--masteridx=<|@NODEFAULT@|>\nThe relative path to the MasterIdx file "
        "(serverroot is defaultsrv)[mandatory]",
        entry(L"masteridx"));
    EXPECT_EQ("\n--log-template=<|@NODEFAULT@|>\nSet template for log[depends on:log-template]",
              entry(L"log-template"));
    EXPECT_EQ(
        "\n--retries=<1>\nNumber of retries until an error will be submitted.(Defaults "
        "to 1)",
        entry(L"retries"));
    EXPECT_EQ("\n--checkdirty\nChecks whether remote files are dirty", entry(L"checkdirty"));
    // url-file depends on id 15: named by its first declaration.
    EXPECT_NE(std::string::npos, entry(L"url-file").find("[depends on:productinfofile]"));
}

// --- Validation: the two ways to the product -------------------------------------------

TEST_F(UpdateParametersTest, ServerCombinations) {
    struct Case {
        std::vector<std::wstring> args;
        int code;  // 0: passes
        std::wstring text;
    };
    const std::wstring m366 = Msg<366>();
    const Case cases[] = {
        {{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z"}, 0, L""},
        {{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z", L"--productroot=r"},
         631,
         Msg<361>(std::wstring(L"productroot"), std::wstring(L"productinfofile"))},
        {{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z", L"--productroot=r",
          L"--productinfofile=p"},
         618,
         m366},
        {{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z", L"--url=u",
          L"--productinfofile=p", L"--productroot=r"},
         618,
         m366},
        {{L"--masteridx=x", L"--defaultsrv=y"}, 618, m366},
        {{L"--masteridx=x", L"--url=u", L"--productinfofile=p", L"--productroot=r"}, 0, L""},
        {{L"--masteridx=x", L"--url-file=f", L"--productinfofile=p", L"--productroot=r"}, 0, L""},
        {{L"--masteridx=x", L"--url=u", L"--productinfofile=p"},
         631,
         Msg<361>(std::wstring(L"productinfofile"), std::wstring(L"productroot"))},
        {{L"--masteridx=x", L"--productinfofile=p", L"--productroot=r"}, 618, m366},
        {{L"--masteridx=x", L"--url=u", L"--productinfofile=p", L"--productroot=r",
          L"--productfile=z"},
         631,
         Msg<361>(std::wstring(L"productfile"), std::wstring(L"defaultsrv"))},
        {{L"--masteridx=x", L"--copyaction=a|b"}, 0, L""},
        {{L"--masteridx=x", L"--execaction=/tmp/u"}, 0, L""},
        {{L"--masteridx=x", L"--copyaction=a|b", L"--productfile=z", L"--defaultsrv=y", L"--url=u",
          L"--productinfofile=p", L"--productroot=r"},
         0,
         L""},
        {{L"--masteridx=x"}, 618, m366},
        {{}, 631, Msg<358>(std::wstring(L"masteridx"))},
        {{L"--defaultsrv=y", L"--productfile=z"}, 631, Msg<358>(std::wstring(L"masteridx"))},
        {{L"--masteridx=x", L"--proxy-server=p", L"--defaultsrv=y", L"--productfile=z"},
         631,
         Msg<361>(std::wstring(L"proxy-server"), std::wstring(L"proxy-port"))},
        {{L"--masteridx=x", L"--log-template=T", L"--defaultsrv=y", L"--productfile=z"}, 0, L""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(n++));
        CUpdateParameters t(kUpdaterDir, kCwd);
        Argv args(c.args);
        if (c.code == 0)
            EXPECT_NO_THROW(parse(t, args));
        else
            ExpectCritical([&] { parse(t, args); }, c.text, c.code);
    }
}

TEST(UpdateParametersTypos, ASwapOfNeighboursIsOneEdit) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    EXPECT_EQ(L"url", t.nearestName(L"rul"));
    EXPECT_EQ(L"", t.nearestName(L"lru"));
}

TEST_F(UpdateParametersTest, NumberedUrlFromTheConfigurationFileCountsAsUrlMode) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    target.onReadConfigFile = [&](const std::wstring&) {
        t.find(L"url%d")->setValue(0, L"http://127.0.0.1/a");
    };
    EXPECT_TRUE(parse(t, Argv{L"--masteridx=x", L"--productinfofile=p", L"--productroot=r"}));
}

// --- Parse and configuration file -------------------------------------------------------

TEST_F(UpdateParametersTest, ConfigurationFileIsReadThroughTheTarget) {
    {
        CUpdateParameters t(kUpdaterDir, kCwd);
        parse(t, Argv{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z"});
        EXPECT_EQ((std::vector<std::wstring>{L"setConfigFileName(/opt/product/bin/update.conf)",
                                             L"readConfigFile(/opt/product/bin/update.conf)"}),
                  target.calls);
    }
    target.calls.clear();
    {
        CUpdateParameters t(kUpdaterDir, kCwd);
        // The file supplies the mandatory options; the command line overrides one of them.
        target.onReadConfigFile = [&](const std::wstring&) {
            t.find(L"masteridx")->setValue(0, L"file-idx");
            t.find(L"defaultsrv")->setValue(0, L"file-srv");
            t.find(L"productfile")->setValue(0, L"file-pf");
        };
        EXPECT_TRUE(parse(t, Argv{L"--Config-File=my.conf", L"--productfile=cmd-pf"}));
        EXPECT_EQ(
            (std::vector<std::wstring>{L"setConfigFileName(my.conf)", L"readConfigFile(my.conf)"}),
            target.calls);
        EXPECT_EQ(L"file-idx", t.getValue(OPT_MASTER_IDX));
        EXPECT_EQ(L"cmd-pf", t.getValue(OPT_PRODUCT_FILE));
        EXPECT_EQ(L"my.conf", data[L"config-file"]);
    }
}

TEST_F(UpdateParametersTest, MixedCaseOptionsAreReachable) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    parse(t, Argv{L"--masteridx=x", L"--copyaction=a|b", L"--TmpFilesList=/tmp/ToRemove.txt",
                  L"--ignoremasteridx=1", L"--NoSelfUpdate"});
    EXPECT_EQ(L"/tmp/ToRemove.txt", t.getValue(OPT_TMP_FILES_LIST));
    EXPECT_TRUE(t.isSet(OPT_IGNORE_MASTER_IDX));
    EXPECT_TRUE(t.isSet(OPT_NOSELFUPDATE));
}

// --- Application -----------------------------------------------------------------------

TEST_F(UpdateParametersTest, FlagsAreOnlyOneOrTrue) {
    for (const wchar_t* on : {L"1", L"true", L"TRUE", L"True"}) {
        RecordingOptionTarget r;
        CUpdateParameters t(kUpdaterDir, kCwd);
        t.apply(OPT_MIRROR, on, r);
        EXPECT_EQ(std::vector<std::wstring>{L"setMirror(true)"}, r.calls) << ToMultibyte(on);
    }
    for (const wchar_t* off : {L"yes", L"0", L"", L" 1", L"true ", L"on", L"2"}) {
        RecordingOptionTarget r;
        CUpdateParameters t(kUpdaterDir, kCwd);
        for (int id : {OPT_MIRROR, OPT_IGNORE_SERVER_LIST, OPT_IGNORE_MASTER_IDX, OPT_PLAIN_PASS,
                       OPT_LOG_APPEND})
            t.apply(id, off, r);
        EXPECT_TRUE(r.calls.empty()) << ToMultibyte(off);
    }
    RecordingOptionTarget r;
    CUpdateParameters t(kUpdaterDir, kCwd);
    t.apply(OPT_IGNORE_SERVER_LIST, L"1", r);
    t.apply(OPT_IGNORE_MASTER_IDX, L"true", r);
    t.apply(OPT_PLAIN_PASS, L"1", r);
    t.apply(OPT_LOG_APPEND, L"TrUe", r);
    t.apply(OPT_CHECKDIRTY, L"", r);
    t.apply(OPT_NOSELFUPDATE, L"", r);
    t.apply(OPT_DELTA, L"0", r);
    t.apply(OPT_DELTA, L"true", r);
    EXPECT_EQ((std::vector<std::wstring>{L"setIgnoreServerList(true)", L"setIgnoreMasterIdx(true)",
                                         L"setPlainPass(true)", L"setLogAppend(true)",
                                         L"setCheckDirty(true)", L"setSelfUpdateDone()",
                                         L"setDelta(false)", L"setDelta(true)"}),
              r.calls);
}

TEST_F(UpdateParametersTest, NumbersAreLeadingDecimalDigits) {
    struct {
        const wchar_t* text;
        const wchar_t* call;
    } cases[] = {{L"abc", L"setRetries(0)"},  {L"7x", L"setRetries(7)"},
                 {L"", L"setRetries(0)"},     {L"  12", L"setRetries(12)"},
                 {L"-3", L"setRetries(-3)"},  {L"99999999999999", L"setRetries(2147483647)"},
                 {L"0042", L"setRetries(42)"}};
    for (const auto& c : cases) {
        RecordingOptionTarget r;
        CUpdateParameters t(kUpdaterDir, kCwd);
        t.apply(OPT_RETRIES, c.text, r);
        EXPECT_EQ(std::vector<std::wstring>{c.call}, r.calls) << ToMultibyte(c.text);
    }
    RecordingOptionTarget r;
    CUpdateParameters t(kUpdaterDir, kCwd);
    t.apply(OPT_TIMEOUT, L"30s", r);
    t.apply(OPT_PROXY_PORT, L"3128", r);
    // A text without a UTF-8 form leaves the field alone.
    std::wstring unconvertible = L"5";
    unconvertible += static_cast<wchar_t>(0xD800);
    t.apply(OPT_PROXY_PORT, unconvertible, r);
    t.apply(OPT_RETRIES, unconvertible, r);
    EXPECT_EQ((std::vector<std::wstring>{L"setTimeout(30)", L"setProxyPort(3128)"}), r.calls);
}

TEST_F(UpdateParametersTest, ParallelAndMaxRateAreCheckedNumbers) {
    RecordingOptionTarget r;
    CUpdateParameters t(kUpdaterDir, kCwd);
    t.apply(OPT_PARALLEL, L"16", r);
    t.apply(OPT_MAX_RATE, L"512K", r);
    t.apply(OPT_MAX_RATE, L"2m", r);
    t.apply(OPT_MAX_RATE, L"1000", r);
    EXPECT_EQ((std::vector<std::wstring>{L"setParallel(16)", L"setMaxRate(524288)",
                                         L"setMaxRate(2097152)", L"setMaxRate(1000)"}),
              r.calls);
    for (const wchar_t* bad : {L"0", L"65", L"eight", L""})
        EXPECT_THROW(t.apply(OPT_PARALLEL, bad, r), CUpdateCriticalException) << ToMultibyte(bad);
    for (const wchar_t* bad : {L"1G", L"fast", L"-1", L"K"})
        EXPECT_THROW(t.apply(OPT_MAX_RATE, bad, r), CUpdateCriticalException) << ToMultibyte(bad);
    for (const wchar_t* bad : {L"abc", L"0", L"-1"})  // no time-out at all
        EXPECT_THROW(t.apply(OPT_TIMEOUT, bad, r), CUpdateCriticalException) << ToMultibyte(bad);
}

TEST_F(UpdateParametersTest, TextsAreCutToTheirFields) {
    RecordingOptionTarget r;
    CUpdateParameters t(kUpdaterDir, kCwd);
    const std::wstring longText(2000, L'a');
    t.apply(OPT_PROXY_SERVER, longText, r);
    t.apply(OPT_PROXY_USERNAME, longText, r);
    t.apply(OPT_SHARE_USERNAME, longText, r);
    t.apply(OPT_PROXY_USERPASS, L"0a1b", r);
    t.apply(OPT_SHARE_USERPASS, L"Plain Text", r);
    ASSERT_EQ(5u, r.calls.size());
    EXPECT_EQ(L"setProxy(" + std::wstring(1023, L'a') + L")", r.calls[0]);
    EXPECT_EQ(L"setProxyUsername(" + std::wstring(63, L'a') + L")", r.calls[1]);
    EXPECT_EQ(L"setShareUsername(" + std::wstring(63, L'a') + L")", r.calls[2]);
    EXPECT_EQ(L"setProxyPassword(0a1b)", r.calls[3]);
    EXPECT_EQ(L"setSharePassword(Plain Text)", r.calls[4]);
}

TEST_F(UpdateParametersTest, ApplyDispatchesEveryIdToItsEffect) {
    RecordingOptionTarget r;
    CUpdateParameters t(kUpdaterDir, kCwd);
    const std::pair<int, const wchar_t*> effects[] = {
        {OPT_INSTALL_PATH, L"setInstallPath(v)"},
        {OPT_CONFIG_FILE, L"setConfigFileName(v)|readConfigFile(v)"},
        {OPT_URL, L"addServerUrl(v)"},
        {OPT_URL_NUMBERED, L"addServerUrl(v)"},
        {OPT_ADD_VAR_PAIR, L""},
        {OPT_URL_FILE, L"setUrlFileName(v)|readUrlFile(v)"},
        {OPT_PRODUCT_INFO_FILE, L"setProductInfoFile(v)"},
        {OPT_BACKUP_DIR, L"setBackupDir(v)"},
        {OPT_LOGFILE, L"setLogFileName(v)"},
        {OPT_DEFAULT_SERVER, L"setDefaultServer(v)"},
        {OPT_MASTER_IDX, L"setMasterIdx(v)"},
        {OPT_PRODUCT_FILE, L"setProductFile(v)"},
        {OPT_PRODUCT_ROOT, L"setProductRoot(v)"},
        {OPT_GUILIB, L"setGuiLib(v)"},
        {OPT_UPDATELIB, L"setUpdateLib(v)"},
        {OPT_TMPDIR, L"setTempDir(v)"},
        {OPT_USERAGENT, L""},
        {OPT_COPYACTION, L"addCopyAction(v)"},
        {OPT_EXECACTION, L"setSelfUpdateProgram(v)"},
        {OPT_IDX_LOCAL_NAME, L"setIdxLocalName(v)"},
        {OPT_TMP_FILES_LIST, L"setTmpFilesList(v)"},
        {OPT_LOG_TEMPLATE, L"setLogTemplate(v)"},
        {99, L""},
        {-1, L""},
    };
    for (const auto& e : effects) {
        r.calls.clear();
        t.apply(e.first, L"v", r);
        std::wstring joined;
        for (const auto& c : r.calls) joined += (joined.empty() ? L"" : L"|") + c;
        EXPECT_EQ(e.second, joined) << "id " << e.first;
    }
}

TEST_F(UpdateParametersTest, ApplicationFollowsTableOrderAndSkipsPluginsAndConfigFile) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    parse(t, Argv{L"--masteridx=idx", L"--url=http://127.0.0.1/b", L"--url=http://127.0.0.1/a",
                  L"--productinfofile=info", L"--productroot=root", L"--guilib=g.so",
                  L"--updatelib=u.so", L"--proxy-userpass=p", L"--proxy-username=n",
                  L"--plain-pass=1", L"--add-var-pair=A=1", L"--checkdirty", L"--retries=3",
                  L"--copyaction=x|y", L"--copyaction=z|w", L"--execaction=a", L"--execaction=b"});
    target.calls.clear();
    t.applyPluginOptions(target);
    EXPECT_EQ((std::vector<std::wstring>{L"setGuiLib(g.so)", L"setUpdateLib(u.so)"}), target.calls);
    target.calls.clear();
    t.applyOptions(target);
    const std::vector<std::wstring> expected = {
        L"setRetries(3)",
        L"setTimeout(10)",
        L"setParallel(8)",
        L"setMaxRate(0)",
        // mirror "0": flag stays off, no call
        L"setPlainPass(true)",  // before the passwords
        L"setProxyUsername(n)",
        L"setProxyPassword(p)",
        L"setInstallPath(/home/user/work)",
        // config-file skipped
        L"setMasterIdx(idx)",
        L"addServerUrl(http://127.0.0.1/b)",
        L"addServerUrl(http://127.0.0.1/a)",
        L"setProductInfoFile(info)",
        L"setProductRoot(root)",
        L"addCopyAction(x|y)",
        L"addCopyAction(z|w)",
        L"setSelfUpdateProgram(a)",
        L"setSelfUpdateProgram(b)",
        // guilib, updatelib skipped; add-var-pair has no effect here
        L"setBackupDir(%INSTALL_DIR%\\backup)",
        L"setLogFileName(update.log)",
        L"setTempDir(%TEMP_DIR%/Update_%DATETIME_YEAR%%DATETIME_MONTH%%DATETIME_DAY%_"
        L"%DATETIME_HOUR%%DATETIME_MINUTE%%DATETIME_SECONDS%_%PROCESSID%)",
        L"setCheckDirty(true)",
        // log-append "0": no call
        L"setDelta(true)",
        L"setCheckTimeout(60)",
        L"setRetryFailed(false)",
        L"setCandidateMode(auto)",
        L"setStatCache(false)",
        L"setFullCheckEvery(10)",
    };
    EXPECT_EQ(expected, target.calls);
}

// --- help and version ------------------------------------------------------------------

TEST_F(UpdateParametersTest, HelpPrintsEveryEntryAndExitsWithZero) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    RecordingOptionTarget r;
    std::string out;
    const int status = RunInChild([&] { t.apply(OPT_HELP, L"", r); }, out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(Captured([&](FILE* f) { t.printUtf8(f); }), out);
    size_t entries = 0;
    for (size_t pos = 0; (pos = out.find("\n--", pos)) != std::string::npos; ++pos) ++entries;
    EXPECT_EQ(55u, entries);
}

TEST_F(UpdateParametersTest, HelpOnTheCommandLineEndsBeforeInstallPathIsApplied) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    parse(t, Argv{L"--masteridx=x", L"--defaultsrv=y", L"--productfile=z", L"--help"});
    RecordingOptionTarget r;
    std::string out;
    const int status = RunInChild(
        [&] {
            t.applyOptions(r);
            // Only reached when help did not end the process; report what was applied.
            std::printf("APPLIED %zu\n", r.calls.size());
        },
        out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(std::string::npos, out.find("APPLIED"));
    EXPECT_EQ(0u, out.find("\n--retries=<1>\n"));
}

TEST_F(UpdateParametersTest, VersionPrintsTheLineAndThrowsWithCodeZero) {
    CUpdateParameters t(kUpdaterDir, kCwd);
    const std::wstring expectedText = Msg<1>();
    std::string out;
    const int status = RunInChild(
        [&] {
            RecordingOptionTarget r;
            try {
                t.apply(OPT_VERSION, L"", r);
            } catch (const CUpdateCriticalException& e) {
                std::fflush(stdout);
                _exit(e.code() == 0 && e.twhat() == expectedText && r.calls.empty() ? 7 : 8);
            }
        },
        out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
    EXPECT_EQ("Product version : 7.0.10\n", out);
}
