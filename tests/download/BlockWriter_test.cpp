// The writer behind a transfer pool, with bounds far below the bodies: transfers pause and
// resume, over HTTP/1.1 and HTTP/2, and every byte arrives once, in order.
#include "download/BlockWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/Conv.h"
#include "net/TransferPool.h"
#include "support/TestServers.h"

using namespace UpdateNew;

namespace {

struct SlowFile : TransferSink, BlockWriter::Stream {
    BlockWriter* writer = nullptr;
    std::string written;  // by the writer's thread
    int refused = 0, ends = 0;
    Taken Receive(const char* p, size_t n, bool, bool) override {
        const BlockWriter::Offered offered = writer->Offer(*this, p, n, false);
        refused += offered == BlockWriter::Offered::kFull;
        return offered == BlockWriter::Offered::kTaken ? Taken::kYes : Taken::kLater;
    }
    void Ended(bool complete) override { writer->Finish(*this, complete); }
    int Write(const char* p, size_t n, bool) override {
        ::usleep(1000);
        return written.append(p, n), 0;
    }
    void End(bool complete) override { ends += complete; }
};

}  // namespace

TEST(BlockWriter, FullBuffersPauseTheirTransfersUntilWritten) {
    TestServers::TempDir www("www");
    std::string body(300 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
    TestServers::WriteFile(www.file("f"), body);
    TestServers::Nginx nginx({www.path(), true});
    InternetConnection connection;
    ASSERT_EQ(0u, connection.Initialize(nullptr));
    ASSERT_EQ(0u, connection.SetStringOption(ConnectionOptions::CA_FILE,
                                             FromMultibyte(TestServers::Nginx::caFile())));
    TransferPool pool(connection, 2, 0);
    BlockWriter writer([&] { pool.Resume(); }, 4096, 8192);
    SlowFile files[4];
    int ids[4];
    for (int i = 0; i < 4; ++i) {
        files[i].writer = &writer;
        ids[i] = pool.Start((i % 2 ? nginx.tlsUrl() : nginx.url()) + "/f", 0, &files[i]);
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(pool.WaitFor(ids[i], [] {}));
        EXPECT_EQ(0, writer.Wait(files[i]));
        EXPECT_TRUE(files[i].written == body && files[i].ends == 1 && files[i].refused > 0) << i;
        writer.Forget(files[i]);
    }
}
