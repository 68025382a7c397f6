// The command-line parameter engine: a table of declared options with their values, the
// two-pass parse of the command line, validation of the table and help output. It knows
// nothing of what an option means; CUpdateParameters declares the updater's options and
// the configuration carries their values into itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace UpdateNew {

class Parameters;

// One declared option together with the value(s) it received.
class Parameter {
public:
    // The default of an option that has none.
    static const wchar_t* const kNoDefault;  // "|@NODEFAULT@|"

    // A one-value, optional declaration with a real default starts set, holding the
    // default as its first value (first list entry when multiple). `owner` may be null;
    // it is only used to name the depended-on option in help output and must outlive
    // this declaration.
    Parameter(Parameters* owner, int32_t id, const std::wstring& name, uint32_t valueCount,
              const std::wstring& help, const std::wstring& defaultValue = kNoDefault,
              bool alone = false, bool mandatory = false, bool multiple = false,
              int32_t dependsOn = -1);

    // Index 0: the first value, 1: the second slot. An index above the value count throws
    // CUpdateCriticalException 631 (message 354). Index 0 of a switch is its empty value.
    std::wstring& getValue(uint32_t index = 0);
    const std::wstring& getValue(uint32_t index = 0) const;
    // The list of a multiple option; any other throws 631 (message 355).
    const std::vector<std::wstring>& getValues() const;
    // The same list for changing the values in place (the configuration expands path
    // variables in every value before it applies them).
    std::vector<std::wstring>& getValues() {
        return const_cast<std::vector<std::wstring>&>(std::as_const(*this).getValues());
    }
    // Multiple: index 0 appends, any other index throws 631 (message 356). Single: index 0
    // replaces the first value, any other index the second. Marks the option set.
    void setValue(uint32_t index, const std::wstring& value);

    // Help entry: wide output, or the same text as UTF-8 bytes. Both flush the stream.
    void print(FILE* out) const;
    void printUtf8(FILE* out) const;
    // The help entry as text (what print writes).
    std::wstring helpText() const;

    // Equality compares the names only, exactly as declared.
    bool operator==(const Parameter& other) const { return m_name == other.m_name; }
    bool operator==(const std::wstring& name) const { return m_name == name; }

    int32_t id() const { return m_id; }
    const std::wstring& name() const { return m_name; }
    uint32_t valueCount() const { return m_valueCount; }
    const std::wstring& help() const { return m_help; }
    bool alone() const { return m_alone; }
    bool mandatory() const { return m_mandatory; }
    int32_t dependsOn() const { return m_dependsOn; }
    bool multiple() const { return m_multiple; }
    bool isSet() const { return m_set; }
    // A value was given (command line, configuration file, plug-in), not only the default.
    bool given() const { return m_given; }
    const std::wstring& defaultValue() const { return m_default; }
    bool hasDefault() const { return m_default != kNoDefault; }
    const Parameters* owner() const { return m_owner; }

private:
    int32_t m_id;
    std::wstring m_name;
    uint32_t m_valueCount;
    std::wstring m_help;
    bool m_alone;
    bool m_mandatory;
    int32_t m_dependsOn;
    std::wstring m_value1;
    std::wstring m_value2;  // nothing in the updater fills it
    std::vector<std::wstring> m_values;
    bool m_multiple;
    bool m_set = false;
    bool m_given = false;
    std::wstring m_default;
    Parameters* m_owner;
};

// The option table, in declaration order: help output, validation and application of the
// values all follow that order. Declarations point back at their table, so a table is
// neither copied nor moved.
class Parameters {
public:
    using iterator = std::vector<Parameter>::iterator;
    using const_iterator = std::vector<Parameter>::const_iterator;

    Parameters() = default;
    Parameters(const Parameters&) = delete;
    Parameters& operator=(const Parameters&) = delete;
    virtual ~Parameters();

    // Appends a declaration (see Parameter's constructor). The reference is valid until the
    // next declaration.
    Parameter& declare(int32_t id, const std::wstring& name, uint32_t valueCount,
                       const std::wstring& help, const std::wstring& defaultValue,
                       bool alone = false, bool mandatory = false, bool multiple = false,
                       int32_t dependsOn = -1);

    iterator begin() { return m_params.begin(); }
    iterator end() { return m_params.end(); }
    const_iterator begin() const { return m_params.begin(); }
    const_iterator end() const { return m_params.end(); }
    size_t size() const { return m_params.size(); }

    // The first declaration of that name, or end(). Names are compared without regard to
    // case, so mixed-case declarations ("TmpFilesList") are reachable from lower-cased
    // keys of the command line and the configuration file.
    iterator find(const std::wstring& name);
    const_iterator find(const std::wstring& name) const;
    // The first declaration with that id, or end().
    iterator findById(int32_t id);
    const_iterator findById(int32_t id) const;
    // The first declaration with that id exists and is set.
    bool isSet(int32_t id) const;
    // Copy of the first value of the first match; empty when nothing matches.
    std::wstring getValue(const std::wstring& name) const;
    std::wstring getValue(int32_t id) const;

    // Help entries of every declaration, in table order.
    virtual void print(FILE* out) const;
    virtual void printUtf8(FILE* out) const;
    // Checks each declaration in table order (messages 357 to 361, code 631); throws at the
    // first failure. Derived tables add their own rules after calling this one.
    virtual void validate() const;

    // Parses arguments 1 to argc-1 in two passes and validates the table.
    // Pass 1 only looks for `configFileId` (given as --name=value) and records unknown
    // --key=value pairs in `configData`; then `readConfigFile` is called with the first
    // value of `configFileId` when that option is set (its default when not given), so the
    // file's values come before the command line's. Pass 2 gives every known --key=value
    // its value (recording the pair as well), records unknown pairs, and sets switches.
    // Keys are lower-cased, values keep their case. Failures throw
    // CUpdateCriticalException 632 (messages 124, 362, 363) or whatever the hook,
    // checkUnknownKeys() or validate() throw; what was set before stays set. Returns true.
    bool parseCommandLine(int argc, const wchar_t* const* argv, int32_t configFileId,
                          std::map<std::wstring, std::wstring>& configData,
                          const std::function<void(const std::wstring&)>& readConfigFile);

    // A key that is no option of the table, and where it was given: "" for the command
    // line, else the configuration file's path. Parsing and reading the configuration
    // file record them in the order met; checkUnknownKeys() decides what they do.
    struct UnknownKey {
        std::wstring key;
        std::wstring source;
    };
    void noteUnknownKey(const std::wstring& key, const std::wstring& source);
    const std::vector<UnknownKey>& unknownKeys() const { return m_unknownKeys; }
    // The declared name closest to `key` (fewest single-character edits, a swap of two
    // neighbours counting as one; numbered declarations written without "%d"), or "" when
    // none is close enough to be a typo. `among`, when given, limits the candidates.
    std::wstring nearestName(const std::wstring& key,
                             const std::function<bool(const Parameter&)>& among = {}) const;

protected:
    // Called by parseCommandLine once every value is in, before validate(): a derived
    // table may refuse unknown keys here (by throwing). This one accepts them all.
    virtual void checkUnknownKeys() const;

private:
    std::vector<Parameter> m_params;
    std::vector<UnknownKey> m_unknownKeys;
};

}  // namespace UpdateNew
