#include "codec/GzFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "codec/FileDigest.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(GunzipNames, SuffixDecidesWhichNameIsWhich) {
    std::wstring in, out;
    GunzipNames(L"/t/mod/a.so.gz", L"", in, out);
    EXPECT_EQ(L"/t/mod/a.so.gz", in);
    EXPECT_EQ(L"/t/mod/a.so", out);
    GunzipNames(L"/t/mod/a.so", L"", in, out);
    EXPECT_EQ(L"/t/mod/a.so.gz", in);
    EXPECT_EQ(L"/t/mod/a.so", out);
    GunzipNames(L"/t/mod/a.so.gz", L"/out", in, out);
    EXPECT_EQ(L"/t/mod/a.so.gz", in);
    EXPECT_EQ(L"/out/a.so", out);
}

TEST(GzipFile, RoundTripBothNamingForms) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(300000) + std::string(100000, 'z');
    ScratchDir::Write(dir.Path("orig"), data);
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("a.bin.gz")));
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("b.bin.gz"), "wb9"));

    // Given the ".gz" name: writes the name without it.
    ASSERT_EQ(0, GunzipFile(dir.WPath("a.bin.gz")));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("a.bin")));
    // Given the plain name: reads name + ".gz", writes the name; digested as written.
    GunzipOutput written;
    ASSERT_EQ(0, GunzipFile(dir.WPath("b.bin"), L"", nullptr, kGunzipNoLimit, &written));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("b.bin")));
    EXPECT_EQ(data.size(), written.size);
    EXPECT_EQ(GetFileMD5(dir.WPath("b.bin")), written.md5);
    // Into another directory.
    ::mkdir(dir.Path("out").c_str(), 0755);
    ASSERT_EQ(0, GunzipFile(dir.WPath("a.bin.gz"), dir.WPath("out")));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("out/a.bin")));
}

TEST(GunzipFile, ReadsWhatTheGzipCommandWrites) {
    if (std::system("command -v gzip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no gzip command";
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(70000, 3);
    ScratchDir::Write(dir.Path("g"), data);
    ASSERT_EQ(0, std::system(("gzip -9 '" + dir.Path("g") + "'").c_str()));
    ASSERT_EQ(0, GunzipFile(dir.WPath("g.gz")));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("g")));
    // And the other way round.
    ASSERT_EQ(0, GzipFile(dir.WPath("g"), dir.WPath("h.gz")));
    ASSERT_EQ(0, std::system(("gzip -t '" + dir.Path("h.gz") + "'").c_str()));
}

TEST(GunzipFile, DamagedOrTruncatedDataIsRefusedAndLeavesNoOutput) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(50000);
    ScratchDir::Write(dir.Path("orig"), data);
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("ok.gz")));
    const std::string gz = ScratchDir::Read(dir.Path("ok.gz"));

    std::string damaged = gz;
    damaged[gz.size() / 2] ^= 0x55;
    ScratchDir::Write(dir.Path("damaged.gz"), damaged);
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("damaged.gz")));
    EXPECT_FALSE(GetCapturedStderr().empty());
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("damaged")));

    ScratchDir::Write(dir.Path("short.gz"), gz.substr(0, gz.size() - 100));
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("short.gz")));
    GetCapturedStderr();
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("short")));

    // A wrong checksum in the trailer.
    std::string badCrc = gz;
    badCrc[gz.size() - 6] ^= 0x01;
    ScratchDir::Write(dir.Path("crc.gz"), badCrc);
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("crc.gz")));
    GetCapturedStderr();
}

