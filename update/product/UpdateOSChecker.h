// Operating-system filter of the product info file. Module commands and destinations may
// end in ";OS=token,token", file entries carry an OS element; this class knows the family
// tree of the tokens and decides whether a list applies to the running system (always
// "UNIX" here).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace UpdateNew {

class CUpdateOSChecker {
public:
    CUpdateOSChecker();
    virtual ~CUpdateOSChecker();

    // The token of the running system, or "" when its system code has no token.
    std::wstring currentOs() const;
    // True when `token` (any letter case) is one of the tree's tokens.
    bool isKnown(const std::wstring& token) const;
    // True when every comma-separated piece of `list` is a known token. A piece is not
    // trimmed, so "" or "UNIX, ALL" are not valid lists.
    bool isValidList(const std::wstring& list) const;
    // True when the list names the running system or one of its ancestors
    // (so here: when it holds "UNIX" or "ALL" in any letter case).
    bool matches(const std::wstring& list) const;
    // Splits "value;OS=list" into its parts. Without the ";OS" suffix `value` is the whole
    // text and `list` is "ALL". False for a malformed suffix (not exactly one "=", a key
    // other than "OS", or an unknown token); `value` and `list` are then unspecified.
    bool splitOsSuffix(const std::wstring& text, std::wstring& value, std::wstring& list) const;

    // The system code of the running system; this platform always reports 0x80008000.
    static uint32_t systemCode();
    // The token of a system code from the fixed table, "" for an unknown code.
    static std::wstring tokenForCode(uint32_t code);
    // The parent of a known token ("" for the root "ALL" and for unknown tokens).
    std::wstring parentOf(const std::wstring& token) const;
    size_t treeSize() const { return m_tree.size(); }

private:
    std::set<std::wstring> upperSet(const std::wstring& list) const;

    std::map<std::wstring, std::wstring> m_tree;  // token -> parent token
};

}  // namespace UpdateNew
