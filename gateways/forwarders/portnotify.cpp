// portnotify: connects to address:port and forwards the SMS and mail lines
// it receives there. The configuration is read afresh before every connection.
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "message.h"
#include "rtu/streams.h"

int main(int argc, char **argv) {
    using namespace gw;
    std::string path = parse_command_line(argc, argv);
    start_daemon("/var/run/portnotify.pid");

    GatewayConfig cfg = default_config(Program::portnotify);
    Forwarder fwd;
    fwd.cfg = &cfg;
    LineService service;
    service.handler = forwarder_line_handler;
    service.context = &fwd;

    LineReader reader;
    for (;;) {
        read_gateway_config(path, cfg);
        rebuild_mail_prefix(fwd);

        int fd = open_client_socket(cfg);
        if (fd < 0) {
            rtu::put_text(stderr, "open socket fail\n");
            sleep(1);
            continue;
        }
        track_fd(kSlotClient, fd);
        reader.clear();
        while (fd >= 0) {
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(fd, &rd);
            timeval tv{3, 0};
            int r = select(fd + 1, &rd, nullptr, nullptr, &tv);
            if (r < 0) {
                if (errno == EINTR) continue;
                std::puts("error");
                continue;
            }
            if (r > 0 && FD_ISSET(fd, &rd)) serve_line_byte(fd, reader, service);
        }
    }
}
