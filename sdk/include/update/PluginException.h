// The exception a plug-in throws out of a callback to stop the update run (the run then
// ends with ERR_PLUGIN_INVALID_EXIT_CODE and the message text in its log). Never thrown by
// the updater. Its layout is shared between the updater and the plug-ins: one wide
// string, no virtual functions, no base class, everything inline, so a plug-in needs no
// library of the updater to throw it.
#pragma once

#include <string>

class CPluginException {
public:
    explicit CPluginException(const std::wstring& message = std::wstring()) : m_message(message) {}
    std::wstring twhat() const { return m_message; }

private:
    std::wstring m_message;
};
