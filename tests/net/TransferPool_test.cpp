#include "net/TransferPool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "support/TestServers.h"

using namespace UpdateNew;

namespace {

struct Collect : TransferSink {
    std::string data;
    int restarts = 0;
    Taken Receive(const char* p, size_t n, bool fromStart, bool) override {
        if (fromStart) data.clear(), ++restarts;
        return data.append(p, n), Taken::kYes;
    }
};

}  // namespace

TEST(TransferPool, RangesCancellationAndDestructionInFlight) {
    TestServers::TempDir www("www");
    const std::string body(200 * 1024, 'b');
    TestServers::WriteFile(www.file("f"), body);
    TestServers::Nginx nginx({www.path()});
    InternetConnection connection;
    ASSERT_EQ(0u, connection.Initialize(nullptr));
    Collect whole, rest, ahead;
    auto cancelled = std::make_unique<Collect>();
    TransferPool pool(connection, 2, 0);
    const int a = pool.Start(nginx.url() + "/norange/f", 1000, &whole);
    const int b = pool.Start(nginx.url() + "/f", 1000, &rest);
    ASSERT_TRUE(pool.WaitFor(a, [] {}) && pool.WaitFor(b, [] {}));
    EXPECT_TRUE(whole.data == body && whole.restarts == 1);
    EXPECT_TRUE(rest.data == body.substr(1000) && rest.restarts == 0);
    // Once cancelled, a sink may go: nothing calls it any more.
    const int c = pool.Start(nginx.url() + "/slow/f", 0, cancelled.get());
    bool started = false;
    for (int i = 0; i < 200 && !started; ++i, ::usleep(20000))
        pool.Locked([&] { started = !cancelled->data.empty(); });
    pool.Cancel(c);
    cancelled.reset();
    EXPECT_TRUE(started && pool.Done(c));
    pool.Start(nginx.url() + "/slow/f", 0, &ahead);  // still in flight at the end
}
