#include "message.h"

#include <cstdio>
#include <optional>

#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/shell.h"
#include "rtu/split.h"
#include "rtu/streams.h"

namespace gw {
namespace {

int run_command(const Forwarder &f, const std::string &cmd) {
    return f.run ? f.run(cmd) : rtu::run_shell(cmd);
}

// The option words of a setting, each quoted; nullopt when a quote is left
// open (the shell would not run such a command at all).
std::optional<std::string> quote_words(const std::string &text) {
    std::optional<std::vector<std::string>> words = rtu::split_shell_words(text);
    if (!words) return std::nullopt;
    std::string out;
    for (const std::string &w : *words) {
        if (!out.empty()) out.push_back(' ');
        out += rtu::shell_quote(w);
    }
    return out;
}

// An empty value leaves its blank in place, as the plain format did.
std::string quote_or_empty(const std::string &value) {
    return value.empty() ? std::string() : rtu::shell_quote(value);
}

// The prefix, or an empty text when it does not fit its buffer: cut there
// it could end inside a quote, and the quotes of the message fields after it
// would then open where they should close.
std::string prefix_with(const Forwarder &f, const std::string &securemode,
                        const std::string &auth) {
    const GatewayConfig &c = *f.cfg;
    std::size_t size = c.program == Program::portnotify ? 512 : 1024;
    std::string full =
        rtu::format_bounded(rtu::kCmdMax * 8, "mailsend -smtp %s -port %d %s %s -from %s ",
                            quote_or_empty(c.smtp).c_str(), c.mailport, securemode.c_str(),
                            auth.c_str(), quote_or_empty(c.sender).c_str());
    if (full.size() > size - 1) return {};
    return full;
}

// SMS result: up to three characters of the result file's first line. The
// file was removed before the send, so one present now is this send's; a
// script that failed without leaving one did not send ("1").
void read_sms_result(const Forwarder &f, int status, std::string &reply) {
    if (!rtu::file_exists(f.result_path)) {
        reply = status == 0 ? "0" : "1";
        return;
    }
    rtu::PipePtr p(popen(f.result_cmd.c_str(), "r"));
    if (!p) {
        reply = "350";
        return;
    }
    char buf[4];
    if (std::fgets(buf, sizeof buf, p.get())) reply = buf;
}

// "+" and digits, nothing else.
bool is_phone_number(std::string_view number) {
    return number.size() > 1 && number[0] == '+' &&
           number.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

int send_sms(Forwarder &f, const std::vector<std::string_view> &fields, std::string &reply) {
    const GatewayConfig &c = *f.cfg;
    if (c.program == Program::portnotify && c.textrelay == 0) {
        std::puts("not support");
        return 100;
    }
    if (fields.size() < 3 || !is_phone_number(fields[1])) return 100;
    std::string_view text = fields[2].substr(0, kSmsTextMax);
    std::string cmd = "send_sms.sh " + rtu::shell_quote(fields[1]) + " " + rtu::shell_quote(text);
    if (c.program == Program::portnotify) std::printf("cmd<%s>\n", cmd.c_str());
    // A result file left by an earlier SMS is not this one's.
    if (!rtu::remove_file(f.result_path))
        rtu::put(stderr, "remove %s fail\n", f.result_path.c_str());
    int status = run_command(f, cmd);
    read_sms_result(f, status, reply);
    return status;
}

int send_mail(Forwarder &f, const std::vector<std::string_view> &fields, std::string &reply) {
    const GatewayConfig &c = *f.cfg;
    if (c.program == Program::portnotify && c.postrelay == 0) {
        std::puts("not support");
        return 100;
    }
    if (fields.size() < 4) return 100;
    if (f.mail_prefix.empty()) {
        // The mail settings could not make a command: no mail.
        std::puts(f.mail_refused);
        run_command(f, "logger -t script \"Could not send mail!\"");
        reply = "1";
        return 1;
    }
    std::string tail = "-mime-type \"text/plain\" -to " + rtu::shell_quote(fields[1]) + " -sub " +
                       rtu::shell_quote(fields[2]) + " -M " + rtu::shell_quote(fields[3]);
    if (c.program == Program::postrelay) tail += " -v -log /var/log/mail_log";
    std::string cmd = f.mail_prefix + " " + tail;
    // The printed command keeps the credentials out of the output.
    if (c.program == Program::portnotify)
        std::printf("%s %s\n", f.mail_prefix_display.c_str(), tail.c_str());
    int status = run_command(f, cmd);
    run_command(f, status == 0 ? "logger -t script \"Send mail successfully!\""
                               : "logger -t script \"Could not send mail!\"");
    reply = status == 0 ? "0" : "1";
    return status;
}

}  // namespace

void rebuild_mail_prefix(Forwarder &f) {
    std::optional<std::string> securemode = quote_words(f.cfg->securemode);
    std::optional<std::string> auth = quote_words(f.cfg->auth);
    if (!securemode || !auth) {
        f.mail_prefix.clear();
        f.mail_prefix_display.clear();
        f.mail_refused = kMailOpenQuote;
        return;
    }
    f.mail_prefix = prefix_with(f, *securemode, *auth);
    f.mail_prefix_display = prefix_with(f, *securemode, auth->empty() ? "" : "***");
    f.mail_refused = kMailTooLong;
    // The format ends with a blank; the command adds its own.
    if (!f.mail_prefix.empty() && f.mail_prefix.back() == ' ') f.mail_prefix.pop_back();
    if (!f.mail_prefix_display.empty() && f.mail_prefix_display.back() == ' ')
        f.mail_prefix_display.pop_back();
}

int handle_message_line(Forwarder &f, const std::string &line, std::string &reply) {
    reply = "100";
    std::vector<std::string_view> fields = rtu::split_fields(line, ";");
    if (fields.empty()) return 100;
    Program p = f.cfg->program;
    if (fields[0] == "SMS" && p != Program::postrelay) return send_sms(f, fields, reply);
    if (fields[0] == "Mail" && p != Program::textrelay) return send_mail(f, fields, reply);
    return 100;
}

int forwarder_line_handler(void *context, const std::string &line, std::string &reply) {
    return handle_message_line(*static_cast<Forwarder *>(context), line, reply);
}

}  // namespace gw
