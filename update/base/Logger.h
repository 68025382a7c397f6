// The process-wide logger. Formats are wide printf formats in the program's convention:
// "%s" and "%c" take wide arguments (wchar_t*, wchar_t), "%S" and "%C" narrow ones.
// Debug messages reach the log file only; info and higher also standard output, bare.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace UpdateNew {

enum LogLevel {
    LOG_TRACE = 100,
    LOG_DEBUG = 200,
    LOG_INFO = 300,
    LOG_WARNING = 400,
    LOG_ERROR = 500,
    LOG_FATAL = 600
};

// Writes one message as a line built from its template. Lines are written unbuffered, so
// every line is on disk (or on the terminal) when Append returns; only debug lines logged
// while a LogHold lives may wait in memory for a moment (see there).
class LoggerAppender {
public:
    LoggerAppender(int minLevel, const std::wstring& tmpl);
    virtual ~LoggerAppender();
    virtual bool Append(int level, const std::wstring& message, const std::wstring& source) = 0;
    // Finished texts in order, each as the line LogV(level, L"", L"%s\n", text) would make
    // of it (its line end added, cut alike); an appender that writes may write them in one
    // go.
    virtual bool AppendAll(int level, const std::vector<std::wstring>& texts);
    // While held, an appender may keep debug lines back and write them together later,
    // in the same order; releasing writes what it kept.
    virtual void Hold(bool held) { (void)held; }

    // Whether a message of `level` would be written (at or above the minimum level).
    bool Accepts(int level) const { return level >= m_minLevel; }
    void SetTemplate(const std::wstring& tmpl);
    void SetDefaultSource(const std::wstring& source) { m_defaultSource = source; }
    // Expands the template around one message into `out`.
    void Format(int level, const std::wstring& message, const std::wstring& source,
                std::wstring& out) const;
    // The same appended to `out`, with a line end after the message when `lineEnd`.
    void FormatAppend(int level, std::wstring_view message, bool lineEnd,
                      const std::wstring& source, std::wstring& out) const;

protected:
    int m_minLevel;
    std::wstring m_template;
    std::wstring m_defaultSource;

private:
    // The template split once into literal text and the fields between the pieces, so that
    // a line is built without searching the template again.
    struct Piece {
        std::wstring text;  // literal text before the field
        int field;          // what follows the text (see Logger.cpp); -1 for nothing
    };
    std::vector<Piece> m_pieces;
    class LineTime;
    // Appends the expansion of pieces [first, last) to `out`.
    void expand(size_t first, size_t last, int level, std::wstring_view message, bool lineEnd,
                const std::wstring& source, LineTime& time, std::wstring& out) const;
    // The expansion of the pieces before the first ${MSG} (time, host, process, source,
    // level), kept for the next line of the same second, level and source: a run writes
    // many lines a second. m_headPieces is the number of pieces it covers (0: none).
    size_t m_headPieces = 0;
    mutable std::wstring m_head;
    mutable long long m_headSecond = -1;
    mutable int m_headLevel = 0;
    mutable long m_headPid = 0;
    mutable std::wstring m_headSource;
};

// The log file. Owns its stream; closed at destruction.
class LoggerAppenderFile : public LoggerAppender {
public:
    LoggerAppenderFile(int minLevel, const std::wstring& fileName, const std::wstring& tmpl);
    ~LoggerAppenderFile() override;
    bool Append(int level, const std::wstring& message, const std::wstring& source) override;
    // The lines of all texts with one write, or kept back with the held lines.
    bool AppendAll(int level, const std::vector<std::wstring>& texts) override;
    void SetFileName(const std::wstring& fileName) { m_fileName = fileName; }
    const std::wstring& FileName() const { return m_fileName; }
    // Opens for appending or truncating; 0, or -1 with errno set (EILSEQ when the name has
    // no multibyte form; ELOOP when the name is a symbolic link, which is never followed).
    // The stream is unbuffered.
    int Open(bool append);
    void Close();
    // Held, debug lines collect in memory and are written when 64 KiB are together, with
    // the next line of a higher level, at the release, or when the file is closed.
    void Hold(bool held) override;

private:
    // Writes `lines` (whole lines), after what was kept back, or keeps them back with the
    // held debug lines; false when they cannot be converted.
    bool write(int level, const std::wstring& lines);
    void flushHeld();
    // Writes to the file; the first failure is said on the console (message 1228), and
    // nothing is written after it.
    void writeBytes(const std::string& bytes);

