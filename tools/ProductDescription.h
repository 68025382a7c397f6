// The product description read by update-publish: a key=value text in sections, in the
// style of the updater's configuration file, that says what a product consists of and
// where its server tree puts it. The reader only checks what one line can tell (syntax,
// known keys, path shapes, OS lists); the publisher checks the product as a whole.
#pragma once

#include <string>
#include <vector>

// A place in a description file, for messages that name it as "file:line".
struct DescLocation {
    std::wstring file;
    int line = 0;

    std::wstring text() const;  // "file:line"
};

// A value that may be limited to some operating systems ("KEY[UNIX,WIN95] = value").
struct OsValue {
    std::wstring value;
    std::wstring os;  // upper-case comma-separated token list; empty: no limit
    DescLocation at;
};

// One FILE line: a path or glob pattern relative to the module's base directory.
struct FileSpec {
    std::wstring pattern;
    std::wstring version;  // empty unless VERSION= was given
    std::wstring os = L"UNIX";
    bool config = false;  // a CONFIG line: the files are configuration files
    DescLocation at;
};

struct ModuleDesc {
    std::wstring name;
    DescLocation at;  // the line of the section header
    std::wstring source;
    std::wstring base;  // directory inside the product directory; empty: the directory itself
    std::vector<OsValue> destination;
    std::vector<OsValue> pre;
    std::vector<OsValue> post;
    std::vector<OsValue> unpost;
    std::vector<OsValue> check;  // health check run after the update's post commands
    std::wstring depend;         // module names separated by ","
    DescLocation dependAt;
    std::vector<OsValue> include;  // further product info file names (never OS-limited)
    std::vector<FileSpec> files;
};

struct ProductDesc {
    std::wstring name;
    std::wstring version;
    std::wstring updateRoot;
    std::wstring productInfo;
    std::wstring masterIdx;
    DescLocation at;  // the line of the [product] header

    bool hasProductFile = false;
    std::wstring productFile;
    std::vector<std::wstring> servers;
    DescLocation productFileAt;

    std::vector<ModuleDesc> modules;
};

// Throws Exception with the text "file:line: what".
[[noreturn]] void ThrowAt(const DescLocation& at, const std::wstring& what);

// True when `path` is a usable relative path below a server or product directory: not
// empty, no leading "/", no "\", no empty, "." or ".." component, no control character.
bool IsSafeRelativePath(const std::wstring& path);

// Reads a description from a UTF-8 text. `file` is the name used in messages.
ProductDesc ParseProductDescription(const std::string& text, const std::wstring& file);
// Reads a description file; an unreadable file throws naming the path and the reason.
ProductDesc ReadProductDescription(const std::wstring& path);
