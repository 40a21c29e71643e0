// The daemon's pins on the bridge, kept across a re-enumeration.
//
// When the bridge leaves the USB bus (a reset, a brown-out) the driver hangs
// the open descriptor up: every request on it fails from then on, and the
// port's node is gone until the bridge is enumerated again. While a
// descriptor of the old port stays open its number stays taken, and the
// bridge comes back under another name. So the port is let go as soon as
// the hangup shows (in the wait between passes) or a request of a pass
// fails, and opened again at the start of each later pass, one attempt a
// pass, until it answers. Requests while it is closed fail like any failed
// register access: the reading is -1. The outage is logged once when it
// starts and once when the port answers again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dido_daemon.h"
#include "xr_bridge.h"

namespace dio {

class BridgePins : public PinIo {
  public:
    BridgePins(std::string path, Bridge bridge, DaemonHost &host);

    int read_state(std::int32_t &value) override;
    int drive(std::int32_t mask, bool high) override;

    // Start of a pass: a port let go earlier is opened again.
    void begin_pass();
    // The wait between passes: the whole period, or less when a signal
    // comes (the next pass then starts at once).
    void wait(unsigned seconds);

  private:
    // Notes a request's result: a failure, or the first answer after an outage.
    int result(int r);
    void let_go(const char *why);
    void log(const std::string &text);

    std::string path_;
    std::optional<Bridge> bridge_;
    DaemonHost &host_;
    bool failed_ = false;  // a request of this pass failed
    bool lost_ = false;    // an outage is going on (already logged)
    unsigned opens_ = 0;   // opens tried in this outage
};

}  // namespace dio
