// The keyed option store of an internet connection: option id -> one value of a fixed
// kind. The connection applies the whole store to libcurl before every transfer, so a
// value stored once (proxy, user agent) serves every later transfer. The configuration
// uses a store of the same type for its settings.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace UpdateNew {

class ConnectionOptions {
public:
    // Ids the transport understands. The configuration's settings use ids from 100 on.
    enum OptionId : int32_t {
        VERBOSE = 0,          // long: libcurl's verbose trace
        PROXY_TYPE = 1,       // long: 1 selects SOCKS5, any other value HTTP
        URL = 2,              // bytes
        USER_PASS = 3,        // bytes: "user:password" for the server
        USER_AGENT = 4,       // bytes
        PROXY_HOST_PORT = 5,  // bytes: "host:port", optionally with a scheme prefix
        PROXY_USER_PASS = 6,  // bytes: "user" or "user:password" for the proxy
        WRITE_FUNCTION = 7,   // pointer: libcurl write callback
        WRITE_DATA = 8,       // pointer: its context
        TIMEOUT = 9,          // long, seconds: connect time-out and stall limit (0: none)
        CA_FILE = 10,         // bytes: file of trusted certificates replacing the system's
        MAX_RECV_RATE = 11,   // long, bytes a second a transfer may receive (0: no cap)
    };

    enum Kind : int { KIND_LONG = 0, KIND_BYTES = 1, KIND_WIDE = 2, KIND_POINTER = 3 };

    enum Result : unsigned {
        OK = 0,
        NO_MEMORY = 1,   // an entry could not be allocated
        NOT_FOUND = 6,   // no entry under the id
        WRONG_KIND = 7,  // the entry under the id is of another kind
    };

    ConnectionOptions() = default;
    ConnectionOptions(const ConnectionOptions&) = default;
    ConnectionOptions& operator=(const ConnectionOptions&) = default;

    // Storing under an existing id replaces the old entry (whatever its kind) when
    // `overwrite` is set and otherwise keeps it; both count as success.
    unsigned SetLong(int32_t id, int32_t value, bool overwrite = true);
    unsigned SetBytes(int32_t id, const std::string& value, bool overwrite = true);
    unsigned SetWide(int32_t id, const std::wstring& value, bool overwrite = true);
    // The pointer is stored, not owned.
    unsigned SetPointer(int32_t id, void* value, bool overwrite = true);

    // Readers leave `out` untouched unless they return OK.
    unsigned GetLong(int32_t id, int32_t& out) const;
    unsigned GetBytes(int32_t id, std::string& out) const;
    unsigned GetWide(int32_t id, std::wstring& out) const;
    unsigned GetPointer(int32_t id, void*& out) const;

    bool Has(int32_t id) const { return m_entries.count(id) != 0; }
    // The kind stored under `id`, or -1 when there is none.
    int KindOf(int32_t id) const;
    unsigned Remove(int32_t id);
    size_t Size() const { return m_entries.size(); }
    // Drops every entry and with it the owned texts.
    void Clear() { m_entries.clear(); }

private:
    struct Entry {
        Kind kind = KIND_LONG;
        int32_t number = 0;
        std::string bytes;
        std::wstring wide;
        void* pointer = nullptr;
    };

    unsigned Store(int32_t id, Entry&& entry, bool overwrite);
    const Entry* Find(int32_t id, Kind kind, unsigned& result) const;

    std::map<int32_t, Entry> m_entries;
};

}  // namespace UpdateNew
