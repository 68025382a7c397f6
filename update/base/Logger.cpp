#include "base/Logger.h"

#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "base/Console.h"
#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/FormatConverter.h"
#include "base/Messages.h"
#include "base/OutputFile.h"
#include "base/ProgramInfo.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

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

// Appends a decimal number, at least two digits when asked.
void AppendNumber(std::wstring& out, long value, bool twoDigits) {
    wchar_t digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long magnitude =
        negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (twoDigits && n == 1) digits[n++] = L'0';
    if (negative) digits[n++] = L'-';
    while (n > 0) out.push_back(digits[--n]);
}

bool Is(const wchar_t* name, size_t length, const wchar_t* literal) {
    return std::wcslen(literal) == length && std::wmemcmp(name, literal, length) == 0;
}

// The fields of a log template. The time fields are those LineTime::append takes.
enum Field {
    kNoField = -1,
    kYear = 3,
    kMonth,
    kDay,
    kHour,
    kMinute,
    kSecond,
    kMsg,
    kSource,
    kLevel,
    kFullHost,
    kProgram,
    kPid
};

struct FieldName {
    const wchar_t* name;
    int field;
};
const FieldName kFieldNames[] = {
    {L"SOURCE", kSource},     {L"LEVEL", kLevel},     {L"YEAR", kYear},     {L"MONTH", kMonth},
    {L"DAY", kDay},           {L"HOUR", kHour},       {L"MINUTE", kMinute}, {L"SECOND", kSecond},
    {L"FULLHOST", kFullHost}, {L"PROGRAM", kProgram}, {L"PID", kPid},       {L"MSG", kMsg}};

bool Deliver(int level, const std::wstring& source, const wchar_t* format, va_list args) {
    Logger* logger = GetLogger();
    return logger ? logger->LogV(level, source, format, args) : false;
}

// The process id of the lines: asked once per process (a child after fork asks anew),
// not once per line.
pid_t g_pid = 0;

long ProcessId() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pid = 0; });
        return true;
    }();
    (void)registered;
    if (g_pid == 0) g_pid = getpid();
    return static_cast<long>(g_pid);
}

// The buffers a line is built in, kept per thread: a run writes tens of thousands of lines.
struct LineBuffers {
    std::wstring message;
    std::wstring line;
    std::wstring lines;
    std::string bytes;
};

LineBuffers& Buffers() {
    thread_local LineBuffers buffers;
    return buffers;
}

// Appends the multibyte form of `lines` to `bytes`; false, with `bytes` as it was, when
// they cannot be converted.
bool AppendLineBytes(const std::wstring& lines, std::string& bytes) {
    // Lines of ASCII characters alone (nearly all) are narrowed in place.
    const wchar_t* const wide = lines.data();
    const size_t size = lines.size();
    // Two straight passes (whether all are ASCII, then the copy) that the compiler turns
    // into vector code, rather than one that stops at each character.
    uint32_t all = 0;
    for (size_t i = 0; i < size; ++i) all |= static_cast<uint32_t>(wide[i]);
    if (all < 0x80) {
        const size_t start = bytes.size();
        bytes.resize(start + size);
        char* const narrow = &bytes[start];
        for (size_t i = 0; i < size; ++i) narrow[i] = static_cast<char>(wide[i]);
        return true;
    }
    std::string converted;
    // A character this locale has no bytes for (a non-ASCII file name under LC_ALL=C) would
    // cost the whole line, the one that says why a run failed too: the line goes out in
    // UTF-8 instead.
    if (!WideToMultibyte(lines, converted)) converted = WideToUtf8(lines);
    bytes += converted;
    return true;
}

// Converts a whole line into Buffers().bytes; false when it cannot be converted.
bool LineBytes(const std::wstring& line) {
    std::string& bytes = Buffers().bytes;
    bytes.clear();
    return AppendLineBytes(line, bytes);
}

