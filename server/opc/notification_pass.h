// The notification pass: after each poll cycle (periodic) and after a refresh from the cache, every
// group of every client is compared with what its client was last told, and the changes, refreshes
// and read completions are sent through the client's IOPCDataCallback.
#pragma once

#include "server/opc/opc_context.h"

namespace movra {

class CMovraLog;

class NotificationPass {
public:
    NotificationPass(const OpcContext& context, CMovraLog& log) : context_(context), log_(log) {}

    // On the main thread, never twice at a time. No lock of the OPC objects is held while a
    // client's callback runs, and a callback that does not return within the context's bound is
    // left to finish on its own: that client's groups wait until it has, the others go on.
    void NotifyClients(bool periodic);

private:
    void serveClient(ServerGroups& server, bool periodic);

    const OpcContext& context_;
    CMovraLog& log_;
};

}  // namespace movra
