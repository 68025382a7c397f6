// An argument vector for code that parses a command line, built from wide texts. argv[0]
// is a program path that the parse never looks at; argv[argc] is null.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

class Argv {
public:
    Argv(std::initializer_list<std::wstring> args);
    explicit Argv(const std::vector<std::wstring>& args);
    // The texts are owned here: copying would leave the pointers behind.
    Argv(const Argv&) = delete;
    Argv& operator=(const Argv&) = delete;

    int argc() const { return static_cast<int>(m_args.size()); }
    const wchar_t* const* argv() const { return m_ptrs.data(); }

private:
    std::vector<std::wstring> m_args;
    std::vector<const wchar_t*> m_ptrs;
};