// The part of a finished text that LogV's "%s\n" form logs: its characters up to the first
// NUL with a line end, cut to kMessageBuffer - 2 characters (a text that long loses its
// line end).
std::wstring_view LineOf(const std::wstring& text, bool& lineEnd) {
    size_t size = std::wcslen(text.c_str());
    lineEnd = size + 1 <= kMessageBuffer - 2;
    if (!lineEnd) size = kMessageBuffer - 2;
    return std::wstring_view(text.data(), size);
}

}  // namespace

// The local time of one line, read from the clock once, when the template first needs it,
// so that every field of a line shows the same moment.
class LoggerAppender::LineTime {
public:
    // Appends field 3 (year), 4 (month), 5 (day), 6 (hour), 7 (minute) or 8 (second);
    // nothing when the clock cannot be read.
    void append(std::wstring& out, int field) {
        if (!m_read) {
            m_read = true;
            const std::time_t now = std::time(nullptr);
            // The broken-down time of the last second asked for, per thread: lines come
            // many per second.
            thread_local std::time_t cachedSecond = static_cast<std::time_t>(-1);
            thread_local std::tm cachedTm{};
            if (now != static_cast<std::time_t>(-1) && now != cachedSecond) {
                if (localtime_r(&now, &cachedTm) != nullptr) {
                    cachedSecond = now;
                } else {
                    cachedSecond = static_cast<std::time_t>(-1);
                }
            }
            m_valid = now != static_cast<std::time_t>(-1) && now == cachedSecond;
            if (m_valid) m_tm = cachedTm;
        }
        if (!m_valid) return;
        switch (field) {
            case 3:
                AppendNumber(out, m_tm.tm_year + 1900L, false);
                break;
            case 4:
                AppendNumber(out, m_tm.tm_mon + 1, true);
                break;
            case 5:
                AppendNumber(out, m_tm.tm_mday, true);
                break;
            case 6:
                AppendNumber(out, m_tm.tm_hour, true);
                break;
            case 7:
                AppendNumber(out, m_tm.tm_min, true);
                break;
            default:
                AppendNumber(out, m_tm.tm_sec, true);
                break;
        }
    }

private:
    bool m_read = false;
    bool m_valid = false;
    std::tm m_tm{};
};

const wchar_t* LevelName(int level) {
    switch (level) {
        case LOG_TRACE:
            return L"trace";
        case LOG_DEBUG:
            return L"debug";
        case LOG_INFO:
            return L"info";
        case LOG_WARNING:
            return L"warning";
        case LOG_ERROR:
            return L"error";
        case LOG_FATAL:
            return L"fatal";
        default:
            return L"";
    }
}

LoggerAppender::LoggerAppender(int minLevel, const std::wstring& tmpl)
    : m_minLevel(minLevel), m_defaultSource(L"unknown") {
    SetTemplate(tmpl);
}

void LoggerAppender::SetTemplate(const std::wstring& tmpl) {
    // Each "${NAME}" is a field (an unknown name expands to nothing); a "${" without a
    // closing "}" and everything after it are literal text.
    m_template = tmpl;
    m_pieces.clear();
    size_t pos = 0;
    for (;;) {
        const size_t start = tmpl.find(L"${", pos);
        const size_t end =
            start == std::wstring::npos ? std::wstring::npos : tmpl.find(L'}', start + 1);
        if (end == std::wstring::npos) break;
        const wchar_t* name = tmpl.data() + start + 2;
        const size_t length = end - start - 2;
        int field = kNoField;
        for (const FieldName& known : kFieldNames) {
            if (Is(name, length, known.name)) field = known.field;
        }
        m_pieces.push_back({tmpl.substr(pos, start - pos), field});
        pos = end + 1;
    }
    m_pieces.push_back({tmpl.substr(pos), kNoField});
    m_headPieces = 0;
    while (m_headPieces < m_pieces.size() && m_pieces[m_headPieces].field != kMsg) ++m_headPieces;
    if (m_headPieces == m_pieces.size()) m_headPieces = 0;  // no message field: nothing to keep
    m_headSecond = -1;
}

LoggerAppender::~LoggerAppender() = default;