TEST(GunzipFile, OutputPastTheLimitIsRefusedAndLeavesNoOutput) {
    ScratchDir dir;
    // Inflates about a thousandfold: what a small file that fills the disk looks like.
    const std::string data(3 * 1024 * 1024, '\0');
    ScratchDir::Write(dir.Path("orig"), data);
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("zeros.gz"), "wb9"));

    int writeError = -1;
    CaptureStderr();
    EXPECT_EQ(-2, GunzipFile(dir.WPath("zeros.gz"), L"", &writeError, data.size() - 1));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find("more than 3145727 bytes"));
    EXPECT_EQ(0, writeError);  // the input is at fault, not the output
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("zeros")));
    // Nothing at all is allowed with a limit of 0.
    ScratchDir::Write(dir.Path("one"), "x");
    ASSERT_EQ(0, GzipFile(dir.WPath("one"), dir.WPath("one.gz")));
    CaptureStderr();
    EXPECT_EQ(-2, GunzipFile(dir.WPath("one.gz"), L"", nullptr, 0));
    GetCapturedStderr();
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("one")));

    // Exactly the limit is fine.
    ASSERT_EQ(0, GunzipFile(dir.WPath("zeros.gz"), L"", &writeError, data.size()));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("zeros")));
}

TEST(GunzipFile, OpenFailuresArePrintedWithTheName) {
    ScratchDir dir;
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("missing")));
    EXPECT_EQ("\ncan't gzopen " + dir.Path("missing.gz") + "\n", GetCapturedStderr());

    ScratchDir::Write(dir.Path("orig"), "x");
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("x.gz")));
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("x.gz"), dir.WPath("no/dir")));
    EXPECT_EQ("\ncan't gzopen " + dir.Path("no/dir/x") + "\n", GetCapturedStderr());
    // The caller learns that the output, not the input, was the problem.
    int outputError = -1;
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("x.gz"), dir.WPath("no/dir"), &outputError));
    GetCapturedStderr();
    EXPECT_EQ(ENOENT, outputError);
    CaptureStderr();
    EXPECT_EQ(-1, GunzipFile(dir.WPath("missing"), std::wstring(), &outputError));
    GetCapturedStderr();
    EXPECT_EQ(0, outputError);

    CaptureStderr();
    EXPECT_EQ(-1, GzipFile(dir.WPath("missing"), dir.WPath("y.gz")));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find(dir.Path("missing")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("y.gz")));
    CaptureStderr();
    EXPECT_EQ(-1, GzipFile(dir.WPath("orig"), dir.WPath("no/dir/y.gz")));
    EXPECT_EQ("can't gzopen " + dir.Path("no/dir/y.gz") + "\n", GetCapturedStderr());
}

// Taken only where GunzipFile would write exactly the same; everything else is left to it.
TEST(InflateOneMember, TakesOneWholeMemberAndNothingElse) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(200000, 5) + std::string(300000, 'a');
    ScratchDir::Write(dir.Path("orig"), data);
    ASSERT_EQ(0, GzipFile(dir.WPath("orig"), dir.WPath("a.gz")));
    const std::string gz = ScratchDir::Read(dir.Path("a.gz"));
    std::string damaged = gz;
    damaged[gz.size() - 6] ^= 0x01;  // the trailer's checksum
    std::string length = gz;
    length[gz.size() - 1] ^= 0x01;  // the trailer's length
    std::string named = gz;         // whole and sound, with a name field: GunzipFile's
    named[3] = 0x08;
    named.insert(10, std::string("a\0", 2));
    auto inflate = [&](const std::string& input, unsigned long long cap, GunzipOutput& out) {
        ScratchDir::Write(dir.Path("in"), input);
        const int in = ::open(dir.Path("in").c_str(), O_RDONLY);
        const int to = ::open(dir.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const bool ok = InflateOneMember(in, input.size(), to, cap, out);
        ::close(in);
        ::close(to);
        return ok;
    };
    GunzipOutput out;
    ASSERT_TRUE(inflate(gz, data.size(), out));
    EXPECT_EQ(data, ScratchDir::Read(dir.Path("out")));
    EXPECT_EQ(data.size(), out.size);
    EXPECT_EQ(GetFileMD5(dir.WPath("orig")), out.md5);
    for (const std::string& other :
         {gz + gz, gz + "x", data, damaged, gz.substr(0, 1000), length, named})
        EXPECT_FALSE(inflate(other, kGunzipNoLimit, out));
    EXPECT_FALSE(inflate(gz, data.size() - 1, out));
}
