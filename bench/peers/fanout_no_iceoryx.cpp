// Stand-in when the iceoryx development packages are not installed: its fan-out rows are
// left out.
#include "fanout.h"

namespace peers {

Result run_fanout_iceoryx(const Params &, int) {
    Result r;
    fail(&r, "built without iceoryx");
    return r;
}

} // namespace peers
