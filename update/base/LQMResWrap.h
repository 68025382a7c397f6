// Class wrapper over the message file library: every user-visible text of the updater
// is a numbered message of update_msg.lqr, formatted with up to four parameters.
#pragma once

#include <string>

namespace UpdateNew {

// One parameter of a message as wide text. Made from a text it refers to that text, which
// must outlive the parameter (parameters live for one message's formatting: Msg<N>(...));
// numbers are formatted into text of its own, and a copy owns its text.
class CLQMsgParam {
public:
    explicit CLQMsgParam(const wchar_t* text);  // text must not be null
    CLQMsgParam(const std::wstring& text);      // NOLINT: implicit on purpose
    CLQMsgParam(int value, int radix = 10);
    CLQMsgParam(long value, int radix = 10);
    CLQMsgParam(unsigned int value, int radix = 10);
    CLQMsgParam(unsigned long value, int radix = 10);
    CLQMsgParam(unsigned long long value, int radix = 10);
    CLQMsgParam(long long value, int radix = 10);
    explicit CLQMsgParam(wchar_t c);
    explicit CLQMsgParam(const void* pointer);
    // A floating-point value with a caller-given wide printf format.
    CLQMsgParam(double value, const wchar_t* format);
    CLQMsgParam(const CLQMsgParam& other);
    CLQMsgParam& operator=(const CLQMsgParam& other);
    ~CLQMsgParam();

    const wchar_t* text() const { return m_pszText; }

private:
    struct Owned {};
    CLQMsgParam(Owned, wchar_t* owned) : m_owned(owned), m_pszText(owned) {}

    wchar_t* m_owned = nullptr;  // the text, when it is the parameter's own
    const wchar_t* m_pszText;
};

// A loaded message file. Owns the library handle and releases it on destruction.
class CLQMsgTable {
public:
    CLQMsgTable() = default;
    CLQMsgTable(const CLQMsgTable&) = delete;
    CLQMsgTable& operator=(const CLQMsgTable&) = delete;
    ~CLQMsgTable();

    // Loads the file; a failure throws Exception("Failed to load " + path, result).
    void Init(const wchar_t* path);
    bool IsLoaded() const { return m_handle != nullptr; }
    void* handle() const { return m_handle; }

private:
    void* m_handle = nullptr;
};

// One formatted message. The text is owned and freed by the destructor.
class CLQMsg {
public:
    CLQMsg(void* handle, unsigned number);
    CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1);
    CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2);
    CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2,
           const CLQMsgParam& p3);
    CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2,
           const CLQMsgParam& p3, const CLQMsgParam& p4);
    CLQMsg(const CLQMsg&) = delete;
    CLQMsg& operator=(const CLQMsg&) = delete;
    ~CLQMsg();

    const wchar_t* text() const { return m_pszText; }
    operator const wchar_t*() const { return m_pszText; }

private:
    wchar_t* m_pszText = nullptr;
};

// The two process-wide tables, both loaded from update_msg.lqr at start-up: the first
// serves the low-level file and socket functions, the second all other code.
extern CLQMsgTable g_cLibMsgTable;
extern CLQMsgTable g_cMsgTable;

}  // namespace UpdateNew
