#include "relay_server.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "rtu/streams.h"

namespace gw {

void run_relay_server(Program program, const char *pid_path, int argc, char **argv) {
    std::string path = parse_command_line(argc, argv);
    start_daemon(pid_path);

    GatewayConfig cfg = default_config(program);
    read_gateway_config(path, cfg);
    Forwarder fwd;
    fwd.cfg = &cfg;
    rebuild_mail_prefix(fwd);

    LineService service;
    service.handler = forwarder_line_handler;
    service.context = &fwd;
    service.fail_text_lf = "parase or send fail";
    service.fail_text_full = "parse or send fail";

    int listen_fd;
    while ((listen_fd = open_listen_socket(cfg)) < 0) {
        rtu::put_text(stderr, "open socket fail\n");
        sleep(1);
    }
    track_fd(kSlotTcp, listen_fd);

    int client = -1;
    LineReader reader;
    std::int64_t deadline = 0;
    bool last_accept_failed_pending = false;
    for (;;) {
        if (client < 0) {
            sockaddr_in addr{};
            client = sock_accept(listen_fd, &addr, 0, 1);
            if (client < 0) {
                // Wait up to a second for the next client; an accept that keeps
                // failing while one is pending waits the full second.
                bool pending = wait_readable(listen_fd, 1);
                if (pending && last_accept_failed_pending) sleep(1);
                last_accept_failed_pending = pending;
                continue;
            }
            last_accept_failed_pending = false;
            track_fd(kSlotClient, client);
            reader.clear();
            deadline = now_seconds() + cfg.timeout;
        }
        std::int64_t now = now_seconds();
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(client, &rd);
        timeval tv{1, 0};
        int r = select(client + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && FD_ISSET(client, &rd)) {
            serve_line_byte(client, reader, service);
            deadline = now_seconds() + cfg.timeout;
        }
        if (cfg.timeout > 0 && client >= 0 && deadline < now) close_fd(client, kSlotClient);
    }
}

}  // namespace gw
