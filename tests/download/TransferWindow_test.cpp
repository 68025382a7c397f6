// The window against nginx on 127.0.0.1, with the recording plug-in as both plug-ins.
#include "download/TransferWindow.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "base/Conv.h"
#include "plugin/UpdateCallbacks.h"
#include "support/TestServers.h"

using namespace UpdateNew;
using namespace TestServers;

namespace {

// The open resume directory the window takes over.
int OpenDir(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

TEST(TransferWindow, ThrownAwayPartialsAreNotReportedAndDestructionEndsTransfers) {
    TempDir www("www"), out("out"), resume("resume");
    std::string data(300 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 % 253);
    for (const char* name : {"a.gz", "b.gz", "c.gz"}) WriteFile(www.file(name), data);
    StreamDigest md5(StreamDigest::Kind::kMd5);
    md5.Update(data.data(), data.size());
    FileRecord file;
    file.zipsize = data.size();
    file.zipmd5.assign(md5.Md5Text());
    ::setenv("UPD_REC_FILE", out.file("calls.txt").c_str(), 1);
    UpdateCallbacks callbacks;
    callbacks.LoadLib(FromMultibyte(UPDATER_BUILD_DIR "/plugins/librecording.so"));
    callbacks.LoadGuiLib(FromMultibyte(UPDATER_BUILD_DIR "/plugins/librecording.so"));
    ConnectionConfig config;
    FileDownloader downloader(config, callbacks);
    Nginx nginx({www.path()});
    auto calls = [&](const std::string& prefix) {
        std::ifstream in(out.file("calls.txt"));
        std::vector<std::string> found;
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
        return found;
    };
    std::string dir, ahead;  // the server's path of the first file, of those behind it
    auto plan = [&](TransferWindow& window, size_t files) {
        window.Plan(std::vector<TransferWindow::Entry>(files, {&file, false}),
                    [&](size_t i, std::wstring& source, std::wstring& destination) {
                        source =
                            FromMultibyte(nginx.url() + (i ? ahead : dir) + "/" + "abc"[i] + ".gz");
                        destination = FromMultibyte(out.file(std::string(1, "abc"[i])));
                    });
    };
    // A server that ignores the range, and a partial of other bytes under the right name.
    for (const auto& [path, partial] : {std::make_pair("/norange", data.substr(0, 1000)),
                                        std::make_pair("", std::string(5000, 'x'))}) {
        WriteFile(resume.file(ToMultibyte(file.zipmd5.wide()) + "-307200.part"), partial);
        ::unlink(out.file("calls.txt").c_str());
        dir = ahead = path;
        TransferWindow window(downloader, 1, 0, FromMultibyte(resume.path()),
                              OpenDir(resume.path()), true);
        plan(window, 1);
        window.Fetch(0);
        unsigned long long reported = 0;
        for (const std::string& line : calls("GUI onDownloadFile("))
            reported += std::stoull(line.substr(line.rfind(", ") + 2));
        EXPECT_EQ(data.size(), reported) << path;
        EXPECT_EQ(data, ReadFile(out.file("a"))) << path;
    }
    // Asked ahead, the plug-in hears of every file before its transfer; the window goes
    // while two of them are still in flight.
    ::unlink(out.file("calls.txt").c_str());
    ::mkdir(resume.path().c_str(), 0700);  // a window leaves no empty resume directory
    dir = "";
    ahead = "/slow";
    {
        TransferWindow window(downloader, 3, 0, FromMultibyte(resume.path()),
                              OpenDir(resume.path()), true, true);
        plan(window, 3);
        window.Fetch(0);
    }
    EXPECT_EQ(3u, calls("LIB downloadFile(").size());
    ::unsetenv("UPD_REC_FILE");
}
