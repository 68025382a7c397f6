#include "update/Logger.h"

#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "common/Conv.h"
#include "update/FormatConverter.h"

namespace UpdateNew {

namespace {

Logger* g_logger = nullptr;

constexpr size_t kMessageBuffer = 1024;

// The host's full name. Looked up once per process: a name service that does not answer
// must not stall every log line.
const std::wstring& FullHostName() {
    static const std::wstring name = [] {
        char buf[512] = {0};
        if (gethostname(buf, sizeof(buf) - 1) != 0) buf[0] = 0;
        buf[sizeof(buf) - 1] = 0;
        if (buf[0] && !std::strchr(buf, '.')) {
            addrinfo hints{};
            hints.ai_flags = AI_CANONNAME;
            addrinfo* res = nullptr;
            if (getaddrinfo(buf, nullptr, &hints, &res) == 0 && res) {
                if (res->ai_canonname) {
                    std::strncpy(buf, res->ai_canonname, sizeof(buf) - 1);
                    buf[sizeof(buf) - 1] = 0;
                }
                freeaddrinfo(res);
            }
        }
        std::wstring wide;
        return MultibyteToWide(buf, wide) ? wide : std::wstring();
    }();
    return name;
}

std::wstring Number(int value, bool twoDigits) {
    char buf[15];
    std::snprintf(buf, sizeof(buf), "%d", value);
    std::wstring text;
    if (!MultibyteToWide(buf, text)) return std::wstring();
    if (twoDigits && text.size() == 1) text.insert(0, 1, L'0');
    return text;
}

// A date or time field read from the clock at the moment it is expanded.
std::wstring TimeField(int field) {
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return std::wstring();
    std::tm tm{};
    if (!localtime_r(&now, &tm)) return std::wstring();
    switch (field) {
        case 3: return Number(tm.tm_year + 1900, false);
        case 4: return Number(tm.tm_mon + 1, true);
        case 5: return Number(tm.tm_mday, true);
        case 6: return Number(tm.tm_hour, true);
        case 7: return Number(tm.tm_min, true);
        default: return Number(tm.tm_sec, true);
    }
}

bool Deliver(int level, const std::wstring& source, const wchar_t* format, va_list args) {
    Logger* logger = GetLogger();
    return logger ? logger->LogV(level, source, format, args) : false;
}

// Converts a whole line and writes it with one call; false when it cannot be converted.
bool WriteLine(int fd, FILE* stream, const std::wstring& line) {
    std::string bytes;
    if (!WideToMultibyte(line, bytes)) return false;
    if (stream) {
        (void)std::fwrite(bytes.data(), 1, bytes.size(), stream);
    } else {
        (void)!::write(fd, bytes.data(), bytes.size());
    }
    return true;
}

}  // namespace

const wchar_t* LevelName(int level) {
    switch (level) {
        case LOG_TRACE: return L"trace";
        case LOG_DEBUG: return L"debug";
        case LOG_INFO: return L"info";
        case LOG_WARNING: return L"warning";
        case LOG_ERROR: return L"error";
        case LOG_FATAL: return L"fatal";
        default: return L"";
    }
}

LoggerAppender::LoggerAppender(int minLevel, const std::wstring& tmpl)
    : m_minLevel(minLevel), m_template(tmpl), m_defaultSource(L"unknown") {}

LoggerAppender::~LoggerAppender() = default;

void LoggerAppender::Format(int level, const std::wstring& message, const std::wstring& source,
                            std::wstring& out) const {
    out = m_template;
    size_t start = out.find(L"${");
    size_t end = start == std::wstring::npos ? std::wstring::npos : out.find(L'}', start + 1);
    while (start != std::wstring::npos && end != std::wstring::npos) {
        const std::wstring name = out.substr(start + 2, end - start - 2);
        std::wstring value;
        if (name == L"SOURCE") {
            value = source.empty() ? m_defaultSource : source;
        } else if (name == L"LEVEL") {
            value = LevelName(level);
        } else if (name == L"YEAR") {
            value = TimeField(3);
        } else if (name == L"MONTH") {
            value = TimeField(4);
        } else if (name == L"DAY") {
            value = TimeField(5);
        } else if (name == L"HOUR") {
            value = TimeField(6);
        } else if (name == L"MINUTE") {
            value = TimeField(7);
        } else if (name == L"SECOND") {
            value = TimeField(8);
        } else if (name == L"FULLHOST") {
            value = FullHostName();
        } else if (name == L"PROGRAM") {
            // Recognised, but nothing supplies a program name.
        } else if (name == L"PID") {
            value = Number(static_cast<int>(getpid()), false);
        } else if (name == L"MSG") {
            value = message;
        }
        out.replace(start, end - start + 1, value);
        // Inserted text is never scanned again.
        start = out.find(L"${", start + value.size());
        end = start == std::wstring::npos ? std::wstring::npos : out.find(L'}', start + 1);
    }
}

LoggerAppenderFile::LoggerAppenderFile(int minLevel, const std::wstring& fileName,
                                       const std::wstring& tmpl)
    : LoggerAppender(minLevel, tmpl), m_fileName(fileName) {}

LoggerAppenderFile::~LoggerAppenderFile() { Close(); }

int LoggerAppenderFile::Open(bool append) {
    std::string path;
    if (!WideToMultibyte(m_fileName, path)) return -1;
    Close();
    // Close-on-exec: module commands and the updater copies of a self-update open the
    // log themselves when they write to it.
    m_file = std::fopen(path.c_str(), append ? "abe" : "wbe");
    if (!m_file) return -1;
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    return 0;
}

void LoggerAppenderFile::Close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool LoggerAppenderFile::Append(int level, const std::wstring& message,
                                const std::wstring& source) {
    if (level < m_minLevel) return true;
    std::wstring line;
    Format(level, message, source, line);
    // A closed file drops the line; the entry point never adds such an appender.
    if (!m_file) return true;
    return WriteLine(-1, m_file, line);
}

LoggerAppenderStdout::LoggerAppenderStdout(int minLevel, const std::wstring& tmpl)
    : LoggerAppender(minLevel, tmpl) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool LoggerAppenderStdout::Append(int level, const std::wstring& message,
                                  const std::wstring& source) {
    if (level < m_minLevel) return true;
    std::wstring line;
    Format(level, message, source, line);
    return WriteLine(STDOUT_FILENO, nullptr, line);
}

Logger::Logger(const std::wstring& name) : m_name(name) {}

void Logger::AddAppender(LoggerAppender* appender) {
    appender->SetDefaultSource(m_name);
    m_appenders.push_back(appender);
}

bool Logger::LogV(int level, const std::wstring& source, const wchar_t* format, va_list args) {
    FormatConverter converted(format);
    wchar_t buf[kMessageBuffer];
    buf[0] = 0;
    // A message that does not fit is cut to its first 1022 characters.
    // On overflow vswprintf fills the buffer without a terminator: end it after 1022.
    if (std::vswprintf(buf, kMessageBuffer - 1, converted.c_str(), args) < 0)
        buf[kMessageBuffer - 2] = 0;
    buf[kMessageBuffer - 1] = 0;
    for (LoggerAppender* appender : m_appenders) {
        if (!appender->Append(level, std::wstring(buf), source)) return false;
    }
    return true;
}

bool Logger::Log(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = LogV(level, std::wstring(), format, args);
    va_end(args);
    return ok;
}

bool Logger::Log(int level, const std::wstring& source, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = LogV(level, source, format, args);
    va_end(args);
    return ok;
}

Logger* SetLogger(Logger* logger) {
    Logger* previous = g_logger;
    g_logger = logger;
    return previous;
}

Logger* GetLogger() { return g_logger; }

}  // namespace UpdateNew

#define UPD_LOG_FUNCTIONS(Name, Level)                                            \
    bool Name(const wchar_t* format, ...) {                                       \
        va_list args;                                                             \
        va_start(args, format);                                                   \
        bool ok = UpdateNew::Deliver(Level, std::wstring(), format, args);        \
        va_end(args);                                                             \
        return ok;                                                                \
    }                                                                             \
    bool Name(const LogSource& source, const wchar_t* format, ...) {              \
        va_list args;                                                             \
        va_start(args, format);                                                   \
        bool ok = UpdateNew::Deliver(Level, source.name, format, args);           \
        va_end(args);                                                             \
        return ok;                                                                \
    }

UPD_LOG_FUNCTIONS(LogDebug, UpdateNew::LOG_DEBUG)
UPD_LOG_FUNCTIONS(LogInfo, UpdateNew::LOG_INFO)
UPD_LOG_FUNCTIONS(LogWarning, UpdateNew::LOG_WARNING)
UPD_LOG_FUNCTIONS(LogError, UpdateNew::LOG_ERROR)
UPD_LOG_FUNCTIONS(LogFatal, UpdateNew::LOG_FATAL)