void LoggerAppender::Format(int level, const std::wstring& message, const std::wstring& source,
                            std::wstring& out) const {
    out.clear();
    out.reserve(m_template.size() + message.size() + 64);
    FormatAppend(level, message, false, source, out);
}

void LoggerAppender::FormatAppend(int level, std::wstring_view message, bool lineEnd,
                                  const std::wstring& source, std::wstring& out) const {
    // Inserted text is never scanned for fields itself.
    LineTime time;
    size_t first = 0;
    if (m_headPieces != 0) {
        // The head depends on nothing but the second, the level and the source.
        const long long second = static_cast<long long>(std::time(nullptr));
        const std::wstring& named = source.empty() ? m_defaultSource : source;
        const long pid = ProcessId();
        if (second == -1 || second != m_headSecond || level != m_headLevel || pid != m_headPid ||
            named != m_headSource) {
            m_head.clear();
            expand(0, m_headPieces, level, message, lineEnd, source, time, m_head);
            // A second that passed while the head was built is not taken for the next line.
            m_headSecond = second == static_cast<long long>(std::time(nullptr)) ? second : -1;
            m_headLevel = level;
            m_headPid = pid;
            m_headSource = named;
        }
        out += m_head;
        first = m_headPieces;
    }
    expand(first, m_pieces.size(), level, message, lineEnd, source, time, out);
}

void LoggerAppender::expand(size_t first, size_t last, int level, std::wstring_view message,
                            bool lineEnd, const std::wstring& source, LineTime& time,
                            std::wstring& out) const {
    for (size_t i = first; i < last; ++i) {
        const Piece& piece = m_pieces[i];
        out += piece.text;
        switch (piece.field) {
            case kMsg:
                out += message;
                if (lineEnd) out.push_back(L'\n');
                break;
            case kSource:
                out += source.empty() ? m_defaultSource : source;
                break;
            case kLevel:
                out += LevelName(level);
                break;
            case kYear:
            case kMonth:
            case kDay:
            case kHour:
            case kMinute:
            case kSecond:
                time.append(out, piece.field);
                break;
            case kFullHost:
                out += FullHostName();
                break;
            case kPid:
                AppendNumber(out, ProcessId(), false);
                break;
            default:
                break;  // "PROGRAM" is recognised, but nothing supplies a program name
        }
    }
}

LoggerAppenderFile::LoggerAppenderFile(int minLevel, const std::wstring& fileName,
                                       const std::wstring& tmpl)
    : LoggerAppender(minLevel, tmpl), m_fileName(fileName) {}

LoggerAppenderFile::~LoggerAppenderFile() {
    Close();
}

int LoggerAppenderFile::Open(bool append) {
    std::string path;
    if (!WideToMultibyte(m_fileName, path)) {
        errno = EILSEQ;
        return -1;
    }
    Close();
    // Close-on-exec: module commands and the updater copies of a self-update open the
    // log themselves when they write to it. A truncated log is still written at its end:
    // the self-update helper and the updater it restarts append to it while this process
    // may still write (a failed restart). The updater runs as root, and the log's
    // directory may be writable by others: OpenLogOutput never writes through another
    // user's link, file or FIFO, nor into a file of more names (a way to a file of root's),
    // nor into anything but a regular file (a FIFO there would hold the run), unless it is
    // one of the run's own streams (an administrator's /dev/stderr).
    UniqueFd file;
    bool created = false;
    bool stream = false;
    if (const int rc = OpenLogOutput(path, file, created, stream)) {
        errno = rc;  // kUntrustedLink's text names the link
        return -1;
    }
    if (!created && !stream && !append && ::ftruncate(file.get(), 0) != 0) return -1;
    const int fd = file.release();
    // A stream's flags are its owner's; fdopen "a" would change them.
    if (!stream) (void)::fcntl(fd, F_SETFL, O_APPEND);
    m_file = ::fdopen(fd, append && !stream ? "ab" : "wb");
    if (!m_file) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    return 0;
}

