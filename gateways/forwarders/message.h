// Message lines ("SMS;+number;text", "Mail;to;subject;body") turned into
// send_sms.sh and mailsend runs, answered with a reply code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "gateway.h"

namespace gw {

// Printed for a mail line when the mail settings made no command.
inline constexpr const char *kMailTooLong = "mail settings too long for the command - not sent";
inline constexpr const char *kMailOpenQuote = "mail settings with a quote left open - not sent";

struct Forwarder {
    GatewayConfig *cfg = nullptr;
    std::string mail_prefix;                  // built by rebuild_mail_prefix()
    std::string mail_prefix_display;          // the same with the auth words hidden
    const char *mail_refused = kMailTooLong;  // why the prefix is empty

    // Seams for tests: how commands run and where the SMS result is read.
    int (*run)(const std::string &cmd) = nullptr;  // default: the shell
    std::string result_path = "/tmp/atsend_result_code";
    std::string result_cmd = "cat /tmp/atsend_result_code";
};

inline constexpr std::size_t kSmsTextMax = 160;

// "mailsend -smtp %s -port %d %s %s -from %s " with every value quoted for the
// shell; securemode and auth are option words (rtu::split_shell_words), each
// quoted. Held in 512 bytes (portnotify) or 1024 bytes (postrelay). Settings
// that do not fit, or whose options leave a quote open, leave the prefix
// empty (never cut inside a quote, never a guess where a quote ends): mail
// lines are then answered "1" without running mailsend.
void rebuild_mail_prefix(Forwarder &f);

// Handles one line (fields separated by ';', empty fields skipped); the reply
// is set as the table of reply codes says.
// Returns 100 when the line was not handled, else the send command's status.
int handle_message_line(Forwarder &f, const std::string &line, std::string &reply);

// Line service for the skeleton's line reader.
int forwarder_line_handler(void *context, const std::string &line, std::string &reply);

}  // namespace gw
