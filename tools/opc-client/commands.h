// What opc-client's command files share: one run's context, activation, the server's result
// checks, and the group that read and watch make for their items.
#pragma once

#include "platform/co_task_mem.h"
#include "tools/opc-client/client.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace movra::client::detail {

using platform::ComPtr;
using platform::CoTaskMemPtr;
using Arguments = std::span<const std::string>;

struct Context {
    Connector& connector;
    std::ostream& out;
    std::ostream& err;
    const Session& session;
};

// Prints the failure line itself; `server` is empty unless the result is Done.
ExitCode connect(Context& context, const std::string& progId, ComPtr<IOPCServer>& server);

// After a failed call the out-parameter is not the caller's: a block left there is dropped
// unfreed rather than freed twice.
template <typename T>
void forgetAfterFailure(CoTaskMemPtr<T>& block) {
    (void)block.release();
}

// Asks `from` for another interface of the server; prints what is missing when it cannot.
template <typename From, typename To>
ExitCode queryServer(Context& context, const ComPtr<From>& from, REFIID iid, const char* name,
                     ComPtr<To>& to) {
    HRESULT result = from.queryInterface(iid, to);
    if (SUCCEEDED(result) && to) {
        return ExitCode::Done;
    }
    to.reset();
    context.err << kVersionIndependentProgId << " does not offer " << name << ": "
                << resultText(FAILED(result) ? result : E_NOINTERFACE) << "\n";
    return ExitCode::CallFailed;
}

// The worse of two outcomes: a failed call wins over success.
inline ExitCode worse(ExitCode a, ExitCode b) {
    return a != ExitCode::Done ? a : b;
}

// An active group of the client's items, removed again by close(). The client handle of an item
// is its index among the items given.
class ClientGroup {
public:
    ClientGroup(Context& context, ComPtr<IOPCServer> server) : context_(context), server_(server) {}
    ~ClientGroup() { (void)close(); }
    ClientGroup(const ClientGroup&) = delete;
    ClientGroup& operator=(const ClientGroup&) = delete;

    // AddGroup and AddItems. An item the server refuses is named on the error output and left
    // out; the result is CallFailed then, and whenever the group could not be made (added() is
    // empty).
    ExitCode open(const std::vector<std::string>& itemIds, FLOAT percentDeadband);
    // RemoveItems, the release of the group's interfaces and RemoveGroup; failures are printed.
    ExitCode close();

    const ComPtr<IOPCItemMgt>& items() const { return items_; }
    // Indices (client handles) of the items the group holds, and their server handles.
    const std::vector<OPCHANDLE>& added() const { return added_; }
    std::vector<OPCHANDLE>& serverHandles() { return serverHandles_; }

private:
    Context& context_;
    ComPtr<IOPCServer> server_;
    ComPtr<IOPCItemMgt> items_;
    OPCHANDLE groupHandle_ = 0;
    bool groupAdded_ = false;
    std::vector<OPCHANDLE> added_;
    std::vector<OPCHANDLE> serverHandles_;
};

// The width of the widest item ID, for aligned lines.
size_t idWidth(const std::vector<std::string>& itemIds);

ExitCode runBrowse(Context& context, Arguments arguments);
ExitCode runProperties(Context& context, Arguments arguments);
ExitCode runRead(Context& context, Arguments arguments);
ExitCode runWatch(Context& context, Arguments arguments);

}  // namespace movra::client::detail
