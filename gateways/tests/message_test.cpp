// Message lines to send_sms.sh and mailsend command lines, and their replies.
#include "message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "rtu/shell.h"

namespace fs = std::filesystem;
using gw::Program;

namespace {

std::vector<std::string> g_commands;
int g_status = 0;
// What the send script leaves in the result file (nothing when unset), and where.
std::optional<std::string> g_result;
std::string g_result_path;

int fake_run(const std::string &cmd) {
    g_commands.push_back(cmd);
    if (cmd.rfind("logger ", 0) == 0) return 0;
    if (g_result && cmd.rfind("send_sms.sh ", 0) == 0) std::ofstream(g_result_path) << *g_result;
    return g_status;
}

// The words the shell makes of a command line, program name first. Only
// printf runs: any expansion that slipped through shows up in the words.
std::vector<std::string> words_of(const std::string &cmd) {
    std::string out = rtu::output_of("printf '%s\\0' " + cmd);
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\0') {
            words.push_back(out.substr(start, i - start));
            start = i + 1;
        }
    }
    return words;
}

class Forward : public ::testing::Test {
  protected:
    void SetUp() override {
        g_commands.clear();
        g_status = 0;
        g_result.reset();
        dir_ = fs::current_path() / ("gw_message_test." + std::to_string(getpid()));
        fs::create_directories(dir_);
        result_ = (dir_ / "atsend_result_code").string();
        g_result_path = result_;
    }
    void TearDown() override { fs::remove_all(dir_); }

    gw::Forwarder make(Program p) {
        cfg_ = gw::default_config(p);
        gw::Forwarder f;
        f.cfg = &cfg_;
        f.run = fake_run;
        f.result_path = result_;
        f.result_cmd = "cat " + rtu::shell_quote(result_);
        gw::rebuild_mail_prefix(f);
        return f;
    }
    // What the script leaves behind from now on.
    void script_leaves(std::optional<std::string> text) { g_result = std::move(text); }

    fs::path dir_;
    std::string result_;
    gw::GatewayConfig cfg_;
};

}  // namespace

TEST_F(Forward, SmsWithPlusRunsTheScriptAndRepliesWithTheResultFile) {
    gw::Forwarder f = make(Program::textrelay);
    script_leaves("17\n");
    std::string reply;
    EXPECT_EQ(gw::handle_message_line(f, "SMS;+491701234;Hello", reply), 0);
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(words_of(g_commands[0]),
              (std::vector<std::string>{"send_sms.sh", "+491701234", "Hello"}));
    EXPECT_EQ(reply, "17\n") << "the line feed among the three characters stays";
}

TEST_F(Forward, SmsResultFileRules) {
    gw::Forwarder f = make(Program::textrelay);
    std::string reply;
    gw::handle_message_line(f, "SMS;+1;a", reply);
    EXPECT_EQ(reply, "0") << "no result file";
    script_leaves("");
    gw::handle_message_line(f, "SMS;+1;a", reply);
    EXPECT_EQ(reply, "100") << "empty result file";
    script_leaves("12345");
    gw::handle_message_line(f, "SMS;+1;a", reply);
    EXPECT_EQ(reply, "123");
    g_status = 3;
    EXPECT_EQ(gw::handle_message_line(f, "SMS;+1;a", reply), 3)
        << "the script's status is the result";
    EXPECT_EQ(reply, "123") << "a failed script's own code";
    // A failed script that leaves nothing: the earlier code is not this SMS's.
    script_leaves(std::nullopt);
    EXPECT_EQ(gw::handle_message_line(f, "SMS;+1;a", reply), 3);
    EXPECT_EQ(reply, "1");
    g_status = 0;
    gw::handle_message_line(f, "SMS;+1;a", reply);
    EXPECT_EQ(reply, "0");
}

TEST_F(Forward, SmsNotHandled) {
    gw::Forwarder f = make(Program::textrelay);
    std::string reply;
    for (const char *line :
         {"SMS;491701234;Hello", "SMS;+4917", "SMS", "sms;+1;x", "FAX;1;2", "Mail;a;b;c", "",
          "SMS;+;Hello", "SMS;+49 170;Hello", "SMS;+49-170;Hello", "SMS;+49\"x;Hello",
          "SMS;+49\x01;Hello", "SMS;++49;Hello"}) {
        EXPECT_EQ(gw::handle_message_line(f, line, reply), 100) << line;
        EXPECT_EQ(reply, "100") << line;
    }
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(Forward, SmsTextIsCutAt160) {
    gw::Forwarder f = make(Program::textrelay);
    std::string text(200, 'a');
    text[159] = 'L';
    std::string reply;
    gw::handle_message_line(f, "SMS;+1;" + text + ";extra", reply);
    ASSERT_EQ(g_commands.size(), 1u);
    auto w = words_of(g_commands[0]);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[2].size(), 160u);
    EXPECT_EQ(w[2].back(), 'L');
}

