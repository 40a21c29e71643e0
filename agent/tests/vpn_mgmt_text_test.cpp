// The management text handling, fed with blocks as OpenVPN 2.6 sends them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mgmt_text.h"

namespace {

using vpn::MgmtPass;

// A received block as the management thread sees it: the last byte (the LF
// of the final CR LF) is dropped.
std::string block(const char *raw) {
    std::string text = "old";
    vpn::take_received(text, raw, static_cast<long>(std::strlen(raw)));
    return text;
}

MgmtPass in_state(int state, const char *pending = "-") {
    MgmtPass p;
    p.state = state;
    p.pending = pending;
    return p;
}

TEST(MgmtReceive, LastByteIsDroppedAndShortReadsKeepThePreviousText) {
    std::string text = "previous";
    vpn::take_received(text, "x", 1);
    EXPECT_EQ(text, "previous");
    vpn::take_received(text, "", 0);
    EXPECT_EQ(text, "previous");
    vpn::take_received(text, "ab\r\n", 4);
    EXPECT_EQ(text, "ab\r");
    vpn::take_received(text, "ok", 2);
    EXPECT_EQ(text, "o");
}

TEST(MgmtReceive, FullBufferIsBoundedAndEmbeddedZeroEndsTheText) {
    std::string big(3000, 'a');
    std::string text;
    vpn::take_received(text, big.data(), 2000);
    EXPECT_EQ(text.size(), 1999u);
    const char raw[] = {'a', 'b', '\0', 'c', 'd', '\n'};
    vpn::take_received(text, raw, sizeof raw);
    EXPECT_EQ(text, "ab");
}

TEST(MgmtExamine, HoldReleaseAndStateInOneBlockAreHandledInOnePass) {
    auto p = in_state(vpn::kStateHold, vpn::kCmdHoldRelease);
    vpn::mgmt_examine(
        block("SUCCESS: hold release succeeded\r\n"
              "1796676346,CONNECTED,SUCCESS,10.99.0.2,127.0.0.1,11194,127.0.0.1,60274\r\n"
              "END\r\n"),
        p);
    EXPECT_EQ(p.state, vpn::kStateConnected);
    EXPECT_TRUE(p.connected);
    EXPECT_EQ(p.pending, vpn::kCmdBytecount);
    ASSERT_FALSE(p.mgmt_log.empty());
    EXPECT_EQ(p.mgmt_log[0], "HOLD release succeeded");
}

TEST(MgmtExamine, HoldNotificationBeforeTheSuccessLineDelaysTheRelease) {
    // OpenVPN often sends its hold notice in the same block as the answer;
    // the block then does not begin with the answer and the release is resent.
    auto p = in_state(vpn::kStateHold, vpn::kCmdHoldRelease);
    vpn::mgmt_examine(
        block(">HOLD:Waiting for hold release:0\r\nSUCCESS: hold release succeeded\r\n"), p);
    EXPECT_EQ(p.state, vpn::kStateHold);
    EXPECT_EQ(p.pending, vpn::kCmdHoldRelease);
    vpn::mgmt_examine(block("SUCCESS: hold release succeeded\r\n"), p);
    EXPECT_EQ(p.state, vpn::kStateConnecting);
    EXPECT_EQ(p.pending, vpn::kCmdState);
}

TEST(MgmtExamine, HoldReleaseAnswerOutsideHoldChangesNothing) {
    auto p = in_state(vpn::kStateConnecting, vpn::kCmdState);
    vpn::mgmt_examine(block("SUCCESS: hold release succeeded\r\n"), p);
    EXPECT_EQ(p.state, vpn::kStateConnecting);
    EXPECT_TRUE(p.mgmt_log.empty());
}

TEST(MgmtExamine, WaitingWordsAreCountedAndLogged) {
    auto p = in_state(vpn::kStateConnecting, vpn::kCmdState);
    vpn::mgmt_examine(block("1796692260,WAIT,,,,,,\r\nEND\r\n"), p);
    vpn::mgmt_examine(block("1796692261,AUTH,,,,,,\r\nEND\r\n"), p);
    vpn::mgmt_examine(block("1796692261,CONNECTING,,,,,,\r\nEND\r\n"), p);
    vpn::mgmt_examine(block("1796692261,GET_CONFIG,,,,,,\r\nEND\r\n"), p);
    vpn::mgmt_examine(block("1796692261,ASSIGN_IP,,,,,,\r\nEND\r\n"), p);
    vpn::mgmt_examine(block("1796692261,ADD_ROUTES,,,,,,\r\nEND\r\n"), p);
    EXPECT_EQ(p.wait_count, 3);
    EXPECT_EQ(p.mgmt_log, (std::vector<std::string>{"WAIT", "AUTH", "CONNECTING", "GET_CONFIG",
                                                    "ASSIGN_IP", "ADD_ROUTES"}));
    EXPECT_EQ(p.state, vpn::kStateConnecting);
    EXPECT_EQ(p.pending, vpn::kCmdState);
}

TEST(MgmtExamine, StateWordMustBeAWholeField) {
    auto p = in_state(vpn::kStateConnecting, vpn::kCmdState);
    vpn::mgmt_examine(block("1796676346,NOTCONNECTED,CONNECTED_X,xCONNECTED\r\nEND\r\n"), p);
    EXPECT_EQ(p.state, vpn::kStateConnecting);
    EXPECT_FALSE(p.connected);
    // at the end of the block the field still carries the CR of its line
    vpn::mgmt_examine(block("1796676346,CONNECTED\r\n"), p);
    EXPECT_FALSE(p.connected);
    vpn::mgmt_examine(block("1796676346,,,CONNECTED,,\r\n"), p);
    EXPECT_TRUE(p.connected);
}

TEST(MgmtExamine, ConnectedWhileConnectedStopsPolling) {
    auto p = in_state(vpn::kStateConnected, vpn::kCmdState);
    vpn::mgmt_examine(block("1,CONNECTED,SUCCESS,,127.0.0.1,11194\r\nEND\r\n"), p);
    EXPECT_EQ(p.pending, vpn::kCmdNone);
    EXPECT_FALSE(p.connected);
}

TEST(MgmtExamine, ByteCountsAtTheStartOfABlockOnly) {
    auto p = in_state(vpn::kStateConnected, vpn::kCmdBytecount);
    vpn::mgmt_examine(block("SUCCESS: bytecount interval changed\r\n"), p);
    EXPECT_EQ(p.pending, vpn::kCmdNone);
    EXPECT_FALSE(p.have_bytes);

    vpn::mgmt_examine(block(">BYTECOUNT:3260,3356\r\n"), p);
    EXPECT_TRUE(p.have_bytes);
    EXPECT_EQ(p.bytes_in, 3260);
    EXPECT_EQ(p.bytes_out, 3356);

    MgmtPass q = in_state(vpn::kStateConnected, vpn::kCmdBytecount);
    vpn::mgmt_examine(block("SUCCESS: bytecount interval changed\r\n>BYTECOUNT:10,20\r\n"), q);
    EXPECT_FALSE(q.have_bytes);
    EXPECT_EQ(q.pending, vpn::kCmdNone);

    MgmtPass r = in_state(vpn::kStateConnecting, vpn::kCmdState);
    vpn::mgmt_examine(block(">BYTECOUNT:10,20\r\n"), r);
    EXPECT_FALSE(r.have_bytes);
    EXPECT_EQ(r.pending, vpn::kCmdState);
}

TEST(MgmtExamine, ByteCountsAreRunningTotalsPast32Bits) {
    auto p = in_state(vpn::kStateConnected);
    vpn::mgmt_examine(block(">BYTECOUNT:4294967396,2147483648\r\n"), p);
    EXPECT_EQ(p.bytes_in, 4294967396LL);
    EXPECT_EQ(p.bytes_out, 2147483648LL);
    MgmtPass q = in_state(vpn::kStateConnected);
    vpn::mgmt_examine(block(">BYTECOUNT:123\r\n"), q);  // no comma: nothing parsed
    EXPECT_FALSE(q.have_bytes);
    EXPECT_EQ(q.pending, vpn::kCmdNone);
}

TEST(MgmtExamine, HoldAgainOnceReleasedGoesBackToHold) {
    // OpenVPN restarts (reset, ping-restart, TLS failure) and holds again;
    // its retry pause follows the prefix and grows with each restart.
    struct Case {
        int state;
        const char *text;
        bool holds;
    } cases[] = {
        {vpn::kStateConnected, ">HOLD:Waiting for hold release:1\r\n", true},
        {vpn::kStateConnected, ">HOLD:Waiting for hold release:5\r\n", true},
        {vpn::kStateConnecting, ">HOLD:Waiting for hold release:8\r\n", true},
        {vpn::kStateConnected, ">BYTECOUNT:3179,3202\r\n>HOLD:Waiting for hold release:2\r\n",
         true},
        {vpn::kStateHold, ">HOLD:Waiting for hold release:0\r\n", false},  // not released yet
        {vpn::kStateConnected, "x>HOLD:Waiting for hold release:1\r\n", false},
        {vpn::kStateExiting, ">HOLD:Waiting for hold release:1\r\n", false},
    };
    for (const Case &c : cases) {
        auto p = in_state(c.state);
        vpn::mgmt_examine(block(c.text), p);
        EXPECT_EQ(p.state, c.holds ? vpn::kStateHold : c.state) << c.text;
        if (c.holds) {
            EXPECT_EQ(p.pending, vpn::kCmdHoldRelease) << c.text;
        }
    }
}

TEST(MgmtExamine, ReconnectingCountsAndPollsAgain) {
    auto p = in_state(vpn::kStateConnected);
    p.wait_count = 4;
    vpn::mgmt_examine(block(">STATE:1796676346,RECONNECTING,ping-restart,,,,,\r\n"), p);
    EXPECT_EQ(p.state, vpn::kStateConnecting);
    EXPECT_EQ(p.pending, vpn::kCmdState);
    EXPECT_EQ(p.wait_count, 5);
    // ending the VPN is not undone by a state word
    MgmtPass q = in_state(vpn::kStateExiting);
    vpn::mgmt_examine(block("1,RECONNECTING,x\r\n"), q);
    EXPECT_EQ(q.state, vpn::kStateExiting);
}

TEST(MgmtExamine, ExitingAsksForTheStateAgain) {
    auto p = in_state(vpn::kStateConnected);
    vpn::mgmt_examine(block("1,EXITING,SIGTERM,,,\r\nEND\r\n"), p);
    EXPECT_EQ(p.pending, vpn::kCmdState);
    EXPECT_EQ(p.state, vpn::kStateConnected);
    EXPECT_EQ(p.mgmt_log, std::vector<std::string>{"EXITING"});
}

TEST(MgmtFields, RunsOfCommasAreOneSeparator) {
    auto f = vpn::split_fields(",,a,,b,c,,");
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], "a");
    EXPECT_EQ(f[2], "c");
    EXPECT_TRUE(vpn::split_fields(",,,").empty());
}

TEST(MgmtPending, DashSendsNothing) {
    EXPECT_FALSE(vpn::pending_is_command("-"));
    EXPECT_FALSE(vpn::pending_is_command("-anything"));
    EXPECT_TRUE(vpn::pending_is_command("state\n"));
}

}  // namespace
