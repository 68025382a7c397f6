// The updater's own copy and directory creation, directly and through the dispatcher's
// copyFile / checkCreateDirectory with and without a plug-in taking the step over.
#include "plugin/BuiltinFileOps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "plugin/UpdateCallbacks.h"

using namespace UpdateNew;

namespace {

class FileSteps : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/updfile-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_record = m_dir + "/record.txt";
        setenv("UPD_REC_FILE", m_record.c_str(), 1);
        unsetenv("UPD_REC_ANSWERS");
    }
    void TearDown() override {
        unsetenv("UPD_REC_FILE");
        unsetenv("UPD_REC_ANSWERS");
        const std::string command = "chmod -R u+rwx '" + m_dir + "'; rm -rf '" + m_dir + "'";
        ASSERT_EQ(0, system(command.c_str()));
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    std::wstring WPath(const std::string& name) const { return FromMultibyte(Path(name)); }
    static void Write(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool IsDir(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    static bool Exists(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    std::string m_dir;
    std::string m_record;
};

std::wstring RecordingPlugin() {
    return FromMultibyte(std::string(UPDATER_BUILD_DIR) + "/plugins/librecording.so");
}

}  // namespace

TEST_F(FileSteps, CopyReplacesTheTargetWholeAndMakesItExecutable) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>(i * 7);  // several pieces
    Write(Path("src"), content);
    Write(Path("dst"), std::string(9000, 'x'));  // longer than the new content
    bool deferred = true;
    EXPECT_TRUE(CopyFileBuiltin(WPath("src"), WPath("dst"), false, deferred));
    EXPECT_FALSE(deferred);
    EXPECT_EQ(content, Read(Path("dst")));
    struct stat st;
    ASSERT_EQ(0, stat(Path("dst").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
}

TEST_F(FileSteps, MoveTakesTheSourceItselfAndCopiesAcrossFileSystems) {
    Write(Path("src"), "moved");
    Write(Path("dst"), "old");
    bool deferred = true;
    EXPECT_TRUE(MoveFileBuiltin(WPath("src"), WPath("dst"), true, deferred));
    EXPECT_FALSE(deferred);
    EXPECT_FALSE(Exists(Path("src")));
    EXPECT_EQ("moved", Read(Path("dst")));
    struct stat st;
    ASSERT_EQ(0, stat(Path("dst").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);

    // /dev/shm is a file system of its own: the rename cannot work, the copy does.
    char other[] = "/dev/shm/updfile-XXXXXX";
    if (mkdtemp(other) == nullptr) GTEST_SKIP() << "no /dev/shm";
    const std::string far = std::string(other) + "/src";
    Write(far, "copied");
    EXPECT_TRUE(MoveFileBuiltin(FromMultibyte(far), WPath("dst"), true, deferred));
    EXPECT_EQ("copied", Read(Path("dst")));
    EXPECT_EQ("copied", Read(far));  // a copy leaves its source
    EXPECT_FALSE(Exists(Path(".dst.upd-new")));
    ASSERT_EQ(0, system(("rm -rf '" + std::string(other) + "'").c_str()));
}

TEST_F(FileSteps, CopyFailuresThrowNamingTheFile) {
    try {
        bool deferred;
        CopyFileBuiltin(WPath("missing"), WPath("dst"), true, deferred);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_EQ(MsgLib<2>(WPath("missing"), FromMultibyte(strerror(ENOENT))), e.twhat());
    }
    Write(Path("src"), "data");
    try {
        bool deferred;
        CopyFileBuiltin(WPath("src"), WPath("no/such/dir"), true, deferred);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_EQ(MsgLib<26>(WPath("no/such/dir"), FromMultibyte(strerror(ENOENT))), e.twhat());
    }
}

// Runs `body` in a child process and gives its exit status (-1 when it did not exit).
template <class F>
int InChild(F body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(FileSteps, FailedWriteIsNeverReportedAsSuccess) {
    Write(Path("src"), std::string(4096, 'a'));
    // A file size limit below the source's size makes the write fail part-way (EFBIG).
    const int status = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        try {
            bool deferred;
            CopyFileBuiltin(WPath("src"), WPath("dst"), false, deferred);
            return 11;  // reported success
        } catch (const Exception& e) {
            if (e.code() != EFBIG) return 12;
            if (e.twhat() != MsgLib<5>(WPath("dst"), FromMultibyte(strerror(EFBIG)))) return 13;
            return 0;
        }
    });
    EXPECT_EQ(0, status);
}

TEST_F(FileSteps, BusyTargetIsMovedAsideWhenTheCopyMayDefer) {
    // Access is denied to a read-only target for anyone but root: run the copy as an
    // ordinary user when the tests run as root.
    Write(Path("src"), "new");
    Write(Path("dst"), "old");
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0777));
    ASSERT_EQ(0, chmod(Path("src").c_str(), 0644));
    ASSERT_EQ(0, chmod(Path("dst").c_str(), 0444));
    const int status = InChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
        bool deferred = false;
        try {
            CopyFileBuiltin(WPath("src"), WPath("dst"), false, deferred);
            return 11;  // must not defer without permission to
        } catch (const Exception& e) {
            if (e.code() != EACCES) return 12;
        }
        if (!CopyFileBuiltin(WPath("src"), WPath("dst"), true, deferred)) return 13;
        return deferred ? 0 : 14;
    });
    ASSERT_EQ(0, status);
    EXPECT_EQ("new", Read(Path("dst")));
    EXPECT_EQ("old", Read(Path("dst.tmp")));
    struct stat st;
    ASSERT_EQ(0, stat(Path("dst").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
}

TEST_F(FileSteps, NewTargetInADirectoryWithoutWritePermissionReportsThePermission) {
    // The deferred copy's attempt to move a missing target aside must not replace the
    // reason with "no such file".
    Write(Path("src"), "new");
    ASSERT_EQ(0, mkdir(Path("ro").c_str(), 0555));
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0777));
    ASSERT_EQ(0, chmod(Path("src").c_str(), 0644));
    const int status = InChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
        bool deferred = false;
        try {
            CopyFileBuiltin(WPath("src"), WPath("ro/new"), true, deferred);
            return 11;
        } catch (const Exception& e) {
            if (e.code() != EACCES) return 12;
            if (e.twhat() != MsgLib<26>(WPath("ro/new"), FromMultibyte(strerror(EACCES))))
                return 13;
        }
        return deferred ? 14 : 0;
    });
    EXPECT_EQ(0, status);
    EXPECT_FALSE(Exists(Path("ro/new")));
}

