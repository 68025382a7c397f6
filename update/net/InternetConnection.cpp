#include "net/InternetConnection.h"

#include <new>

#include "net/InternetConnectionCurl.h"

namespace UpdateNew {

using UpdateNew::PrintConnectionDiagnostic;

InternetConnection::~InternetConnection() {
    if (m_initialized) Uninitialize();
    delete m_connection;
}

unsigned InternetConnection::Initialize(ConnectionOptions* options) {
    if (m_initialized) Uninitialize();
    delete m_connection;
    m_connection = new (std::nothrow) UpdateNew::InternetConnectionCurl;
    if (!m_connection) {
        PrintConnectionDiagnostic(L"Can not allocate memory (m_connection)\n");
        return UpdateNew::CONNECTION_NO_MEMORY;
    }
    unsigned rc = m_connection->Initialize(options);
    if (rc != UpdateNew::CONNECTION_OK) {
        PrintConnectionDiagnostic(L"Can not initialize connection (m_session)\n");
        return rc;
    }
    m_initialized = true;
    return UpdateNew::CONNECTION_OK;
}

unsigned InternetConnection::Uninitialize() {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    unsigned rc = m_connection->Uninitialize();
    delete m_connection;
    m_connection = nullptr;
    m_initialized = false;
    return rc;
}

unsigned InternetConnection::SetStringOption(int32_t id, const std::wstring& value) {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->SetStringOption(id, value);
}

unsigned InternetConnection::SetLongOption(int32_t id, long value) {
    if (!m_initialized || !m_connection->IsInitialized()) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->Options()->SetLong(id, static_cast<int32_t>(value), true);
}

unsigned InternetConnection::SetPointerOption(int32_t id, void* value) {
    if (!m_initialized || !m_connection->IsInitialized()) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->Options()->SetPointer(id, value, true);
}

unsigned InternetConnection::Perform() {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->Perform();
}

unsigned InternetConnection::GetResponseCode(long* code) {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->GetResponseCode(code);
}

unsigned InternetConnection::ConfigureTransfer(void* handle, const std::string& url) {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return UpdateNew::CONNECTION_NOT_INITIALIZED;
    }
    return m_connection->ConfigureTransfer(handle, url);
}

std::string InternetConnection::LastErrorText() const {
    return m_initialized ? m_connection->LastErrorText() : std::string();
}

std::string InternetConnection::RefusedRedirect() const {
    return m_initialized ? m_connection->RefusedRedirect() : std::string();
}

}  // namespace UpdateNew
