#include "config/PathVariables.h"

#include <cstdlib>
#include <cwctype>
#include <utility>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathList.h"

namespace UpdateNew {

std::wstring PathVariables::toLower(const std::wstring& text) {
    std::wstring lower(text);
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return lower;
}

void PathVariables::setVariable(const std::wstring& name, std::wstring value) {
    if (name.empty() || value.empty()) {
        THROW_CRITICAL(Msg<148>(name, value), ERR_SET_VARIABLE);
    }
    const std::wstring key = toLower(name);
    m_packed.erase(key);
    m_variables[key] = std::move(value);
}

void PathVariables::setPackedVariable(const std::wstring& name, std::string packedValue) {
    if (name.empty() || packedValue.empty()) {
        THROW_CRITICAL(Msg<148>(name, PathList::Unpack(packedValue)), ERR_SET_VARIABLE);
    }
    const std::wstring key = toLower(name);
    m_variables.erase(key);
    m_packed[key] = std::move(packedValue);
}

std::wstring PathVariables::getVariable(const std::wstring& name) const {
    if (name.empty()) THROW_CRITICAL(Msg<150>(), ERR_VARIABLE_EMPTY_NAME);
    const std::wstring key = toLower(name);
    auto it = m_variables.find(key);
    if (it != m_variables.end()) return it->second;
    auto packed = m_packed.find(key);
    if (packed == m_packed.end()) THROW_CRITICAL(Msg<151>(name), ERR_VARIABLE_UNDEFINED);
    return PathList::Unpack(packed->second);
}

const std::string* PathVariables::packedValue(const std::wstring& name) const {
    auto packed = m_packed.find(toLower(name));
    return packed == m_packed.end() ? nullptr : &packed->second;
}

bool PathVariables::isDefined(const std::wstring& name) const {
    const std::wstring key = toLower(name);
    return m_variables.count(key) != 0 || m_packed.count(key) != 0;
}

void PathVariables::removeDotSlash(std::wstring& text) {
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(L"./", start);
        if (pos == std::wstring::npos) return;
        if (pos > 0 && text[pos - 1] == L'.') {
            start = pos + 2;  // the tail of "../" stays
        } else {
            text.erase(pos, 2);
        }
    }
}

std::set<std::string> PathVariables::environmentNamesUsed() const {
    std::lock_guard<std::mutex> lock(m_environmentMutex);
    return m_environmentUsed;
}

void PathVariables::expandVariables(std::wstring& text, bool useEnvironment,
                                    bool removeDotSlash) const {
    if (removeDotSlash) PathVariables::removeDotSlash(text);
    size_t pos = 0;
    size_t substitutions = 0;
    for (;;) {
        size_t open = text.find(L'%', pos);
        if (open == std::wstring::npos) return;
        size_t close = text.find(L'%', open + 1);
        if (close == std::wstring::npos) THROW_CRITICAL(Msg<154>(text), ERR_VARIABLE_SYNTAX);
        const std::wstring name = text.substr(open + 1, close - open - 1);

        std::wstring value;
        try {
            value = getVariable(name);
        } catch (const CUpdateCriticalException&) {
            if (!useEnvironment) return;
            std::string narrowName;
            const char* env = nullptr;
            if (!name.empty() && WideToMultibyte(name, narrowName)) {
                env = std::getenv(narrowName.c_str());
                std::lock_guard<std::mutex> lock(m_environmentMutex);
                m_environmentUsed.insert(narrowName);
            }
            if (!env) {
                LogDebug(L"%s\n", Msg<641>(name).c_str());
                throw;
            }
            LogDebug(L"%s\n", Msg<640>(name).c_str());
            value = FromMultibyte(env);
        }

        // Every occurrence is replaced; scanning then resumes where this reference began,
        // so that references inside the value are expanded as well.
        const std::wstring reference = L"%" + name + L"%";
        for (size_t at = text.find(reference); at != std::wstring::npos;
             at = text.find(reference, at + value.size())) {
            text.replace(at, reference.size(), value);
        }
        if (++substitutions > kMaxSubstitutions || text.size() > kMaxExpandedLength) {
            THROW_CRITICAL(Msg<161>(name, text.substr(0, 200)), ERR_VARIABLE_SYNTAX);
        }
        pos = open;
    }
}

void PathVariables::addVariablePair(const std::wstring& pair) {
    std::wstring text(pair);
    if (!text.empty() && text.front() == L'"') text.erase(0, 1);
    if (!text.empty() && text.back() == L'"') text.pop_back();
    size_t eq = text.find(L'=');
    if (eq == std::wstring::npos) THROW_CRITICAL(Msg<364>(text), ERR_INVALID_PARAMETER);
    setVariable(text.substr(0, eq), text.substr(eq + 1));
}

}  // namespace UpdateNew