TEST_F(FileSteps, NeitherAFifoNorAnotherUsersLinkOnTheWayIsWrittenThrough) {
    Write(Path("src"), "new");
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0644));
    ASSERT_EQ(0, symlink(m_dir.c_str(), Path("via").c_str()));
    const bool root = lchown(Path("via").c_str(), 65534, 65534) == 0;
    for (const char* target : {"fifo", "via/x"}) {
        try {
            bool deferred;
            CopyFileBuiltin(WPath("src"), WPath(target), true, deferred);
            EXPECT_FALSE(root || target[0] == 'f') << target;
        } catch (const Exception& e) {
            EXPECT_EQ(
                MsgLib<26>(WPath(target), target[0] == 'f' ? MsgLib<35>() : RefusedLinkText()),
                e.twhat());
        }
    }
    EXPECT_EQ(root ? kUntrustedLink : 0, CreateDirectories(WPath("via/sub")));
}

TEST_F(FileSteps, DispatcherCopiesItselfUnlessThePluginTakesTheStep) {
    Write(Path("src"), "payload");
    UpdateCallbacks defaults;
    EXPECT_TRUE(defaults.copyFile(WPath("src"), WPath("copy1"), true));
    EXPECT_EQ("payload", Read(Path("copy1")));

    UpdateCallbacks cb;
    cb.LoadLib(RecordingPlugin());
    EXPECT_TRUE(cb.copyFile(WPath("src"), WPath("copy2"), true));  // answered -1
    EXPECT_EQ("payload", Read(Path("copy2")));

    setenv("UPD_REC_ANSWERS", "copyFile=0", 1);
    EXPECT_TRUE(cb.copyFile(WPath("src"), WPath("copy3"), true));
    EXPECT_FALSE(Exists(Path("copy3")));  // the plug-in's answer: nothing copied here
    std::ifstream in(m_record);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    EXPECT_EQ("LIB copyFile(\"" + Path("src") + "\", \"" + Path("copy3") + "\")", last);
}

TEST_F(FileSteps, DispatcherCreatesDirectoriesItselfUnlessThePluginTakesTheStep) {
    UpdateCallbacks cb;
    UpdStringList created;
    EXPECT_TRUE(cb.checkCreateDirectory(WPath("x/y"), created));
    EXPECT_EQ((UpdStringList{WPath("x"), WPath("x/y")}), created);
    EXPECT_TRUE(cb.checkCreateDirectory(WPath("x/y")));
    Write(Path("f"), "");
    EXPECT_FALSE(cb.checkCreateDirectory(WPath("f/g")));

    cb.LoadLib(RecordingPlugin());
    setenv("UPD_REC_ANSWERS", "checkCreateDirectory=0", 1);
    EXPECT_TRUE(cb.checkCreateDirectory(WPath("p/q")));
    EXPECT_FALSE(Exists(Path("p")));
}
