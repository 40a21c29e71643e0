// Shell injection through the message forwarders: fields of a message line
// and mail settings of the configuration file, with the shared payload
// table, run through the real /bin/sh with a recorder in place of
// send_sms.sh and mailsend.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message.h"
#include "rt_test/payloads.h"
#include "rtu/split.h"

namespace {

using gw::Program;
using rt_test::Payload;
using rt_test::Scratch;
using rt_test::shown;

std::vector<std::string> g_commands;

int keep(const std::string &cmd) {
    g_commands.push_back(cmd);
    return 0;
}

// A line protocol carries neither a line end nor, inside a field, the ';'
// that separates fields.
constexpr const char *kNotInAField = "\r\n;";

struct Relay {
    gw::GatewayConfig cfg;
    gw::Forwarder f;
    explicit Relay(Program p, const std::vector<std::string> &lines = {}) {
        cfg = gw::default_config(p);
        cfg.smtp = "127.0.0.1";
        cfg.mailport = 25;
        cfg.sender = "rtu@example.net";
        for (const auto &l : lines) gw::apply_config_line(l, cfg);
        cfg.textrelay = cfg.postrelay = 1;
        f.cfg = &cfg;
        f.run = keep;
        f.result_path = "/nonexistent/atsend_result_code";
        gw::rebuild_mail_prefix(f);
    }
    // The one send command the line gave (loggers left out).
    std::string command_for(const std::string &line) {
        g_commands.clear();
        std::string reply;
        gw::handle_message_line(f, line, reply);
        std::string out;
        for (const auto &c : g_commands)
            if (c.rfind("logger ", 0) != 0) out = c;
        return out;
    }
};

std::string after(const std::vector<std::string> &args, const std::string &flag) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == flag) return args[i + 1];
    return "<none>";
}

TEST(ForwarderInjection, SmsTextReachesTheScriptWholeAndANumberIsOnlyDigits) {
    Scratch s("sms");
    for (Program p : {Program::textrelay, Program::portnotify}) {
        Relay st(p);
        for (const Payload &pl : rt_test::payloads(s.canary(), kNotInAField)) {
            EXPECT_EQ(st.command_for("SMS;+49" + pl.text + ";x"), "") << "[" << pl.name << "]";
            std::string cmd = st.command_for("SMS;+49;" + pl.text);
            bool form = false;
            auto run = s.run(cmd, "send_sms.sh", "", form);
            ASSERT_TRUE(form) << cmd;
            EXPECT_FALSE(s.canary_ran()) << "[" << pl.name << "]: " << shown(cmd);
            ASSERT_EQ(run.calls.size(), 1u) << "[" << pl.name << "]: " << shown(cmd);
            EXPECT_EQ(run.calls[0], (std::vector<std::string>{"+49", pl.text}))
                << "[" << pl.name << "]";
        }
    }
}

TEST(ForwarderInjection, MailFieldsReachMailsendWhole) {
    Scratch s("mail");
    for (Program p : {Program::postrelay, Program::portnotify}) {
        Relay st(p);
        for (const Payload &pl : rt_test::payloads(s.canary(), kNotInAField)) {
            for (int field = 0; field < 3; ++field) {
                std::vector<std::string> v = {"ops@example.net", "Alarm", "Input 1 closed"};
                v[field] = pl.text;
                std::string cmd = st.command_for("Mail;" + v[0] + ";" + v[1] + ";" + v[2]);
                bool form = false;
                auto run = s.run(cmd, "mailsend", "", form);
                ASSERT_TRUE(form) << cmd;
                EXPECT_FALSE(s.canary_ran()) << field << " [" << pl.name << "]: " << shown(cmd);
                ASSERT_EQ(run.calls.size(), 1u) << field << " [" << pl.name << "]: " << shown(cmd);
                const auto &a = run.calls[0];
                EXPECT_EQ(after(a, "-to"), v[0]) << "[" << pl.name << "]";
                EXPECT_EQ(after(a, "-sub"), v[1]) << "[" << pl.name << "]";
                EXPECT_EQ(after(a, "-M"), v[2]) << "[" << pl.name << "]";
            }
        }
    }
}

