// The vector table, the initiator client and the initiator service.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "OMIKINIT/omikextn.h"
#include "os/sock.h"
#include "zaxtest.h"

using namespace zaxtest;
using namespace std::chrono;

namespace {

class Vector : public ZaxTest {
protected:
    void TearDown() override {
        zax::omik::pause_ms = 100;
        zax::omik::reply_wait_ms = zax::omik::kReplyWaitMs;
        ZaxTest::TearDown();
    }
};

TEST_F(Vector, RegisterLookUpAndRemove) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    EXPECT_EQ(XSetVectorTable("ABCDEFGH", 0x1234, 99), 1);  // 8 characters
    uint32_t v[2] = {0, 0};
    EXPECT_EQ(XGetVectorTableEx("ABCDEFGH", v), 0x1234u);
    EXPECT_EQ(v[0], 0x1234u);
    EXPECT_EQ(v[1], 99u);
    EXPECT_EQ(XGetVectorTable("ABCDEFGH"), 0x1234u);
    // The last registration wins.
    EXPECT_EQ(XSetVectorTable("ABCDEFGH", 5, 6), 1);
    EXPECT_EQ(XGetVectorTableEx("ABCDEFGH", v), 5u);
    EXPECT_EQ(v[1], 6u);
    // Another process sees the same table.
    HelperResult r = RunHelper({"vget", "ABCDEFGH"});
    EXPECT_EQ(r.out, "5\n");

    EXPECT_EQ(XResetVectorTable("ABCDEFGH"), 1);
    v[0] = v[1] = 77;
    EXPECT_EQ(XGetVectorTableEx("ABCDEFGH", v), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);
    EXPECT_EQ(v[0], 77u);  // untouched on failure
    EXPECT_EQ(XGetVectorTable("NEVER"), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);
    EXPECT_EQ(XResetVectorTable("NEVER"), 0);
    EXPECT_LAST_ERROR(code(0x8e, 2), 0, 2);
}

TEST_F(Vector, ArgumentsAreCheckedWithoutContactingTheService) {
    // No service runs: every refusal below must come before any attempt.
    uint32_t v[2];
    EXPECT_EQ(XGetVectorTableEx("ABCDEFGHI", v), 0u);  // 9 characters
    EXPECT_LAST_ERROR(code(0x8d, 1), 1, 2);
    EXPECT_EQ(XGetVectorTableEx(nullptr, v), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 1), 1, 2);
    EXPECT_EQ(XGetVectorTableEx("A", nullptr), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 1), 2, 2);
    EXPECT_EQ(XGetVectorTable("ABCDEFGHI"), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 1), 1, 2);
    EXPECT_EQ(XSetVectorTable("ABC", 5, 0), 0);
    EXPECT_LAST_ERROR(code(0x8c, 1), 3, 2);
    EXPECT_EQ(XSetVectorTable("ABC", 0, 5), 0);
    EXPECT_LAST_ERROR(code(0x8c, 1), 2, 2);
    EXPECT_EQ(XSetVectorTable("ABCDEFGHI", 5, 5), 0);
    EXPECT_LAST_ERROR(code(0x8c, 1), 1, 2);
    EXPECT_EQ(XResetVectorTable(nullptr), 0);
    EXPECT_LAST_ERROR(code(0x8e, 1), 1, 2);
}

TEST_F(Vector, WithoutTheServiceEveryOperationFailsAfterItsRetries) {
    zax::omik::pause_ms = 5;  // all 101 attempts, with shortened pauses
    auto t0 = steady_clock::now();
    EXPECT_EQ(XGetVectorTable("ABC"), 0u);
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 100 * 5);
    EXPECT_LAST_ERROR(code(0x8d, 3), ENOENT, 1);

    EXPECT_EQ(XSetVectorTable("ABC", 1, 2), 0);
    EXPECT_LAST_ERROR(code(0x8c, 3), ENOENT, 1);
    EXPECT_EQ(XResetVectorTable("ABC"), 0);
    EXPECT_LAST_ERROR(code(0x8e, 4), ENOENT, 1);
}

TEST_F(Vector, UnusableMutexLeavesTheExchangeUnserialised) {
    // Only a wait that runs out fails an attempt: a mutex file that holds no
    // mutex of this build must not make the service unreachable.
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    ASSERT_TRUE(WriteFile(path("MUTEX_ZAX_OMIKINIT"), "not a mutex"));
    zax::omik::pause_ms = 5;
    EXPECT_EQ(XSetVectorTable("BROKEN", 7, 8), 1);
    uint32_t v[2] = {0, 0};
    EXPECT_EQ(XGetVectorTableEx("BROKEN", v), 7u);
    EXPECT_EQ(v[1], 8u);
    EXPECT_EQ(XResetVectorTable("BROKEN"), 1);
}

TEST_F(Vector, ConcurrentClientsInSeveralProcessesAreServedOneAfterAnother) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    int a = SpawnHelper({"vcycle", "A", "60"});
    int b = SpawnHelper({"vcycle", "B", "60"});
    std::thread t([] {
        for (int i = 0; i < 60; ++i) {
            EXPECT_EQ(XSetVectorTable("T", uint32_t(i + 1), 1), 1);
            EXPECT_EQ(XGetVectorTable("T"), uint32_t(i + 1));
        }
    });
    t.join();
    EXPECT_EQ(WaitHelper(a), 0);
    EXPECT_EQ(WaitHelper(b), 0);
}