    std::wstring m_fileName;
    FILE* m_file = nullptr;
    bool m_held = false;
    std::string m_heldBytes;  // debug lines kept back while held
    bool m_writeFailed = false;
};

// Standard output, written at the descriptor so it mixes safely with the C streams.
class LoggerAppenderStdout : public LoggerAppender {
public:
    LoggerAppenderStdout(int minLevel, const std::wstring& tmpl);
    bool Append(int level, const std::wstring& message, const std::wstring& source) override;
};

// Formats a message once and hands it to each appender in the order they were added.
// Does not own its appenders: they must outlive it or be removed with it.
class Logger {
public:
    explicit Logger(const std::wstring& name);
    void AddAppender(LoggerAppender* appender);
    bool LogV(int level, const std::wstring& source, const wchar_t* format, va_list args);
    bool Log(int level, const wchar_t* format, ...);
    bool Log(int level, const std::wstring& source, const wchar_t* format, ...);
    // Finished texts, each logged as LogV(level, L"", L"%s\n", text) would log it, handed to
    // each appender together (a file appender writes them with one call).
    bool LogTexts(int level, const std::vector<std::wstring>& texts);
    // Whether some appender takes messages of `level`; messages no appender takes are
    // neither formatted nor handed on.
    bool Wants(int level) const;
    // Holds or releases every appender (LogHold does it for the current logger).
    void Hold(bool held);

private:
    std::vector<LoggerAppender*> m_appenders;
    std::wstring m_name;
};

// The process-wide current logger (null at start). SetLogger returns the previous one.
Logger* SetLogger(Logger* logger);
Logger* GetLogger();

// Debug lines of the current logger written in batches for the life of this object:
// a stretch of work that logs several debug lines per item (the check of installed files)
// costs a write per 64 KiB of lines instead of one per item. The lines, their order and
// their content stay the same; a line of a higher level goes out at once with the debug
// lines before it, and the destructor writes the rest. Only one thread logs meanwhile.
// Not nested.
class LogHold {
public:
    LogHold();
    ~LogHold();
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;

private:
    Logger* m_logger;
};

// The text ${LEVEL} expands to; empty for levels outside the table.
const wchar_t* LevelName(int level);

// Names the source of a message (${SOURCE}); a distinct type so that a call like
// LogDebug(L"%s\n", text) can never be mistaken for the (source, format) form.
struct LogSource {
    explicit LogSource(std::wstring n) : name(std::move(n)) {}
    std::wstring name;
};

// Whether debug messages are written anywhere: lets a caller skip building the texts of
// debug messages that would be dropped.
bool LogDebugOn();

// Free functions: false when no logger is installed.
bool LogDebug(const wchar_t* format, ...);
bool LogDebug(const LogSource& source, const wchar_t* format, ...);
// Debug lines of finished texts (as LogDebug(L"%s\n", text) each), written together.
bool LogDebugTexts(const std::vector<std::wstring>& texts);
bool LogInfo(const wchar_t* format, ...);
bool LogInfo(const LogSource& source, const wchar_t* format, ...);
bool LogWarning(const wchar_t* format, ...);
bool LogWarning(const LogSource& source, const wchar_t* format, ...);
bool LogError(const wchar_t* format, ...);
bool LogError(const LogSource& source, const wchar_t* format, ...);
bool LogFatal(const wchar_t* format, ...);
bool LogFatal(const LogSource& source, const wchar_t* format, ...);

}  // namespace UpdateNew
