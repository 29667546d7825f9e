#include "tools/opc-client/client.h"

#include "platform/co_task_mem.h"
#include "platform/wide.h"
#include "tools/opc-client/commands.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace movra::client {

namespace detail {

ExitCode connect(Context& context, const std::string& progId, ComPtr<IOPCServer>& server) {
    Activation activation = context.connector.connect(progId, server);
    if (SUCCEEDED(activation.result) && server) {
        return ExitCode::Done;
    }
    server.reset();
    if (SUCCEEDED(activation.result)) {
        context.err << progId << " cannot be activated: success without an interface\n";
        return ExitCode::ActivationFailed;
    }
    ActivationReport report = reportActivationFailure(progId, activation.stage, activation.result);
    context.err << report.line << "\n";
    return report.exitCode;
}

}  // namespace detail

namespace {

using namespace detail;

struct Command {
    std::string_view name;
    std::string_view synopsis;
    std::string_view summary;
    size_t minArguments;
    size_t maxArguments;
    ExitCode (*run)(Context&, Arguments);
};

constexpr size_t kAnyNumber = SIZE_MAX;

ExitCode runStatus(Context& context, Arguments arguments) {
    const std::string progId = arguments.empty() ? kVersionIndependentProgId : arguments[0];
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, progId, server); failure != ExitCode::Done) {
        return failure;
    }
    CoTaskMemPtr<OPCSERVERSTATUS> status;
    HRESULT result = server->GetStatus(status.put());
    if (FAILED(result)) {
        forgetAfterFailure(status);
        context.err << progId << ": GetStatus failed: " << resultText(result) << "\n";
        return ExitCode::CallFailed;
    }
    if (!status) {
        context.err << progId << ": GetStatus succeeded without a status\n";
        return ExitCode::CallFailed;
    }
    // The vendor text is a block of its own, also the caller's to free.
    CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    for (const std::string& line : statusLines(progId, *status.get())) {
        context.out << line << "\n";
    }
    if (!vendor) {
        context.err << progId << ": GetStatus gave no vendor text\n";
        return ExitCode::CallFailed;
    }
    return ExitCode::Done;
}

ExitCode runErrors(Context& context, Arguments arguments) {
    std::vector<HRESULT> codes;
    for (const std::string& argument : arguments) {
        std::optional<HRESULT> code = parseResultCode(argument);
        if (!code) {
            context.err << "opc-client: " << argument
                        << " is not a result code (hex like 0xC0040007, or decimal)\n";
            return ExitCode::Usage;
        }
        codes.push_back(*code);
    }
    const std::string progId = kVersionIndependentProgId;
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, progId, server); failure != ExitCode::Done) {
        return failure;
    }
    ExitCode outcome = ExitCode::Done;
    for (HRESULT code : codes) {
        CoTaskMemPtr<WCHAR> text;
        HRESULT result = server->GetErrorString(code, kErrorTextLocale, text.put());
        if (FAILED(result)) {
            forgetAfterFailure(text);
            context.err << hexCode(code) << ": GetErrorString failed: " << resultText(result)
                        << "\n";
            outcome = ExitCode::CallFailed;
        } else if (!text) {
            context.err << hexCode(code) << ": GetErrorString succeeded without a text\n";
            outcome = ExitCode::CallFailed;
        } else {
            context.out << hexCode(code) << " "
                        << platform::wideToUtf8(platform::WStringView(text.get())) << "\n";
        }
    }
    return outcome;
}

constexpr Command kCommands[] = {
    {"status", "[PROGID]",
     "the server's state, vendor, version, times, groups and bandwidth (PROGID defaults to "
     "MOVRA.OPC-server)",
     0, 1, runStatus},
    {"errors", "CODE...",
     "the server's text for each result code, hex (0xC0040007) or decimal, one line each", 1,
     kAnyNumber, runErrors},
    {"browse", "[--flat]",
     "the address space as a tree (devices, sections, item IDs), or every item ID with --flat", 0,
     1, runBrowse},
    {"read", "ITEM... [--device]",
     "value, quality and timestamp (UTC) of each item, from the server's cache or with --device "
     "from the devices",
     1, kAnyNumber, runRead},
    {"props", "ITEM", "the six properties of the item: ID, description, value", 1, 1,
     runProperties},
    {"watch", "ITEM... [--deadband P] [--refresh] [--seconds N]",
     "a line per change of an item as the server reports it (receive time, item, value, "
     "quality,\n      timestamp) until Ctrl-C or N seconds; --refresh shows every item once at "
     "the start;\n      P: percent deadband",
     1, kAnyNumber, runWatch},
};

void printUsage(std::ostream& stream) {
    stream << "Usage: opc-client COMMAND [ARGUMENTS]\n"
              "Checks an OPC Data Access server through COM, out of process.\n\n"
              "Commands:\n";
    for (const Command& command : kCommands) {
        stream << "  " << command.name << " " << command.synopsis << "\n      " << command.summary
               << "\n";
    }
    stream << "\nExit codes: 0 done; 1 a call failed; 2 wrong arguments; 3 ProgID not registered;\n"
              "4 server not startable; 5 no proxy/stub (MovraOPCProxy.dll); 6 refused (ten "
              "clients\nalready); 7 another activation failure.\n";
}

const Command* findCommand(std::string_view name) {
    for (const Command& command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

int runClient(std::span<const std::string> arguments, Connector& connector, std::ostream& out,
              std::ostream& err, const Session& session) {
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" ||
        arguments[0] == "/?") {
        printUsage(out);
        return static_cast<int>(ExitCode::Done);
    }
    const Command* command = findCommand(arguments[0]);
    if (command == nullptr) {
        err << "opc-client: unknown command " << arguments[0] << "\n";
        printUsage(err);
        return static_cast<int>(ExitCode::Usage);
    }
    Arguments rest = arguments.subspan(1);
    if (rest.size() < command->minArguments || rest.size() > command->maxArguments) {
        err << "opc-client: " << command->name << " takes " << command->synopsis << "\n";
        printUsage(err);
        return static_cast<int>(ExitCode::Usage);
    }
    Context context{connector, out, err, session};
    return static_cast<int>(command->run(context, rest));
}

}  // namespace movra::client