TEST_F(Forward, FieldsReachTheCommandsAsExactlyTheirText) {
    const std::string nasty = "a\"b$(echo INJ)`echo INJ`\\c'd\ne$HOME";
    gw::Forwarder sms = make(Program::textrelay);
    std::string reply;
    gw::handle_message_line(sms, "SMS;+1;" + nasty, reply);
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(words_of(g_commands[0]), (std::vector<std::string>{"send_sms.sh", "+1", nasty}));

    g_commands.clear();
    gw::Forwarder mail = make(Program::postrelay);
    cfg_.smtp = "mx$(echo INJ)";
    cfg_.sender = "me;echo INJ";
    cfg_.securemode = "-starttls `echo INJ`";
    cfg_.auth = "-auth -user ops -pass 'p w;$(echo INJ)'";
    cfg_.mailport = 25;
    gw::rebuild_mail_prefix(mail);
    EXPECT_EQ(gw::handle_message_line(mail, "Mail;" + nasty + ";" + nasty + ";" + nasty, reply), 0);
    ASSERT_EQ(g_commands.size(), 2u);
    EXPECT_EQ(words_of(g_commands[0]), (std::vector<std::string>{"mailsend",
                                                                 "-smtp",
                                                                 "mx$(echo INJ)",
                                                                 "-port",
                                                                 "25",
                                                                 "-starttls",
                                                                 "`echo",
                                                                 "INJ`",
                                                                 "-auth",
                                                                 "-user",
                                                                 "ops",
                                                                 "-pass",
                                                                 "p w;$(echo INJ)",
                                                                 "-from",
                                                                 "me;echo INJ",
                                                                 "-mime-type",
                                                                 "text/plain",
                                                                 "-to",
                                                                 nasty,
                                                                 "-sub",
                                                                 nasty,
                                                                 "-M",
                                                                 nasty,
                                                                 "-v",
                                                                 "-log",
                                                                 "/var/log/mail_log"}));
}

TEST_F(Forward, MailSuccessAndFailureAreLogged) {
    gw::Forwarder f = make(Program::postrelay);
    cfg_.smtp = "127.0.0.1";
    cfg_.mailport = 2525;
    cfg_.sender = "rtu@example.net";
    gw::rebuild_mail_prefix(f);
    std::string reply;
    EXPECT_EQ(gw::handle_message_line(f, "Mail;ops;Alarm;Input 1 closed", reply), 0);
    EXPECT_EQ(reply, "0");
    ASSERT_EQ(g_commands.size(), 2u);
    EXPECT_EQ(words_of(g_commands[0]),
              (std::vector<std::string>{"mailsend", "-smtp", "127.0.0.1", "-port", "2525", "-from",
                                        "rtu@example.net", "-mime-type", "text/plain", "-to", "ops",
                                        "-sub", "Alarm", "-M", "Input 1 closed", "-v", "-log",
                                        "/var/log/mail_log"}));
    EXPECT_EQ(g_commands[1], "logger -t script \"Send mail successfully!\"");

    g_commands.clear();
    g_status = 2;
    EXPECT_EQ(gw::handle_message_line(f, "Mail;ops;Alarm;x", reply), 2);
    EXPECT_EQ(reply, "1");
    ASSERT_EQ(g_commands.size(), 2u);
    EXPECT_EQ(g_commands[1], "logger -t script \"Could not send mail!\"");
}

TEST_F(Forward, MailSettingsWithAQuoteLeftOpenSendNoMail) {
    // The shell would refuse the command; where the quote was meant to end
    // is not guessed.
    gw::Forwarder f = make(Program::postrelay);
    for (const char *auth : {"-auth -pass 'open", "-pass \"a b"}) {
        g_commands.clear();
        cfg_.auth = auth;
        gw::rebuild_mail_prefix(f);
        std::string reply;
        testing::internal::CaptureStdout();
        EXPECT_EQ(gw::handle_message_line(f, "Mail;ops;Alarm;x", reply), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(gw::kMailOpenQuote) + "\n");
        EXPECT_EQ(reply, "1");
        EXPECT_EQ(g_commands,
                  (std::vector<std::string>{"logger -t script \"Could not send mail!\""}));
    }
}

TEST_F(Forward, MailNotHandled) {
    gw::Forwarder f = make(Program::postrelay);
    std::string reply;
    for (const char *line : {"Mail;ops;Alarm", "Mail;;ops;;Alarm", "SMS;+1;x", "MAIL;a;b;c"}) {
        EXPECT_EQ(gw::handle_message_line(f, line, reply), 100) << line;
        EXPECT_EQ(reply, "100");
    }
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(Forward, PortnotifyNeedsItsSwitchesAndHidesCredentials) {
    gw::Forwarder f = make(Program::portnotify);
    std::string reply;
    testing::internal::CaptureStdout();
    EXPECT_EQ(gw::handle_message_line(f, "Mail;ops;Alarm;x", reply), 100);
    EXPECT_EQ(gw::handle_message_line(f, "SMS;+1;x", reply), 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "not support\nnot support\n");
    EXPECT_TRUE(g_commands.empty());

    cfg_.textrelay = 1;
    cfg_.postrelay = 1;
    cfg_.auth = "-auth -user ops -pass s3cret";
    gw::rebuild_mail_prefix(f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(gw::handle_message_line(f, "SMS;+1;x", reply), 0);
    EXPECT_EQ(gw::handle_message_line(f, "Mail;ops;Alarm;x", reply), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cmd<send_sms.sh '+1' 'x'>\n"), std::string::npos) << out;
    EXPECT_NE(out.find("-to 'ops' -sub 'Alarm' -M 'x'\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
    ASSERT_EQ(g_commands.size(), 3u);
    EXPECT_NE(g_commands[1].find("'s3cret'"), std::string::npos) << "the command itself keeps them";
    EXPECT_EQ(g_commands[1].find("-v -log"), std::string::npos) << "only postrelay logs mailsend";
}
