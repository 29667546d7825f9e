#include "server/host/server_state.h"

namespace movra {

ServerState& State() {
    static ServerState state;
    return state;
}

bool IsStopRequested() {
    return State().stopRequested.load() != 0;
}

}  // namespace movra