void LoggerAppenderFile::Close() {
    flushHeld();
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool LoggerAppenderFile::Append(int level, const std::wstring& message,
                                const std::wstring& source) {
    if (level < m_minLevel) return true;
    std::wstring& line = Buffers().line;
    Format(level, message, source, line);
    // A closed file drops the line; the entry point never adds such an appender.
    if (!m_file) return true;
    return write(level, line);
}

bool LoggerAppender::AppendAll(int level, const std::vector<std::wstring>& texts) {
    if (level < m_minLevel) return true;
    std::wstring message;
    for (const std::wstring& text : texts) {
        bool lineEnd = false;
        message.assign(LineOf(text, lineEnd));
        if (lineEnd) message.push_back(L'\n');
        if (!Append(level, message, std::wstring())) return false;
    }
    return true;
}

bool LoggerAppenderFile::AppendAll(int level, const std::vector<std::wstring>& texts) {
    if (level < m_minLevel) return true;
    // The lines are built one after the other in one buffer: no copy of a line on its way.
    static const std::wstring kNoSource;
    std::wstring& lines = Buffers().lines;
    lines.clear();
    for (const std::wstring& text : texts) {
        bool lineEnd = false;
        const std::wstring_view message = LineOf(text, lineEnd);
        FormatAppend(level, message, lineEnd, kNoSource, lines);
    }
    if (!m_file) return true;
    return write(level, lines);
}

// Debug lines kept back while held are written once this many bytes are together.
constexpr size_t kHeldBytes = 64 * 1024;

bool LoggerAppenderFile::write(int level, const std::wstring& lines) {
    // Held debug lines are narrowed straight onto the bytes kept back.
    if (m_held && level <= LOG_DEBUG) {
        if (!AppendLineBytes(lines, m_heldBytes)) return false;
        if (m_heldBytes.size() >= kHeldBytes) flushHeld();
        return true;
    }
    if (!LineBytes(lines)) return false;
    const std::string& bytes = Buffers().bytes;
    if (m_heldBytes.empty()) {
        // A failed write is not the caller's concern: the line could be converted.
        writeBytes(bytes);
        return true;
    }
    m_heldBytes += bytes;
    flushHeld();
    return true;
}

void LoggerAppenderFile::flushHeld() {
    if (m_heldBytes.empty()) return;
    if (m_file) writeBytes(m_heldBytes);
    m_heldBytes.clear();
}

void LoggerAppenderFile::writeBytes(const std::string& bytes) {
    // Once a write failed, nothing more: a later line must not follow one cut short.
    if (m_writeFailed) return;
    // The log is readable by more than root: a password in a server's or proxy's address
    // stays out of it.
    std::string hidden;
    if (bytes.find('@') != std::string::npos) hidden = bytes;
    const bool masked = !hidden.empty() && HideUrlPasswords(hidden);
    errno = 0;
    if (WriteAll(fileno(m_file), masked ? hidden : bytes)) return;
    // Said once, where it can still be read: a full disk under the log must not leave a
    // run that goes on without a word.
    m_writeFailed = true;
    const std::wstring reason = SystemErrorText(errno ? errno : EIO);
    ConsoleWrite(ToMultibyte(Msg<1228>(m_fileName, reason)) + "\n");
}

void LoggerAppenderFile::Hold(bool held) {
    m_held = held;
    if (!held) flushHeld();
}

LoggerAppenderStdout::LoggerAppenderStdout(int minLevel, const std::wstring& tmpl)
    : LoggerAppender(minLevel, tmpl) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool LoggerAppenderStdout::Append(int level, const std::wstring& message,
                                  const std::wstring& source) {
    if (level < m_minLevel) return true;
    std::wstring& line = Buffers().line;
    Format(level, message, source, line);
    if (!LineBytes(line)) return false;
    // A console that cannot take the line goes quiet; the file appender after it still
    // gets the message.
    (void)ConsoleWrite(Buffers().bytes);
    return true;
}

Logger::Logger(const std::wstring& name) : m_name(name) {}

void Logger::AddAppender(LoggerAppender* appender) {
    appender->SetDefaultSource(m_name);
    m_appenders.push_back(appender);
}

bool Logger::LogV(int level, const std::wstring& source, const wchar_t* format, va_list args) {
    // A message no appender takes is not even formatted.
    if (!Wants(level)) return true;
    // A message that does not fit is cut to its first 1022 characters. The message buffer
    // is reused unless an appender logs from within (then the outer call keeps its own).
    thread_local int depth = 0;
    std::wstring local;
    std::wstring& message = depth == 0 ? Buffers().message : local;
    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(d) { ++depth; }
        ~Nesting() { --depth; }
    } nesting(depth);
    va_list copy;
    va_copy(copy, args);
    const wchar_t* line =
        std::wcscmp(format, L"%s\n") == 0 ? va_arg(copy, const wchar_t*) : nullptr;
    va_end(copy);
    if (line) {
        // The usual "%s\n" (a finished text) needs no formatting: the same line, cut alike.
        message.assign(line);
        message.push_back(L'\n');
        if (message.size() > kMessageBuffer - 2) message.resize(kMessageBuffer - 2);
    } else {
        FormatConverter converted(format);
        wchar_t buf[kMessageBuffer];
        buf[0] = 0;
        // On overflow vswprintf fills the buffer without a terminator: end it after 1022.
        if (std::vswprintf(buf, kMessageBuffer - 1, converted.c_str(), args) < 0)
            buf[kMessageBuffer - 2] = 0;
        buf[kMessageBuffer - 1] = 0;
        message = buf;
    }
    for (LoggerAppender* appender : m_appenders) {
        if (!appender->Append(level, message, source)) return false;
    }
    return true;
}

