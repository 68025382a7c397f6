#include "base/Logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

using namespace UpdateNew;

namespace {

const wchar_t* kDefaultTemplate =
    L"${DAY}/${MONTH}/${YEAR} ${HOUR}:${MINUTE}:${SECOND} ${FULLHOST} ${PROGRAM}[${PID}]: "
    L"${SOURCE}: ${LEVEL}: ${MSG}";

// Records what reaches it, after the level check and template expansion.
class RecordingAppender : public LoggerAppender {
public:
    using LoggerAppender::LoggerAppender;
    bool Append(int level, const std::wstring& message, const std::wstring& source) override {
        if (level < m_minLevel) return true;
        std::wstring line;
        Format(level, message, source, line);
        lines.push_back(line);
        return answer;
    }
    std::vector<std::wstring> lines;
    bool answer = true;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TempFile {
public:
    TempFile() {
        char tmpl[] = "/tmp/logger_test_XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path = tmpl;
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

// Installs a logger for one test and removes it afterwards.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { SetLogger(previous); }
    Logger logger{L"updater"};
    Logger* previous = SetLogger(&logger);
};

std::wstring Expand(const std::wstring& tmpl, const std::wstring& msg, int level = LOG_INFO,
                    const std::wstring& source = L"") {
    RecordingAppender a(0, tmpl);
    std::wstring out;
    a.Format(level, msg, source, out);
    return out;
}

}  // namespace

TEST(LoggerTemplate, VariablesAndTheirEdgeCases) {
    EXPECT_EQ(L"<>", Expand(L"<${NOSUCH}>", L"m"));
    EXPECT_EQ(L"no variables here", Expand(L"no variables here", L"message"));
    EXPECT_EQ(L"a ${MSG} b", Expand(L"${MSG}", L"a ${MSG} b"));
    EXPECT_EQ(L"x ${DAY}", Expand(L"${MSG}", L"x ${DAY}"));
    EXPECT_EQ(L"m ${LEVEL", Expand(L"${MSG} ${LEVEL", L"m"));
    EXPECT_EQ(L"warning:m", Expand(L"${LEVEL}:${MSG}", L"m", LOG_WARNING));
    EXPECT_EQ(L":m", Expand(L"${LEVEL}:${MSG}", L"m", 250));
    EXPECT_EQ(L"unknown", Expand(L"${SOURCE}", L"m"));
    EXPECT_EQ(L"engine", Expand(L"${SOURCE}", L"m", LOG_INFO, L"engine"));
    EXPECT_EQ(L"[]", Expand(L"[${PROGRAM}]", L"m"));
    EXPECT_EQ(std::to_wstring(getpid()), Expand(L"${PID}", L"m"));

    std::wstring hm = Expand(L"${HOUR}${MINUTE}", L"m");
    EXPECT_TRUE(std::regex_match(hm, std::wregex(L"\\d{4}"))) << hm;
    std::wstring date = Expand(L"${DAY}/${MONTH}/${YEAR}", L"m");
    EXPECT_TRUE(std::regex_match(date, std::wregex(L"\\d\\d/\\d\\d/\\d{4}"))) << date;
}

TEST_F(LoggerTest, LevelsDecideWhichAppenderWrites) {
    RecordingAppender console(LOG_INFO, L"${MSG}");
    RecordingAppender file(LOG_DEBUG, kDefaultTemplate);
    logger.AddAppender(&console);
    logger.AddAppender(&file);

    EXPECT_TRUE(LogDebug(L"debug %d\n", 1));
    EXPECT_TRUE(logger.Log(250, L"between\n"));
    EXPECT_TRUE(LogInfo(L"info %s\n", L"text"));
    ASSERT_EQ(1u, console.lines.size());
    EXPECT_EQ(L"info text\n", console.lines[0]);
    ASSERT_EQ(3u, file.lines.size());
    std::wregex line(
        L"\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d \\S* \\[\\d+\\]: updater: debug: debug 1\n");
    EXPECT_TRUE(std::regex_match(file.lines[0], line)) << file.lines[0];
    EXPECT_NE(std::wstring::npos, file.lines[1].find(L"updater: : between"));
}

TEST_F(LoggerTest, FailingAppenderStopsDelivery) {
    RecordingAppender first(0, L"${MSG}");
    RecordingAppender second(0, L"${MSG}");
    first.answer = false;
    logger.AddAppender(&first);
    logger.AddAppender(&second);
    EXPECT_FALSE(LogError(L"lost\n"));
    EXPECT_EQ(1u, first.lines.size());
    EXPECT_TRUE(second.lines.empty());
}

TEST_F(LoggerTest, LongMessagesAreCutTo1022Characters) {
    RecordingAppender a(0, L"${MSG}");
    logger.AddAppender(&a);
    std::wstring big(3000, L'x');
    LogFatal(L"%s", big.c_str());
    ASSERT_EQ(1u, a.lines.size());
    EXPECT_EQ(std::wstring(1022, L'x'), a.lines[0]);
    // A finished text ("%s\n", taken without formatting) is cut like a formatted one.
    LogFatal(L"%s\n", big.c_str());
    const std::wstring fits(1021, L'y');
    LogFatal(L"%s\n", fits.c_str());
    LogFatal(L"%s%s", fits.c_str(), L"\n");
    ASSERT_EQ(4u, a.lines.size());
    EXPECT_EQ(std::wstring(1022, L'x'), a.lines[1]);
    EXPECT_EQ(a.lines[3], a.lines[2]);
}

TEST(LoggerFunctions, NoLoggerInstalledReturnsFalse) {
    Logger* previous = SetLogger(nullptr);
    EXPECT_FALSE(LogInfo(L"nobody listens\n"));
    EXPECT_FALSE(LogDebug(LogSource(L"src"), L"nobody listens\n"));
    SetLogger(previous);
}

TEST_F(LoggerTest, FileAppenderWritesEveryLineImmediately) {
    TempFile tmp;
    LoggerAppenderFile file(LOG_DEBUG, std::wstring(tmp.path.begin(), tmp.path.end()),
                            L"${SOURCE}: ${LEVEL}: ${MSG}");
    ASSERT_EQ(0, file.Open(false));
    logger.AddAppender(&file);
    LogDebug(L"first\n");
    LogInfo(LogSource(L"net"), L"second %S\n", "narrow");
    // No flush: the appender is unbuffered.
    EXPECT_EQ("updater: debug: first\nnet: info: second narrow\n", ReadFile(tmp.path));

    ASSERT_EQ(0, file.Open(true));
    LogWarning(L"third\n");
    EXPECT_EQ("updater: debug: first\nnet: info: second narrow\nupdater: warning: third\n",
              ReadFile(tmp.path));
    ASSERT_EQ(0, file.Open(false));
    LogWarning(L"fresh\n");
    EXPECT_EQ("updater: warning: fresh\n", ReadFile(tmp.path));

    file.Close();
    file.Close();
    EXPECT_TRUE(LogWarning(L"closed: dropped\n"));
    LoggerAppenderFile bad(0, L"/nonexistent-dir/x.log", L"${MSG}");
    EXPECT_EQ(-1, bad.Open(true));
}

TEST_F(LoggerTest, HeldDebugLinesKeepTheirPlaceAndReachTheFile) {
    TempFile tmp;
    LoggerAppenderFile file(LOG_DEBUG, std::wstring(tmp.path.begin(), tmp.path.end()),
                            L"${LEVEL}: ${MSG}");
    ASSERT_EQ(0, file.Open(false));
    logger.AddAppender(&file);
    {
        const LogHold hold;
        LogDebug(L"a\n");
        // A text too long for a message is cut as LogV cuts it, its line end with it.
        LogDebugTexts({L"b", L"c", std::wstring(1100, L'x')});
        EXPECT_EQ("", ReadFile(tmp.path));
        // A line of a higher level goes out at once, after the debug lines before it.
        LogWarning(L"w\n");
        const std::string before =
            "debug: a\ndebug: b\ndebug: c\ndebug: " + std::string(1022, 'x') + "warning: w\n";
        EXPECT_EQ(before, ReadFile(tmp.path));
        LogDebug(L"d\n");
    }
    const std::string before =
        "debug: a\ndebug: b\ndebug: c\ndebug: " + std::string(1022, 'x') + "warning: w\n";
    EXPECT_EQ(before + "debug: d\n", ReadFile(tmp.path));
    LogDebug(L"e\n");  // released: at once again
    EXPECT_EQ(before + "debug: d\ndebug: e\n", ReadFile(tmp.path));
}

TEST_F(LoggerTest, StdoutAppenderWritesBareText) {
    TempFile tmp;
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE* f = fopen(tmp.path.c_str(), "wb");
    dup2(fileno(f), STDOUT_FILENO);
    {
        LoggerAppenderStdout out(LOG_INFO, L"${MSG}");
        logger.AddAppender(&out);
        LogDebug(L"hidden\n");
        LogInfo(L"shown %d\n", 7);
    }
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(f);
    EXPECT_EQ("shown 7\n", ReadFile(tmp.path));
}

TEST(LoggerTemplate, SetTemplateReplacesTheWholeTemplate) {
    RecordingAppender a(0, L"${LEVEL}: ${MSG}");
    a.SetTemplate(L"{${MSG}} ${MSG");
    std::wstring out;
    a.Format(LOG_ERROR, L"m", L"", out);
    EXPECT_EQ(L"{m} ${MSG", out);
}

TEST_F(LoggerTest, DebugTextsAreBuiltOnlyWhenSomeAppenderTakesThem) {
    EXPECT_FALSE(LogDebugOn());  // no appender at all
    RecordingAppender console(LOG_INFO, L"${MSG}");
    logger.AddAppender(&console);
    EXPECT_FALSE(LogDebugOn());
    EXPECT_TRUE(LogDebug(L"dropped %d\n", 1));  // nobody takes it: not an error
    EXPECT_TRUE(console.lines.empty());
    RecordingAppender file(LOG_DEBUG, L"${MSG}");
    logger.AddAppender(&file);
    EXPECT_TRUE(LogDebugOn());
    EXPECT_TRUE(LogDebug(L"kept %d\n", 2));
    ASSERT_EQ(1u, file.lines.size());
    EXPECT_EQ(L"kept 2\n", file.lines[0]);
    EXPECT_TRUE(console.lines.empty());
}

TEST(LoggerFunctions, DebugIsOffWithoutALogger) {
    Logger* previous = SetLogger(nullptr);
    EXPECT_FALSE(LogDebugOn());
    SetLogger(previous);
}
