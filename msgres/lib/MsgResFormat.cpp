// Formatting one message with its parameters.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "MsgResHandle.h"
#include "msgres/LqrLayout.h"
#include "msgres/MsgRes.h"

namespace {

// One parameter's text: a wide text the caller passed is used where it is; any other
// value is formatted into `own`.
struct Param {
    const wchar_t* text = L"";
    std::size_t size = 0;
    std::wstring own;
};

// Formats one (type, value) pair other than a wide text from the argument list; false for
// an unknown type or a narrow text that is not valid in the locale.
bool FormatParam(int type, va_list* args, std::wstring& out, int* failure) {
    wchar_t buf[32];
    switch (type) {
        case lqr::kTypeInt:
            std::swprintf(buf, 32, L"%d", va_arg(*args, int));
            out = buf;
            return true;
        case lqr::kTypeLong:
            // A 64-bit long needs up to 20 characters; the buffer has room for all of them.
            std::swprintf(buf, 32, L"%li", va_arg(*args, long));
            out = buf;
            return true;
        case lqr::kTypeULong:
            std::swprintf(buf, 32, L"%lu", va_arg(*args, unsigned long));
            out = buf;
            return true;
        case lqr::kTypeChar: {
            const int c = va_arg(*args, int);
            const wint_t w = std::btowc(static_cast<unsigned char>(c));
            out.assign(1, w == WEOF ? L'?' : static_cast<wchar_t>(w));
            return true;
        }
        case lqr::kTypeWChar:
            out.assign(1, static_cast<wchar_t>(va_arg(*args, wint_t)));
            return true;
        case lqr::kTypeString: {
            const char* s = va_arg(*args, const char*);
            out.clear();
            if (!s) return true;
            std::mbstate_t state{};
            const char* p = s;
            const std::size_t n = std::mbsrtowcs(nullptr, &p, 0, &state);
            if (n == static_cast<std::size_t>(-1)) {
                *failure = MSGRES_E_FAILED;
                return false;
            }
            out.resize(n);
            p = s;
            state = std::mbstate_t{};
            std::mbsrtowcs(&out[0], &p, n, &state);
            return true;
        }
        default:
            *failure = MSGRES_E_PARAM_TYPE;
            return false;
    }
}

}  // namespace

int MsgResFormat(void* handle, unsigned number, int count, wchar_t** text, std::size_t capacity,
                 ...) {
    const auto* h = static_cast<const msgres::Handle*>(handle);
    if (!h || h->kind != msgres::kKindBlockA || !h->block) return MSGRES_E_HANDLE;
    if (number > h->lastNumber) return MSGRES_E_NO_MESSAGE;
    const unsigned char* entry = h->block + static_cast<std::size_t>(number) * lqr::kEntrySize;
    const std::uint32_t dataOffset = lqr::ReadU32(entry + lqr::kEntryDataOffset);
    if (dataOffset == 0) return MSGRES_E_NO_MESSAGE;
    if (!text) return MSGRES_E_FAILED;
    const std::size_t wideLength = lqr::ReadU32(entry + lqr::kEntryWideLength);
    const std::size_t byteLength = lqr::ReadU32(entry + lqr::kEntryByteLength);
    const int expected = static_cast<int>(lqr::ReadU32(entry + lqr::kEntryParamCount));

    int result = MSGRES_OK;
    if (count != expected) result = MSGRES_E_PARAM_COUNT;
    if (count < 0) count = 0;
    if (count > expected) count = expected;

    // Messages have a few parameters; more than the fixed room go to the heap.
    Param fixed[8];
    std::vector<Param> more;
    Param* params = fixed;
    if (static_cast<std::size_t>(count) > sizeof fixed / sizeof fixed[0]) {
        more.resize(static_cast<std::size_t>(count));
        params = more.data();
    }
    va_list args;
    va_start(args, capacity);
    int failure = MSGRES_OK;
    for (int i = 0; i < count; ++i) {
        Param& param = params[i];
        const int type = va_arg(args, int);
        if (type == lqr::kTypeWString) {
            const wchar_t* s = va_arg(args, const wchar_t*);
            if (s) {
                param.text = s;
                param.size = std::wcslen(s);
            }
            continue;
        }
        if (!FormatParam(type, &args, param.own, &failure)) break;
        param.text = param.own.c_str();
        param.size = param.own.size();
    }
    va_end(args);
    if (failure != MSGRES_OK) return failure;

    // The block was validated at load: the text and the placeholder table lie inside
    // it and the table is terminated.
    const unsigned char* utf8 = h->block + dataOffset;
    const unsigned char* table = utf8 + byteLength;

    // A parameter placed twice is inserted twice, so its length counts per placement.
    std::size_t chars = wideLength + 1;
    for (const unsigned char* p = table; lqr::ReadU32(p) != 0; p += lqr::kPlaceholderSize) {
        const std::uint32_t param = lqr::ReadU32(p);
        if (param <= static_cast<std::uint32_t>(count)) chars += params[param - 1].size;
    }
    if (chars > static_cast<std::size_t>(INT_MAX) / sizeof(wchar_t)) return MSGRES_E_FAILED;
    const std::size_t needed = chars * sizeof(wchar_t);

    wchar_t* out;
    if (capacity == 0) {
        out = static_cast<wchar_t*>(std::malloc(needed));
        if (!out) return MSGRES_E_FAILED;
    } else if (capacity < needed) {
        return static_cast<int>(needed);
    } else {
        out = *text;
        if (!out) return MSGRES_E_FAILED;
    }

    wchar_t* pos = out;
    std::size_t room = chars - 1;  // the terminator is written last
    std::size_t from = 0;
    bool ok = true;
    for (const unsigned char* p = table; ok && lqr::ReadU32(p) != 0; p += lqr::kPlaceholderSize) {
        const std::uint32_t param = lqr::ReadU32(p);
        const std::uint32_t at = lqr::ReadU32(p + 4);
        ok = msgres::ConvertUtf8(h->cd, utf8 + from, at - from, &pos, &room);
        from = at;
        if (ok && param <= static_cast<std::uint32_t>(count)) {
            const Param& value = params[param - 1];
            std::wmemcpy(pos, value.text, value.size);
            pos += value.size;
            room -= value.size;
        }
    }
    ok = ok && msgres::ConvertUtf8(h->cd, utf8 + from, byteLength - from, &pos, &room);
    if (!ok) {
        if (capacity == 0) std::free(out);
        return MSGRES_E_FAILED;
    }
    *pos = L'\0';
    if (capacity == 0) *text = out;
    return result;
}
