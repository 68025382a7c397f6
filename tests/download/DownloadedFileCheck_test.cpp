#include "download/DownloadedFileCheck.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "codec/FileDigest.h"
#include "codec/GzFile.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

// A compressed module file "mod.bin.gz" and the record that describes it.
struct Fixture {
    ScratchDir dir;
    std::string content = PseudoRandomBytes(5000, 7);
    FileRecord record;
    std::wstring gz;

    Fixture() {
        ScratchDir::Write(dir.Path("orig"), content);
        gz = dir.WPath("mod.bin.gz");
        if (GzipFile(dir.WPath("orig"), gz) != 0) throw std::runtime_error("gzip");
        record.name = L"mod.bin";
        record.filesize = static_cast<uint32_t>(content.size());
        record.filemd5.assign(GetFileMD5(dir.WPath("orig")));
        record.zipsize = static_cast<uint32_t>(ScratchDir::Read(dir.Path("mod.bin.gz")).size());
        record.zipmd5.assign(GetFileMD5(gz));
    }
};

int CriticalCode(const std::function<void()>& f, std::wstring* text = nullptr) {
    try {
        f();
    } catch (const CUpdateCriticalException& e) {
        if (text) *text = e.twhat();
        return e.code();
    }
    return 0;
}

}  // namespace

TEST(DownloadedFileCheck, GoodFilePassesAndDecompressesBesideItself) {
    Fixture f;
    EXPECT_TRUE(CompressedFileMatches(f.gz, f.record));
    EXPECT_NO_THROW(VerifyCompressedFile(f.gz, f.record));
    UpdStringList temp;
    EXPECT_EQ(f.dir.WPath("mod.bin"), DecompressAndVerify(f.gz, f.record, temp));
    EXPECT_EQ(f.content, ScratchDir::Read(f.dir.Path("mod.bin")));
    EXPECT_EQ(UpdStringList{f.dir.WPath("mod.bin")}, temp);
}

TEST(DownloadedFileCheck, CompressedFileFailuresInOrder) {
    Fixture f;
    std::wstring text;
    FileRecord missing = f.record;
    EXPECT_EQ(621,
              CriticalCode([&] { VerifyCompressedFile(f.dir.WPath("none.gz"), missing); }, &text));
    EXPECT_NE(std::wstring::npos, text.find(f.dir.WPath("none.gz")));
    EXPECT_FALSE(CompressedFileMatches(f.dir.WPath("none.gz"), missing));

    FileRecord wrongSize = f.record;
    wrongSize.zipsize += 1;
    EXPECT_EQ(625, CriticalCode([&] { VerifyCompressedFile(f.gz, wrongSize); }, &text));
    EXPECT_NE(std::wstring::npos, text.find(f.gz));
    EXPECT_FALSE(CompressedFileMatches(f.gz, wrongSize));

    FileRecord wrongDigest = f.record;
    std::wstring other = f.record.zipmd5.wide();
    other[0] = other[0] == L'0' ? L'1' : L'0';
    wrongDigest.zipmd5.assign(other);
    EXPECT_EQ(625, CriticalCode([&] { VerifyCompressedFile(f.gz, wrongDigest); }));
    EXPECT_FALSE(CompressedFileMatches(f.gz, wrongDigest));
}

TEST(DownloadedFileCheck, OutputThatCannotBeWrittenFailsTheDecompressionWithTheReason) {
    // A file size limit below the content's size makes the decompressed file's writes
    // fail (EFBIG), as a full disk would (ENOSPC).
    Fixture f;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        ::close(2);  // GunzipFile's own line on standard error
        UpdStringList temp;
        std::wstring text;
        const int code = CriticalCode([&] { DecompressAndVerify(f.gz, f.record, temp); }, &text);
        if (code != 625) ::_exit(11);
        if (text != Msg<250>(f.gz) + L": " +
                        MsgLib<5>(f.dir.WPath("mod.bin"), FromMultibyte(std::strerror(EFBIG))))
            ::_exit(12);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_FALSE(ScratchDir::Exists(f.dir.Path("mod.bin")));  // no partial output
}

TEST(DownloadedFileCheck, DecompressedFileFailures) {
    {
        Fixture f;
        FileRecord r = f.record;
        r.filesize -= 1;
        UpdStringList temp;
        std::wstring text;
        EXPECT_EQ(625, CriticalCode([&] { DecompressAndVerify(f.gz, r, temp); }, &text));
        EXPECT_NE(std::wstring::npos, text.find(f.dir.WPath("mod.bin")));
        EXPECT_EQ(1u, temp.size());  // registered although it failed
    }
    {
        Fixture f;
        FileRecord r = f.record;
        r.filemd5.assign(L"00000000000000000000000000000000");
        UpdStringList temp;
        EXPECT_EQ(625, CriticalCode([&] { DecompressAndVerify(f.gz, r, temp); }));
    }
    {
        // Damaged gzip data: decompression itself fails, no output is left.
        Fixture f;
        std::string data = ScratchDir::Read(f.dir.Path("mod.bin.gz"));
        data.resize(data.size() / 2);
        ScratchDir::Write(f.dir.Path("mod.bin.gz"), data);
        UpdStringList temp;
        testing::internal::CaptureStderr();
        std::wstring text;
        EXPECT_EQ(625, CriticalCode([&] { DecompressAndVerify(f.gz, f.record, temp); }, &text));
        testing::internal::GetCapturedStderr();
        EXPECT_NE(std::wstring::npos, text.find(f.gz));
        EXPECT_FALSE(ScratchDir::Exists(f.dir.Path("mod.bin")));
    }
}
