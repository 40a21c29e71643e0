// uci access, the slot key rule and small helpers of modemctl.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "modem_internal.h"
#include "rtu/handles.h"
#include "rtu/shell.h"

namespace {

// The package.section.option key as one shell word: plain keys keep their
// usual text, anything else is quoted rather than read by the shell.
std::string uci_key(std::string_view package, std::string_view section, std::string_view option) {
    std::string key;
    key.append(package).append(".").append(section).append(".").append(option);
    return rtu::shell_word(key);
}

}  // namespace

std::string uci_get_value(std::string_view package, std::string_view section,
                          std::string_view option) {
    std::string cmd = "/sbin/uci -q get " + uci_key(package, section, option);
    // A command cut at the buffer size could lose its closing quote.
    if (cmd.size() > rtu::kCmdMax - 1) {
        modem::log_event("uci option " + std::string(option) + " too long, not read");
        return {};
    }
    return rtu::first_line_of(cmd, modem::kUciValueMax);
}

int uci_set_value(std::string_view package, std::string_view section, std::string_view option,
                  std::string_view value) {
    // key=value as one word: the key's text stays plain when it can.
    std::string cmd =
        "/sbin/uci -q set " + uci_key(package, section, option) + "=" + rtu::shell_quote(value);
    // The command buffer holds 1023 characters; a command cut there would lose
    // its closing quote, so a value that does not fit is refused instead.
    if (cmd.size() > rtu::kCmdMax - 1) {
        modem::log_event("uci value for " + std::string(option) + " too long, not set");
        return -1;
    }
    return rtu::run_shell(cmd);
}

namespace modem {

std::string slot_key(std::string_view base, int slot) {
    std::string key(base);
    if (slot > 0) key += std::to_string(slot + 1);
    return cut(key, kNameMax);
}

std::string slot_composite_key(std::string_view rest, int slot) {
    std::string key = "modem";
    if (slot > 0) key += std::to_string(slot + 1);
    key += rest;
    return cut(key, kNameMax);
}

int slot_profile(int slot) {
    return slot == 0 ? 0 : slot + 1;
}

std::string param(std::string_view base, int slot) {
    return uci_get_value("modem", "parameters", slot_key(base, slot));
}

std::string composite_param(std::string_view rest, int slot) {
    return uci_get_value("modem", "parameters", slot_composite_key(rest, slot));
}

std::string cut(std::string_view text, std::size_t max) {
    return std::string(text.substr(0, std::min(text.size(), max)));
}

void copy_field(char *out, std::string_view text) {
    std::size_t n = std::min(text.size(), kNameMax);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void log_event(const std::string &message) {
    rtu::run_shell("logger -t modemctl " + rtu::shell_quote(message) + " 2>/dev/null");
}

void console_write(std::string_view text) {
    rtu::Fd fd(::open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd) return;
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace modem
