// The table of path variables (%NAME% in option values, module destinations and
// commands) and the one expansion every part uses on its texts. Names are kept in lower
// case, so they are case-insensitive; defining a name again replaces its value.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace UpdateNew {

class PathVariables {
public:
    using Table = std::map<std::wstring, std::wstring>;

    // How far one expansion may go before a variable that refers to itself, directly or
    // through others, is reported instead of being expanded without end. Real texts (paths,
    // command lines) stay far below both.
    static constexpr size_t kMaxSubstitutions = 1000;
    static constexpr size_t kMaxExpandedLength = 65536;

    // Defines (or replaces) a variable; an empty name or value is refused (code 600).
    void setVariable(const std::wstring& name, std::wstring value);
    // Defines (or replaces) a variable whose value is given in PathList's packed form and
    // kept so, for values of tens of MB (a list of every changed file); it reads as any
    // other variable, but `variables()` does not list it.
    void setPackedVariable(const std::wstring& name, std::string packedValue);
    // The value; an empty name (code 604) or an undefined one (code 605) is refused.
    std::wstring getVariable(const std::wstring& name) const;
    // The packed value of a variable set by setPackedVariable (and not replaced since), or
    // null.
    const std::string* packedValue(const std::wstring& name) const;
    bool isDefined(const std::wstring& name) const;
    const Table& variables() const { return m_variables; }

    // Expands `text` in place. With `removeDotSlash`, "./" is removed first except where it
    // ends a "../". Every %NAME% is replaced, and references inside inserted values are
    // expanded too. A name that is not defined is looked up in the environment when
    // `useEnvironment` is set (failing when it is not there either); without it the
    // expansion stops there and leaves the rest of the text as it is. A "%" without its
    // closing "%" fails (code 602), and so does a self-referring variable (code 602).
    // A failed expansion leaves the text partly expanded.
    void expandVariables(std::wstring& text, bool useEnvironment, bool removeDotSlash) const;
    // The names expandVariables() has looked up in the environment so far, found or not:
    // what of the environment the expanded texts depend on. Any thread.
    std::set<std::string> environmentNamesUsed() const;

    // Defines one `add-var-pair` value: NAME=value, optionally in double quotes. A text
    // without "=" is refused (code 631).
    void addVariablePair(const std::wstring& pair);

    // "a/./b" -> "a/b", "./x" -> "x", "../x" stays, "name./x" -> "namex".
    static void removeDotSlash(std::wstring& text);
    static std::wstring toLower(const std::wstring& text);

private:
    Table m_variables;
    mutable std::mutex m_environmentMutex;            // guards m_environmentUsed
    mutable std::set<std::string> m_environmentUsed;  // see environmentNamesUsed()
    std::map<std::wstring, std::string> m_packed;     // setPackedVariable's, by lower-case name
};

}  // namespace UpdateNew
