// Line reader, reply framing and the accept options of the skeleton.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gateway.h"
#include "rt_test/poll.h"

namespace {

struct Recorder {
    std::vector<std::string> lines;
    int result = 0;
    std::string reply = "0";
};

int record(void *ctx, const std::string &line, std::string &reply) {
    auto *r = static_cast<Recorder *>(ctx);
    r->lines.push_back(line);
    reply = r->reply;
    return r->result;
}

std::string read_available(int fd) {
    std::string out;
    char buf[512];
    for (int i = 0; i < 50; ++i) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

class LinePair : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        service_.handler = record;
        service_.context = &rec_;
        service_.fail_text_lf = "lf-fail";
        service_.fail_text_full = "full-fail";
    }
    void TearDown() override {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    // Feeds text from the peer and serves byte by byte.
    void serve(const std::string &text) {
        ASSERT_EQ(write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        for (std::size_t i = 0; i < text.size() && fds_[0] >= 0; ++i)
            gw::serve_line_byte(fds_[0], reader_, service_);
    }
    int fds_[2] = {-1, -1};
    Recorder rec_;
    gw::LineReader reader_;
    gw::LineService service_;
};

}  // namespace

TEST(LineReader, CarriageReturnDroppedLineFeedEnds) {
    gw::LineReader r;
    for (char c : std::string("ab\rc")) EXPECT_EQ(r.feed(c), gw::LineReader::End::none);
    EXPECT_EQ(r.feed('\n'), gw::LineReader::End::line_feed);
    EXPECT_EQ(r.text(), "abc");
}

TEST(LineReader, The255thByteEndsTheLine) {
    gw::LineReader r;
    for (int i = 0; i < 254; ++i) ASSERT_EQ(r.feed('x'), gw::LineReader::End::none);
    EXPECT_EQ(r.feed('y'), gw::LineReader::End::full);
    EXPECT_EQ(r.text().size(), 255u);
    EXPECT_EQ(r.text().back(), 'y');
}

TEST_F(LinePair, EachLineGetsOneReplyWithCrLf) {
    rec_.reply = "7";
    serve("SMS;+1;a\r\nsecond\n");
    ASSERT_EQ(rec_.lines.size(), 2u);
    EXPECT_EQ(rec_.lines[0], "SMS;+1;a");
    EXPECT_EQ(rec_.lines[1], "second");
    EXPECT_EQ(read_available(fds_[1]), "7\r\n7\r\n");
}

TEST_F(LinePair, LongLineIsHandedOnIn255AndTheRestStartsTheNext) {
    std::string text(300, 'z');
    serve(text);
    ASSERT_EQ(rec_.lines.size(), 1u);
    EXPECT_EQ(rec_.lines[0].size(), 255u);
    serve("\n");
    ASSERT_EQ(rec_.lines.size(), 2u);
    EXPECT_EQ(rec_.lines[1], std::string(45, 'z'));
}

TEST_F(LinePair, PeerCloseIsAReset) {
    close(fds_[1]);
    fds_[1] = -1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(gw::serve_line_byte(fds_[0], reader_, service_));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fds_[0], -1);
    EXPECT_EQ(out, "rc:0, socket reset\n");
}

TEST_F(LinePair, FailureTextDependsOnHowTheLineEnded) {
    rec_.result = 100;
    rec_.reply = "100";
    testing::internal::CaptureStdout();
    serve("FAX;1;2\n");
    serve(std::string(255, 'q'));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "lf-fail\nfull-fail\n");
    EXPECT_EQ(read_available(fds_[1]), "100\r\n100\r\n");
}

TEST(Sockets, ListenAndAcceptOptions) {
    gw::GatewayConfig c = gw::default_config(gw::Program::textrelay);
    c.port = 0;
    int lfd = gw::open_listen_socket(c);
    ASSERT_GE(lfd, 0);
    EXPECT_TRUE(fcntl(lfd, F_GETFL) & O_NONBLOCK);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(lfd, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);

    sockaddr_in addr{};
    EXPECT_EQ(gw::sock_accept(lfd, &addr, 0, 1), -1) << "nothing pending";

    sockaddr_in bound{};
    socklen_t bl = sizeof bound;
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&bound), &bl), 0);
    gw::GatewayConfig cc = c;
    cc.address = "127.0.0.1";
    cc.port = ntohs(bound.sin_port);
    int cfd = gw::open_client_socket(cc);
    ASSERT_GE(cfd, 0);
    EXPECT_TRUE(fcntl(cfd, F_GETFL) & O_NONBLOCK);

    int afd = -1;
    rt_test::wait_for([&] { return (afd = gw::sock_accept(lfd, &addr, 0, 1)) >= 0; },
                      std::chrono::seconds(1), std::chrono::milliseconds(10));
    ASSERT_GE(afd, 0);
    EXPECT_TRUE(fcntl(afd, F_GETFL) & O_NONBLOCK);
    linger lg{};
    len = sizeof lg;
    ASSERT_EQ(getsockopt(afd, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 1);
    len = sizeof v;
    ASSERT_EQ(getsockopt(afd, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_LT(v, 8192) << "receive buffer was made small";
    close(afd);
    close(cfd);
    close(lfd);

    gw::GatewayConfig bad = cc;
    bad.address = "not-an-address";
    EXPECT_EQ(gw::open_client_socket(bad), -1);
}
