// Where the progress plug-in writes: standard error, byte for byte through write(2), so it
// never meets the stream state of the updater's own standard output.
//
// Writing never fails a caller: a closed descriptor, a pipe without a reader (no SIGPIPE
// reaches the process) or any other error silences the writer for the rest of the run.
#pragma once

#include <string>

class TerminalWriter {
public:
    // Looks at the descriptor once: whether it is a terminal that understands cursor
    // control (TERM is not "dumb") and whether colours are wanted (NO_COLOR unset).
    explicit TerminalWriter(int fd);

    bool isTerminal() const { return m_terminal; }
    bool colours() const { return m_colours; }
    // The terminal's width in columns now (it may be resized during a run); 80 when unknown.
    int columns() const;

    // Writes all bytes, retrying after signals; after the first failure it writes nothing.
    void write(const std::string& bytes);

private:
    int m_fd;
    bool m_terminal = false;
    bool m_colours = false;
    bool m_broken = false;
};

// The text in the locale's multibyte encoding; characters it cannot encode become "?".
std::string ToLocale(const std::wstring& text);

// Display columns of the text (wide characters count two, control characters one).
int DisplayWidth(const std::wstring& text);

// The text cut to at most `columns` display columns; a cut text ends in "..." so the
// reader sees it is shortened. Cuts at the front when `keepEnd` (paths: the end matters).
std::wstring FitColumns(const std::wstring& text, int columns, bool keepEnd = false);
