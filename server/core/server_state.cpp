#include "server/core/server_state.h"

namespace movra {

ServerState& serverState() {
    static ServerState state;
    return state;
}

bool IsStopRequested() {
    return serverState().stopRequested.load() != 0;
}

}  // namespace movra