TEST_F(Vector, ServiceSurvivesClientsThatDieOrSendHalfAMessage) {
    OmikinitService svc(rundir_, {"--log", path("omik.log")});
    ASSERT_TRUE(svc.ready());
    close(raw_client());  // connects and goes
    int half = raw_client();
    ASSERT_EQ(write(half, "0123456789", 10), 10);  // and never sends the rest
    // The service drops the half request after its exchange time-out and
    // serves the next client.
    EXPECT_EQ(XSetVectorTable("AFTER", 1, 2), 1);
    EXPECT_EQ(XGetVectorTable("AFTER"), 1u);
    // The half client got no reply, only the end of the connection.
    char c;
    EXPECT_EQ(read(half, &c, 1), 0);
    close(half);

    // An unknown operation is answered with a non-zero status.
    int s = raw_client();
    zax::omik::Message m{};
    m.operation = 99;
    m.protocol = 256;
    ASSERT_EQ(zax::os::write_exact(s, &m, sizeof m), 0);
    ASSERT_EQ(zax::os::read_exact(s, &m, sizeof m), 0);
    EXPECT_NE(m.status, 0);
    close(s);

    EXPECT_EQ(svc.stop(), 0);  // SIGTERM ends it cleanly...
    EXPECT_NE(access(path("ZAX_OMIKINIT").c_str(), F_OK), 0);  // ...and removes the socket
    std::string log;
    FILE *f = fopen(path("omik.log").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[512];
    while (fgets(line, sizeof line, f)) log += line;
    fclose(f);
    EXPECT_NE(log.find("incomplete request"), std::string::npos) << log;
    EXPECT_NE(log.find("name \"AFTER\": status 0"), std::string::npos) << log;
}

TEST_F(Vector, AStoppedServiceCostsEachClientABoundedWait) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    ASSERT_EQ(XSetVectorTable("HANG", 1, 2), 1);
    zax::omik::reply_wait_ms = 300;
    // A stopped service still takes connections into its backlog, so each
    // client gets as far as waiting for the reply. Each gives up, and gives
    // the machine-wide mutex back to the next.
    kill(svc.pid(), SIGSTOP);
    auto client = [] {
        EXPECT_EQ(XGetVectorTable("HANG"), 0u);
        EXPECT_LAST_ERROR(code(0x8d, 4), ETIMEDOUT, 1);
    };
    std::thread first(client), second(client);
    first.join();
    second.join();
    kill(svc.pid(), SIGCONT);
    zax::omik::reply_wait_ms = zax::omik::kReplyWaitMs;
    EXPECT_EQ(XGetVectorTable("HANG"), 1u);
}

TEST_F(Vector, SecondServiceOnTheSameDirectoryIsRefused) {
    OmikinitService first(rundir_);
    ASSERT_TRUE(first.ready());
    OmikinitService second(rundir_);
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(XSetVectorTable("STILL", 1, 1), 1);  // the first one still serves
}

// A stand-in service that answers every request with a payload.
void serve_with_payload(int listen_fd, uint32_t payload_len, int exchanges) {
    for (int i = 0; i < exchanges; ++i) {
        int fd = -1;
        if (zax::os::sock_accept(listen_fd, &fd) != 0) return;
        zax::omik::Message m;
        (void)zax::os::read_exact(fd, &m, sizeof m);
        m.payload_length = payload_len;
        (void)zax::os::write_exact(fd, &m, sizeof m);
        std::string payload(payload_len, 'p');
        (void)zax::os::write_exact(fd, payload.data(), payload.size());
        close(fd);
    }
}

TEST_F(Vector, ReplyPayloadsAreHandedOverOrDropped) {
    int lfd = -1;
    ASSERT_EQ(zax::os::sock_listen(path("ZAX_OMIKINIT"), 8, &lfd), 0);
    std::thread server(serve_with_payload, lfd, 5, 2);
    zax::omik::Message m{};
    int err = 0;
    auto *c = zax::omik::send_request(m, err);
    ASSERT_NE(c, nullptr);
    void *payload = nullptr;
    ASSERT_TRUE(zax::omik::receive_reply(m, c, &payload, err));
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(std::memcmp(payload, "ppppp", 5), 0);
    XFreeMemory(payload);
    // Nobody asked for it: read and dropped, the exchange still succeeds.
    c = zax::omik::send_request(m, err);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(zax::omik::receive_reply(m, c, nullptr, err));
    server.join();
    close(lfd);
}

TEST_F(Vector, EmptyPayloadLeavesThePointerAlone) {
    int lfd = -1;
    ASSERT_EQ(zax::os::sock_listen(path("ZAX_OMIKINIT"), 8, &lfd), 0);
    std::thread server(serve_with_payload, lfd, 0, 1);
    zax::omik::Message m{};
    int err = 0;
    auto *c = zax::omik::send_request(m, err);
    ASSERT_NE(c, nullptr);
    void *payload = reinterpret_cast<void *>(0x1234);
    EXPECT_TRUE(zax::omik::receive_reply(m, c, &payload, err));
    EXPECT_EQ(payload, reinterpret_cast<void *>(0x1234));
    server.join();
    close(lfd);
}

}  // namespace
