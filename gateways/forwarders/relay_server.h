// The listening loop of postrelay and textrelay: one client at a time,
// message lines answered in order, silent clients dropped after `timeout`.
#pragma once

#include "message.h"

namespace gw {

[[noreturn]] void run_relay_server(Program program, const char *pid_path, int argc, char **argv);

}  // namespace gw
