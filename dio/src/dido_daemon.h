// The digital I/O daemon: polls DI and DO, mirrors them into shared values
// and LEDs, raises events on changes and carries out two rules, each a DI
// action (on a DI edge) paired with a DO action (a DO level derived from the
// VPN or the eth1 link).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dio {

// The pins of the bridge as the daemon sees them.
class PinIo {
  public:
    virtual ~PinIo() = default;
    // Reads the GPIO state register; negative on failure.
    virtual int read_state(std::int32_t &value) = 0;
    // Drives the pins of mask high (set register) or low (clear register).
    virtual int drive(std::int32_t mask, bool high) = 0;
};

// Everything else the daemon touches: its output, the shell, files and the
// shared values of section "common".
class DaemonHost {
  public:
    virtual ~DaemonHost() = default;
    virtual void print(const std::string &text) = 0;
    // Runs a command through the shell and waits for it.
    virtual void run(const std::string &cmd) = 0;
    // Runs a command through a pipe, drains its output and waits for it.
    virtual void run_piped(const std::string &cmd) = 0;
    // Output of a command run through a pipe (at most max bytes); empty when
    // it printed nothing or could not be started.
    virtual std::string output(const std::string &cmd, std::size_t max) = 0;
    virtual bool file_exists(const std::string &path) = 0;
    // The number a status file holds (rtu::read_number_file), nullopt when
    // it is missing or holds anything else.
    virtual std::optional<int> read_number(const std::string &path) = 0;
    // Creates a marker file (rtu::touch_file).
    virtual void touch(const std::string &path) = 0;
    virtual std::optional<std::string> get_shared(const std::string &name) = 0;
    virtual void set_shared(const std::string &name, const std::string &value) = 0;
};

struct RuleCodes {
    int di1 = 0;
    int di2 = 0;
    int do1 = 0;
    int do2 = 0;
};

// Pending-SMS mark.
enum SmsMark : int { kSmsNone = 0, kSmsDiOff = 1, kSmsDiOn = 2 };

class DidoDaemon {
  public:
    static constexpr unsigned kPeriodSeconds = 10;

    DidoDaemon(PinIo &io, DaemonHost &host, RuleCodes codes)
        : io_(io), host_(host), codes_(codes) {}

    // Start-up: the banner and both shared levels set to "1".
    void start();
    // Steps 1 to 4 of a pass; apply_shared is the SIGUSR2 request.
    void pass(bool apply_shared);
    // After the period's sleep: the current DI becomes the previous one.
    void end_pass() { prev_di_ = cur_di_; }

    int prev_di() const { return prev_di_; }
    int prev_do() const { return prev_do_; }
    int cur_di() const { return cur_di_; }
    int sms_mark() const { return sms_mark_; }

  private:
    int read_pin(std::int32_t mask);
    void set_do(bool high);
    void apply_shared_values();
    void sample_di();
    void sample_do();
    void set_led(const char *which, int reading);
    // The rule tables of rule_codes.h.
    void di_action(int code);
    void do_action(int code);
    void vpn_trigger(const char *word);
    void mobile_service(const char *word);

    bool di_turned_on() const { return cur_di_ == 0 && prev_di_ == 1; }
    bool di_turned_off() const { return cur_di_ == 1 && prev_di_ == 0; }

    // Command readers: the command runs with " 2>/dev/null" appended and its
    // first line counts.
    bool is_running(const std::string &cmd);
    bool equals_word(const std::string &cmd, const std::string &word);
    int number_of(const std::string &cmd);
    bool eth1_connected();

    PinIo &io_;
    DaemonHost &host_;
    RuleCodes codes_;
    int prev_di_ = 1;
    int prev_do_ = 1;
    int cur_di_ = 1;
    int cur_do_ = 1;
    int sms_mark_ = kSmsNone;
};

}  // namespace dio
