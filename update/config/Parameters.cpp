#include "config/Parameters.h"

#include <algorithm>
#include <cwchar>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/StringUtils.h"

namespace UpdateNew {

const wchar_t* const Parameter::kNoDefault = L"|@NODEFAULT@|";

namespace {

// Writes wide text to a stream whatever its orientation: a stream already used for narrow
// output cannot take wide output any more (it would be dropped silently), so it gets the
// text as bytes, UTF-8 or the locale's encoding as asked.
void WriteText(FILE* out, const std::wstring& text, bool utf8) {
    if (std::fwide(out, 0) > 0) {
        std::fputws(text.c_str(), out);
    } else {
        const std::string bytes = utf8 ? WideToUtf8(text) : ToMultibyte(text);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    }
    std::fflush(out);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Parameter

Parameter::Parameter(Parameters* owner, int32_t id, const std::wstring& name, uint32_t valueCount,
                     const std::wstring& help, const std::wstring& defaultValue, bool alone,
                     bool mandatory, bool multiple, int32_t dependsOn)
    : m_id(id),
      m_name(name),
      m_valueCount(valueCount),
      m_help(help),
      m_alone(alone),
      m_mandatory(mandatory),
      m_dependsOn(dependsOn),
      m_multiple(multiple),
      m_default(defaultValue),
      m_owner(owner) {
    // An optional one-value option with a real default holds it from the start.
    if (m_valueCount == 1 && !m_mandatory && hasDefault()) {
        if (m_multiple)
            m_values.push_back(m_default);
        else
            m_value1 = m_default;
        m_set = true;
    }
}

std::wstring& Parameter::getValue(uint32_t index) {
    if (index > m_valueCount) THROW_CRITICAL(Msg<354>(m_name), ERR_INVALID_PARAMETER);
    return index == 0 ? m_value1 : m_value2;
}

const std::wstring& Parameter::getValue(uint32_t index) const {
    return const_cast<Parameter*>(this)->getValue(index);
}

const std::vector<std::wstring>& Parameter::getValues() const {
    if (!m_multiple) THROW_CRITICAL(Msg<355>(m_name), ERR_INVALID_PARAMETER);
    return m_values;
}

void Parameter::setValue(uint32_t index, const std::wstring& value) {
    if (m_multiple) {
        if (index != 0) THROW_CRITICAL(Msg<356>(m_name), ERR_INVALID_PARAMETER);
        m_values.push_back(value);
    } else if (index == 0) {
        m_value1 = value;
    } else {
        m_value2 = value;
    }
    m_set = true;
    m_given = true;
}

std::wstring Parameter::helpText() const {
    std::wstring text = L"\n--" + m_name;
    if (m_valueCount != 0) text += L"=<" + m_default + L">";
    text += L"\n" + m_help;
    if (m_mandatory) text += L"[mandatory]";
    if (m_alone) text += L"[alone]";
    if (m_dependsOn != -1 && m_owner) {
        auto other = m_owner->findById(m_dependsOn);
        // A dependency on an id that nothing declares is caught by validate(); the help
        // still names it, by number.
        text += L"[depends on:" +
                (other != m_owner->end() ? other->name() : std::to_wstring(m_dependsOn)) + L"]";
    }
    return text;
}

void Parameter::print(FILE* out) const {
    WriteText(out, helpText(), false);
}

void Parameter::printUtf8(FILE* out) const {
    WriteText(out, helpText(), true);
}

// ---------------------------------------------------------------------------------------
// Parameters

Parameters::~Parameters() = default;

Parameter& Parameters::declare(int32_t id, const std::wstring& name, uint32_t valueCount,
                               const std::wstring& help, const std::wstring& defaultValue,
                               bool alone, bool mandatory, bool multiple, int32_t dependsOn) {
    m_params.emplace_back(this, id, name, valueCount, help, defaultValue, alone, mandatory,
                          multiple, dependsOn);
    return m_params.back();
}

Parameters::iterator Parameters::find(const std::wstring& name) {
    const std::wstring key = ToLower(name);
    for (auto it = m_params.begin(); it != m_params.end(); ++it)
        if (ToLower(it->name()) == key) return it;
    return m_params.end();
}

Parameters::const_iterator Parameters::find(const std::wstring& name) const {
    return const_cast<Parameters*>(this)->find(name);
}

Parameters::iterator Parameters::findById(int32_t id) {
    for (auto it = m_params.begin(); it != m_params.end(); ++it)
        if (it->id() == id) return it;
    return m_params.end();
}

Parameters::const_iterator Parameters::findById(int32_t id) const {
    return const_cast<Parameters*>(this)->findById(id);
}

bool Parameters::isSet(int32_t id) const {
    auto it = findById(id);
    return it != end() && it->isSet();
}

std::wstring Parameters::getValue(const std::wstring& name) const {
    auto it = find(name);
    return it != end() ? it->getValue(0) : std::wstring();
}

std::wstring Parameters::getValue(int32_t id) const {
    auto it = findById(id);
    return it != end() ? it->getValue(0) : std::wstring();
}

void Parameters::print(FILE* out) const {
    for (const Parameter& p : m_params) p.print(out);
}

void Parameters::printUtf8(FILE* out) const {
    for (const Parameter& p : m_params) p.printUtf8(out);
}

void Parameters::validate() const {
    for (const Parameter& p : m_params) {
        if (p.alone() && p.valueCount() > 1)
            THROW_CRITICAL(Msg<357>(p.name()), ERR_INVALID_PARAMETER);
        if (!p.isSet() && p.mandatory()) THROW_CRITICAL(Msg<358>(p.name()), ERR_INVALID_PARAMETER);
        // A default on anything but a one-value option is a declaration error (a switch
        // with a default, for instance): such a declaration never starts set.
        if (!p.isSet() && !p.mandatory() && p.hasDefault() && p.valueCount() != 1)
            THROW_CRITICAL(Msg<359>(p.name()), ERR_INVALID_PARAMETER);
        if (p.isSet() && p.dependsOn() != -1) {
            auto other = findById(p.dependsOn());
            if (other == end())
                THROW_CRITICAL(Msg<360>(p.name(), static_cast<int>(p.dependsOn())),
                               ERR_INVALID_PARAMETER);
            if (!other->isSet())
                THROW_CRITICAL(Msg<361>(p.name(), other->name()), ERR_INVALID_PARAMETER);
        }
    }
}

bool Parameters::parseCommandLine(int argc, const wchar_t* const* argv, int32_t configFileId,
                                  std::map<std::wstring, std::wstring>& configData,
                                  const std::function<void(const std::wstring&)>& readConfigFile) {
    // Splits "--key=value" into the lower-cased key and the value as written; false for a
    // switch ("--key"), whose lower-cased text is then the key.
    auto split = [](const wchar_t* raw, std::wstring& key, std::wstring& value) {
        const std::wstring arg = raw ? raw : L"";
        if (arg.compare(0, 2, L"--") != 0) THROW_CRITICAL(Msg<124>(arg), ERR_COMMAND_LINE);
        const std::wstring text = arg.substr(2);
        const size_t eq = text.find(L'=');
        if (eq == std::wstring::npos) {
            key = ToLower(text);
            value.clear();
            return false;
        }
        key = ToLower(text.substr(0, eq));
        value = text.substr(eq + 1);  // further "=" belong to the value
        return true;
    };

    if (!argv) argc = 0;
    std::wstring key, value;
    // Pass 1: only the configuration file's name, so that the file is read before the
    // command line's own values are set and the command line wins.
    for (int i = 1; i < argc; ++i) {
        if (!split(argv[i], key, value)) continue;
        auto it = find(key);
        if (it == end()) {
            configData[key] = value;
        } else if (it->id() == configFileId) {
            it->setValue(0, value);
            break;
        }
    }
    auto configFile = findById(configFileId);
    if (configFile != end() && configFile->isSet() && readConfigFile)
        readConfigFile(configFile->getValue(0));

    // Pass 2: everything.
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = split(argv[i], key, value);
        auto it = find(key);
        if (hasValue) {
            if (it != end()) it->setValue(0, value);
            if (it == end()) noteUnknownKey(key, std::wstring());
            configData[key] = value;
        } else {
            if (it == end()) THROW_CRITICAL(Msg<362>(key), ERR_COMMAND_LINE);
            if (it->valueCount() != 0) THROW_CRITICAL(Msg<363>(key), ERR_COMMAND_LINE);
            it->setValue(0, std::wstring());
        }
    }
    checkUnknownKeys();
    validate();
    return true;
}

void Parameters::noteUnknownKey(const std::wstring& key, const std::wstring& source) {
    for (const UnknownKey& known : m_unknownKeys)
        if (known.key == key && known.source == source) return;
    m_unknownKeys.push_back({key, source});
}

namespace {

// Single-character insertions, deletions and substitutions, and swaps of two neighbours
// (each counting once), that turn `a` into `b`; no character is edited twice.
size_t EditDistance(const std::wstring& a, const std::wstring& b) {
    // Three rows of the table: two rows back (for swaps), the last one and this one.
    std::vector<size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

}  // namespace

std::wstring Parameters::nearestName(const std::wstring& key,
                                     const std::function<bool(const Parameter&)>& among) const {
    // Keys longer than any option are no typo of one; the bound keeps the work small.
    if (key.empty() || key.size() > 64) return std::wstring();
    const std::wstring lower = ToLower(key);
    std::wstring best;
    size_t bestDistance = 0;
    for (const Parameter& p : m_params) {
        if (among && !among(p)) continue;
        std::wstring name = ToLower(p.name());
        const size_t numbered = name.find(L"%d");
        if (numbered != std::wstring::npos) name.erase(numbered, 2);
        const size_t distance = EditDistance(lower, name);
        if (best.empty() || distance < bestDistance) {
            best = p.name();
            if (numbered != std::wstring::npos) best.erase(best.find(L"%d"), 2);
            bestDistance = distance;
        }
    }
    // A typo changes a few characters, not most of the name.
    const size_t limit = std::max<size_t>(1, std::min<size_t>(3, lower.size() / 3));
    return bestDistance <= limit ? best : std::wstring();
}

void Parameters::checkUnknownKeys() const {}

}  // namespace UpdateNew
