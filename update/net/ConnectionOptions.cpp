#include "net/ConnectionOptions.h"

#include <new>
#include <utility>

namespace UpdateNew {

unsigned ConnectionOptions::Store(int32_t id, Entry&& entry, bool overwrite) {
    try {
        auto found = m_entries.find(id);
        if (found == m_entries.end()) {
            m_entries.emplace(id, std::move(entry));
        } else if (overwrite) {
            found->second = std::move(entry);
        }
        return OK;
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    }
}

unsigned ConnectionOptions::SetLong(int32_t id, int32_t value, bool overwrite) {
    Entry e;
    e.kind = KIND_LONG;
    e.number = value;
    return Store(id, std::move(e), overwrite);
}

unsigned ConnectionOptions::SetBytes(int32_t id, const std::string& value, bool overwrite) {
    try {
        Entry e;
        e.kind = KIND_BYTES;
        e.bytes = value;
        return Store(id, std::move(e), overwrite);
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    }
}

unsigned ConnectionOptions::SetWide(int32_t id, const std::wstring& value, bool overwrite) {
    try {
        Entry e;
        e.kind = KIND_WIDE;
        e.wide = value;
        return Store(id, std::move(e), overwrite);
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    }
}

unsigned ConnectionOptions::SetPointer(int32_t id, void* value, bool overwrite) {
    Entry e;
    e.kind = KIND_POINTER;
    e.pointer = value;
    return Store(id, std::move(e), overwrite);
}

const ConnectionOptions::Entry* ConnectionOptions::Find(int32_t id, Kind kind,
                                                        unsigned& result) const {
    auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        result = NOT_FOUND;
        return nullptr;
    }
    if (found->second.kind != kind) {
        result = WRONG_KIND;
        return nullptr;
    }
    result = OK;
    return &found->second;
}

unsigned ConnectionOptions::GetLong(int32_t id, int32_t& out) const {
    unsigned result;
    if (const Entry* e = Find(id, KIND_LONG, result)) out = e->number;
    return result;
}

unsigned ConnectionOptions::GetBytes(int32_t id, std::string& out) const {
    unsigned result;
    const Entry* e = Find(id, KIND_BYTES, result);
    if (!e) return result;
    try {
        out = e->bytes;
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    }
    return OK;
}

unsigned ConnectionOptions::GetWide(int32_t id, std::wstring& out) const {
    unsigned result;
    const Entry* e = Find(id, KIND_WIDE, result);
    if (!e) return result;
    try {
        out = e->wide;
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    }
    return OK;
}

unsigned ConnectionOptions::GetPointer(int32_t id, void*& out) const {
    unsigned result;
    if (const Entry* e = Find(id, KIND_POINTER, result)) out = e->pointer;
    return result;
}

int ConnectionOptions::KindOf(int32_t id) const {
    auto found = m_entries.find(id);
    return found == m_entries.end() ? -1 : found->second.kind;
}

unsigned ConnectionOptions::Remove(int32_t id) {
    return m_entries.erase(id) ? OK : NOT_FOUND;
}

}  // namespace UpdateNew
