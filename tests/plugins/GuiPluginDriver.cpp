// gui-plugin-driver <plugin.so>: loads a GUI plug-in the way the updater does (dlopen,
// InitializeGuiLibA, the first callback, notifyLibPlugin(NULL), notifyVersionInfo) and
// plays the events read from standard input through its table, one per line:
//
//     event|arg|arg...
//
// Lists are written a,b,c; bools 0/1; "sleep|<ms>" pauses. Texts are UTF-8 ("\\n" is a
// line feed). At the end it unloads the plug-in and prints "calls=<n> nonzero=<n>" on
// standard output; the exit status is 0 only when every callback answered 0 and none let
// an exception out.
#include <dlfcn.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

#include "update/UpdateGuiCallbacks.h"

namespace {

// UTF-8 to wide text whatever the locale, so a test can hand the plug-in characters its
// locale cannot show; the two characters "\\n" stand for a line feed.
std::wstring Wide(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += L'\n';
            i += 2;
            continue;
        }
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= text.size() + (extra == 0 ? 1 : 0)) {
            std::fprintf(stderr, "driver: not UTF-8: %s\n", text.c_str());
            std::exit(3);
        }
        unsigned long code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) code = (code << 6) | (text[i + k] & 0x3F);
        out += static_cast<wchar_t>(code);
        i += 1 + extra;
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

UpdStringList List(const std::string& text) {
    UpdStringList list;
    if (text.empty()) return list;
    for (const std::string& part : Split(text, ',')) list.push_back(Wide(part));
    return list;
}

UpdateFileInfo File(const std::string& name, const std::string& size) {
    UpdateFileInfo f;
    f.name = Wide(name);
    f.filesize = static_cast<uint32_t>(std::strtoul(size.c_str(), nullptr, 10));
    f.os = L"UNIX";
    return f;
}

unsigned long Number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 10);
}

// Plays one event; -1000 for an unknown event or missing arguments.
int Play(CUpdateGuiCallbacks* t, const std::vector<std::string>& a) {
    const std::string& e = a[0];
    auto arg = [&](size_t i) -> const std::string& {
        static const std::string empty;
        return i < a.size() ? a[i] : empty;
    };
    auto w = [&](size_t i) { return Wide(arg(i)); };
    if (e == "onUpdateStart") return t->onUpdateStart();
    if (e == "onUpdateFinish") return t->onUpdateFinish();
    if (e == "onSelfUpdateStart") return t->onSelfUpdateStart();
    if (e == "onSelfUpdateFinish") return t->onSelfUpdateFinish();
    if (e == "notifyModuleFileListDone") return t->notifyModuleFileListDone();
    if (e == "notifyLogFile") return t->notifyLogFile(w(1));
    if (e == "onCheckMainIdx") return t->onCheckMainIdx(arg(1) == "1");
    if (e == "onCheckFile") return t->onCheckFile(File(arg(1), arg(2)));
    if (e == "onCheckFileIsDirty") return t->onCheckFileIsDirty(File(arg(1), arg(2)));
    if (e == "onCheckFilesDone") return t->onCheckFilesDone(Number(arg(1)));
    if (e == "onStartDownloadFiles") return t->onStartDownloadFiles(w(1), Number(arg(2)));
    if (e == "onDownloadFile") return t->onDownloadFile(w(1), w(2), Number(arg(3)));
    if (e == "onFinishDownloadFiles") return t->onFinishDownloadFiles(w(1));
    if (e == "notifyModuleFileList")
        return t->notifyModuleFileList(w(1), arg(2) == "1", List(arg(3)), List(arg(4)), w(5));
    if (e == "BeforeUpdateModule") return t->BeforeUpdateModule(w(1));
    if (e == "beforeBackup") return t->beforeBackup(w(1));
    if (e == "onBackupFile") return t->onBackupFile(w(1), w(2), w(3));
    if (e == "afterBackup") return t->afterBackup(w(1));
    if (e == "beforePre") return t->beforePre(w(1), w(2));
    if (e == "afterPre") return t->afterPre(w(1), w(2));
    if (e == "beforeInstallModule") return t->beforeInstallModule(w(1));
    if (e == "onInstallFile") return t->onInstallFile(w(1), w(2));
    if (e == "afterInstallModule") return t->afterInstallModule(w(1));
    if (e == "beforePost") return t->beforePost(w(1), w(2));
    if (e == "afterPost") return t->afterPost(w(1), w(2));
    if (e == "beforeUnpost") return t->beforeUnpost(w(1), w(2));
    if (e == "afterUnpost") return t->afterUnpost(w(1), w(2));
    if (e == "AfterUpdateModule") return t->AfterUpdateModule(w(1));
    if (e == "beforeRestoreModuleStartup") return t->beforeRestoreModuleStartup(w(1));
    if (e == "onModuleRestoreFile") return t->onModuleRestoreFile(w(1), w(2), w(3));
    if (e == "afterRestoreModuleCompletion") return t->afterRestoreModuleCompletion(w(1));
    if (e == "onUpdateCriticalError")
        return t->onUpdateCriticalError(w(2),
                                        static_cast<EUpdateErrors>(std::atoi(arg(1).c_str())));
    if (e == "onUpdateNonCriticalError")
        return t->onUpdateNonCriticalError(w(2),
                                           static_cast<EUpdateErrors>(std::atoi(arg(1).c_str())));
    std::fprintf(stderr, "driver: unknown event %s\n", e.c_str());
    return -1000;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <gui-plugin.so> < events\n", argv[0]);
        return 3;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "driver: %s\n", dlerror());
        return 3;
    }
    auto init = reinterpret_cast<PFN_InitializeGuiLibA>(dlsym(library, "InitializeGuiLibA"));
    auto uninit = reinterpret_cast<PFN_UninitializeGuiLibA>(dlsym(library, "UninitializeGuiLibA"));
    if (!init || !uninit) {
        std::fprintf(stderr, "driver: %s lacks the GUI entry points\n", argv[1]);
        return 3;
    }
    CUpdateGuiCallbacks* table = init();
    if (!table) {
        std::fprintf(stderr, "driver: InitializeGuiLibA returned no table\n");
        return 3;
    }

    unsigned long calls = 0, nonzero = 0;
    bool escaped = false;
    auto count = [&](int answer) {
        ++calls;
        if (answer != 0) ++nonzero;
        return answer;
    };
    try {
        count(table->onLoad());
        count(table->notifyLibPlugin(nullptr));
        count(table->notifyVersionInfo(L"7.0.10"));
        std::string text;
        while (std::getline(std::cin, text)) {
            if (text.empty() || text[0] == '#') continue;
            std::vector<std::string> event = Split(text, '|');
            if (event[0] == "sleep") {
                usleep(static_cast<useconds_t>(Number(event.size() > 1 ? event[1] : "0") * 1000));
                continue;
            }
            if (count(Play(table, event)) == -1000) return 3;
        }
    } catch (...) {
        escaped = true;
    }
    uninit(table);
    dlclose(library);
    std::printf("calls=%lu nonzero=%lu%s\n", calls, nonzero, escaped ? " exception" : "");
    return nonzero == 0 && !escaped ? 0 : 1;
}
