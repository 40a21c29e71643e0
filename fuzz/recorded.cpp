#include "recorded.h"

namespace fuzz {

Recorder &recorder() {
    static Recorder r;
    return r;
}

void recorder_reset() {
    recorder() = Recorder{};
}

}  // namespace fuzz