bool Logger::LogTexts(int level, const std::vector<std::wstring>& texts) {
    if (!Wants(level)) return true;
    for (LoggerAppender* appender : m_appenders) {
        if (!appender->AppendAll(level, texts)) return false;
    }
    return true;
}

void Logger::Hold(bool held) {
    for (LoggerAppender* appender : m_appenders) appender->Hold(held);
}

LogHold::LogHold() : m_logger(GetLogger()) {
    if (m_logger) m_logger->Hold(true);
}

LogHold::~LogHold() {
    if (m_logger) m_logger->Hold(false);
}

bool Logger::Wants(int level) const {
    for (const LoggerAppender* appender : m_appenders) {
        if (appender->Accepts(level)) return true;
    }
    return false;
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

Logger* GetLogger() {
    return g_logger;
}

#define UPD_LOG_FUNCTIONS(Name, Level)                                     \
    bool Name(const wchar_t* format, ...) {                                \
        va_list args;                                                      \
        va_start(args, format);                                            \
        bool ok = UpdateNew::Deliver(Level, std::wstring(), format, args); \
        va_end(args);                                                      \
        return ok;                                                         \
    }                                                                      \
    bool Name(const LogSource& source, const wchar_t* format, ...) {       \
        va_list args;                                                      \
        va_start(args, format);                                            \
        bool ok = UpdateNew::Deliver(Level, source.name, format, args);    \
        va_end(args);                                                      \
        return ok;                                                         \
    }

bool LogDebugTexts(const std::vector<std::wstring>& texts) {
    UpdateNew::Logger* logger = UpdateNew::GetLogger();
    return logger ? logger->LogTexts(UpdateNew::LOG_DEBUG, texts) : false;
}

bool LogDebugOn() {
    const UpdateNew::Logger* logger = UpdateNew::GetLogger();
    return logger != nullptr && logger->Wants(UpdateNew::LOG_DEBUG);
}

UPD_LOG_FUNCTIONS(LogDebug, UpdateNew::LOG_DEBUG)
UPD_LOG_FUNCTIONS(LogInfo, UpdateNew::LOG_INFO)
UPD_LOG_FUNCTIONS(LogWarning, UpdateNew::LOG_WARNING)
UPD_LOG_FUNCTIONS(LogError, UpdateNew::LOG_ERROR)
UPD_LOG_FUNCTIONS(LogFatal, UpdateNew::LOG_FATAL)

}  // namespace UpdateNew