TEST(ForwarderInjection, MailSettingsOfTheConfigurationFile) {
    // smtp and sender are one word each; securemode and auth are option
    // texts split into their own words on purpose: the shell must pass
    // exactly those words, or, with a quote left open, no mail is sent.
    Scratch s("mailcfg");
    int refused = 0;
    for (Program p : {Program::postrelay, Program::portnotify}) {
        for (const Payload &pl : rt_test::payloads(s.canary(), "\r\n")) {
            for (const char *key : {"smtp", "sender", "securemode", "auth"}) {
                Relay st(p, {std::string(key) + "=" + pl.text});
                std::string cmd = st.command_for("Mail;ops@example.net;Alarm;Input 1 closed");
                auto secure_words = rtu::split_shell_words(st.cfg.securemode);
                auto auth_words = rtu::split_shell_words(st.cfg.auth);
                if (!secure_words || !auth_words) {
                    EXPECT_EQ(cmd, "") << key << " [" << pl.name << "]";
                    ++refused;
                    continue;
                }
                bool form = false;
                auto run = s.run(cmd, "mailsend", "", form);
                ASSERT_TRUE(form) << cmd;
                EXPECT_FALSE(s.canary_ran()) << key << " [" << pl.name << "]: " << shown(cmd);
                ASSERT_EQ(run.calls.size(), 1u) << key << " [" << pl.name << "]: " << shown(cmd);
                const auto &a = run.calls[0];
                EXPECT_EQ(after(a, "-smtp"), st.cfg.smtp) << key << " [" << pl.name << "]";
                EXPECT_EQ(after(a, "-from"), st.cfg.sender) << key << " [" << pl.name << "]";
                std::vector<std::string> options = *secure_words;
                options.insert(options.end(), auth_words->begin(), auth_words->end());
                // -smtp H -port N <options> -from S
                ASSERT_GE(a.size(), 4u + options.size() + 2u);
                EXPECT_EQ(std::vector<std::string>(
                              a.begin() + 4, a.begin() + 4 + static_cast<long>(options.size())),
                          options)
                    << key << " [" << pl.name << "]";
                EXPECT_EQ(a[4 + options.size()], "-from") << key << " [" << pl.name << "]";
                EXPECT_EQ(after(a, "-M"), "Input 1 closed");
            }
        }
    }
    EXPECT_GT(refused, 0) << "the quote-breaking payloads leave a quote open";
}

TEST(ForwarderInjection, MailSettingsTooLongForTheCommandBufferCannotOpenTheFields) {
    // Quoting makes the settings longer than they are in the file: a prefix
    // cut at its buffer (512 bytes in portnotify, 1024 in postrelay) could
    // end inside a quote and leave the message fields unquoted. Such
    // settings send no mail: answered "1" and logged as a failed mail.
    Scratch s("mailcut");
    std::string many_words;  // 127 one-letter words: 508 characters quoted
    for (int i = 0; i < 127; ++i) many_words += "a ";
    const std::string many_quotes = "\"" + std::string(253, '\'') + "\"";  // 1014 quoted
    struct Case {
        Program program;
        std::string auth;
    } cases[] = {{Program::portnotify, many_words}, {Program::postrelay, many_quotes}};
    for (const Case &c : cases) {
        // every cut point: the sender's length moves it through the quotes
        for (std::size_t sender_len = 1; sender_len <= 8; ++sender_len) {
            Relay st(c.program, {"auth=" + c.auth, "sender=" + std::string(sender_len, 's')});
            ASSERT_EQ(st.cfg.auth, c.auth);
            for (const Payload &pl : rt_test::payloads(s.canary(), kNotInAField)) {
                g_commands.clear();
                std::string reply;
                int rc = gw::handle_message_line(
                    st.f, "Mail;" + pl.text + ";" + pl.text + ";" + pl.text, reply);
                for (const std::string &cmd : g_commands) {
                    if (cmd.rfind("logger ", 0) == 0) continue;
                    bool form = false;
                    auto run = s.run(cmd, "mailsend", "", form);
                    ASSERT_TRUE(form) << cmd;
                    EXPECT_FALSE(s.canary_ran())
                        << sender_len << " [" << pl.name << "]: " << shown(cmd);
                    ASSERT_EQ(run.calls.size(), 1u)
                        << sender_len << " [" << pl.name << "]: " << shown(cmd);
                    EXPECT_EQ(after(run.calls[0], "-M"), pl.text)
                        << sender_len << " [" << pl.name << "]";
                }
                EXPECT_TRUE(g_commands.size() == 1 &&
                            g_commands[0] == "logger -t script \"Could not send mail!\"")
                    << sender_len << " [" << pl.name
                    << "]: " << (g_commands.empty() ? "" : shown(g_commands[0]));
                EXPECT_EQ(reply, "1");
                EXPECT_NE(rc, 0);
            }
        }
    }
    // Settings that fit still send.
    Relay ok(Program::portnotify, {"auth=-auth -user ops -pass s3cret"});
    g_commands.clear();
    std::string reply;
    EXPECT_EQ(gw::handle_message_line(ok.f, "Mail;ops;Alarm;x", reply), 0);
    EXPECT_EQ(reply, "0");
    ASSERT_EQ(g_commands.size(), 2u);
    EXPECT_EQ(g_commands[0].rfind("mailsend -smtp '127.0.0.1' -port 25 ", 0), 0u) << g_commands[0];
}

}  // namespace
