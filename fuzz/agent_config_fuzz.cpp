// The agent's configuration reader and the network list: the input is both
// the configuration file and the output of the network list command.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "log.h"
#include "memfile.h"
#include "push.h"
#include "recorded.h"
#include "state.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    agent_log_set_path("/dev/null");
    fuzz::record_agent_commands();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::recorder_reset();
    agent_config_reset();
    fuzz::MemFile file(data, size);
    if (file.ok() && read_agent_config_file(file.path()) != 0) std::abort();

    std::string text(reinterpret_cast<const char *>(data), size);
    AgentState &st = agent_state();
    std::memset(st.network_text, 0, sizeof st.network_text);
    // The command's output as the list reader gets it through popen.
    fuzz::recorder().answers.push_back(text);
    read_network_list();
    parse_network_lines(text);
    for (auto &slot : st.network_text)
        for (auto &field : slot)
            if (std::memchr(field, '\0', kNetTextSize) == nullptr) std::abort();  // unterminated

    std::string body;
    build_networks_body(body);
    return 0;
}
