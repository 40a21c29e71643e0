// The agent configuration file and the portal's network list.
#pragma once

#include <string>

inline constexpr const char *kAgentConfigPath = "/etc/telvsdk/telvsdk.cnf";

// Resets every configuration value to absent/0.
void agent_config_reset();

// Reads /etc/telvsdk/telvsdk.cnf into agent_state().config: 0 when read,
// 1 when the file cannot be opened.
int read_agent_config();
int read_agent_config_file(const std::string &path);

// Fills networks 1..9 from the uci list novra.config.network: 0, or 1 when
// the command cannot be started.
int read_network_list();

// The line handling of read_network_list on the command's output.
void parse_network_lines(const std::string &output);
