// The message file library: opens a compiled message file (update_msg.lqr) and formats
// numbered messages with their parameters into wide text. Plain functions so that the
// lowest layers can use them; the class wrapper (common/LQMResWrap.h) sits on top.
#pragma once

#include <cstddef>

// Result codes of every function.
enum EMsgResResult : int {
    MSGRES_OK = 0,
    // A positive result of MsgResFormat is the buffer size in bytes it needs.
    MSGRES_E_FAILED = -1,       // allocation, missing block A, iconv set-up or conversion
    MSGRES_E_OPEN = -2,         // the file cannot be opened
    MSGRES_E_BAD_FILE = -3,     // bad header, short read, decompression or malformed content
    MSGRES_E_NO_MESSAGE = -4,   // no message of that number
    MSGRES_E_PARAM_TYPE = -5,   // unknown parameter type
    MSGRES_E_PARAM_COUNT = -6,  // parameter count differs from the message's; text produced
    MSGRES_E_HANDLE = -7,       // handle not loaded or of the wrong kind
};

// Opens and loads the message file; on 0 *handle owns the loaded table (release it with
// MsgResClose). On failure *handle is left null.
int MsgResOpen(const char* path, void** handle);
// The same with a wide path, converted to the locale's multibyte encoding.
int MsgResOpenW(const wchar_t* path, void** handle);

// Formats message `number` with `count` parameters, given as (int type, value) pairs
// after `capacity`: 1 int, 2 long, 3 unsigned long, 4 char, 5 wchar_t, 6 const char*
// (locale multibyte), 7 const wchar_t*. With capacity 0 the result is allocated into
// *text and the caller frees it with free(); otherwise *text is the caller's buffer of
// `capacity` bytes, and a positive result is the size it would need (nothing written).
// -6 still produces the text: a larger count is cut to the message's own, placeholders
// of parameters that were not passed insert nothing.
int MsgResFormat(void* handle, unsigned number, int count, wchar_t** text, std::size_t capacity,
                 ...);

// Releases a loaded table: 0, or -7 for a handle that is not one.
int MsgResClose(void* handle);
