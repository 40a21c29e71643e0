// The message line handler of the forwarders. The first byte chooses the
// program and how the recorded commands end; configuration lines follow up
// to the first empty line (they build the mail command prefix), then every
// further line is a message line from a client.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "message.h"
#include "recorded.h"
#include "shell_words.h"

namespace {

int g_status = 0;
bool g_leaves_result = false;

// A folder of this run for the SMS result file, which the forwarder removes
// before each send (never a file of the machine's, such as /dev/null).
struct Scratch {
    std::string dir;
    Scratch() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "fuzz-message-XXXXXX").string();
        if (mkdtemp(tmpl.data())) dir = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    std::string result() const { return dir + "/atsend_result_code"; }
};

const Scratch &scratch() {
    static Scratch s;
    return s;
}

// The SMS script leaves its result file when the input says so.
int record_run(const std::string &cmd) {
    fuzz::recorder().commands.push_back(cmd);
    if (g_leaves_result && cmd.rfind("send_sms.sh ", 0) == 0 && !scratch().dir.empty())
        if (FILE *file = std::fopen(scratch().result().c_str(), "w")) std::fclose(file);
    return g_status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz::recorder_reset();
    static const gw::Program programs[] = {gw::Program::portnotify, gw::Program::postrelay,
                                           gw::Program::textrelay};
    gw::GatewayConfig cfg = gw::default_config(programs[data[0] % 3]);
    g_status = (data[0] & 0x10) ? 256 : 0;
    gw::Forwarder f;
    f.cfg = &cfg;
    f.run = record_run;
    // The SMS result is "read" through the recorded popen.
    g_leaves_result = (data[0] & 0x20) == 0;
    f.result_path = scratch().result();
    f.result_cmd = "cat /tmp/atsend_result_code";

    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::size_t pos = 0;
    bool in_config = true;
    int lines = 0;
    while (pos < text.size() && lines < 200) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lines;
        if (in_config) {
            if (line.empty()) {
                in_config = false;
                gw::rebuild_mail_prefix(f);
                continue;
            }
            gw::apply_config_line(line.substr(0, gw::kConfigLineMax), cfg);
            continue;
        }
        // The line reader hands over at most 255 bytes without the line end.
        if (line.size() > gw::LineReader::kMax) line.resize(gw::LineReader::kMax);
        fuzz::recorder().answers.push_back((data[0] & 0x40) ? "1\n" : "0\n");
        std::string reply;
        fuzz::recorder().commands.clear();
        gw::forwarder_line_handler(&f, line, reply);
        if (f.mail_prefix.size() > 1023) std::abort();
        // Whatever the settings and the line hold, the shell only splits words.
        std::vector<std::string> words;
        for (const std::string &cmd : fuzz::recorder().commands)
            if (!fuzz::plain_shell_words(cmd, words)) std::abort();
    }
    return 0;
}
