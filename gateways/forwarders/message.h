// Message lines ("SMS;+number;text", "Mail;to;subject;body") turned into
// send_sms.sh and mailsend runs, answered with a reply code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "gateway.h"

namespace gw {

struct Forwarder {
    GatewayConfig *cfg = nullptr;
    std::string mail_prefix;          // built by rebuild_mail_prefix()
    std::string mail_prefix_display;  // the same with the auth words hidden

    // Seams for tests: how commands run and where the SMS result is read.
    int (*run)(const std::string &cmd) = nullptr;  // default: the shell
    std::string result_path = "/tmp/atsend_result_code";
    std::string result_cmd = "cat /tmp/atsend_result_code";
};

inline constexpr std::size_t kSmsTextMax = 160;

// Fields separated by ';', empty fields skipped.
std::vector<std::string> split_fields(const std::string &line);

// Words of an option text as the shell would split them (blanks separate,
// '...' and "..." group, backslash escapes), without any expansion.
std::vector<std::string> split_option_words(const std::string &text);

// "mailsend -smtp %s -port %d %s %s -from %s " with every value quoted for the
// shell; held in 512 bytes (portnotify) or 1024 bytes (postrelay). Settings
// that do not fit leave the prefix empty (never cut inside a quote): mail
// lines are then answered "1" without running mailsend.
void rebuild_mail_prefix(Forwarder &f);

// Handles one line; the reply is set as the table of reply codes says.
// Returns 100 when the line was not handled, else the send command's status.
int handle_message_line(Forwarder &f, const std::string &line, std::string &reply);

// Line service for the skeleton's line reader.
int forwarder_line_handler(void *context, const std::string &line, std::string &reply);

}  // namespace gw
