// browse and props: the server's address space and the properties of one item.
#include "platform/unique_variant.h"
#include "platform/wide.h"
#include "tools/opc-client/commands.h"

#include <algorithm>

namespace movra::client::detail {
namespace {

// Deeper than any tree a server builds from item IDs; stops a server that lists a branch inside
// itself.
constexpr int kMaxBrowseDepth = 16;

constexpr WCHAR kNoFilter[] = {0};

class Browser {
public:
    Browser(Context& context, ComPtr<IOPCBrowseServerAddressSpace> browse)
        : context_(context), browse_(std::move(browse)) {}

    // Every name of the filter type at the position; false (printed) when the server fails.
    bool names(OPCBROWSETYPE type, std::vector<std::string>& names) {
        names.clear();
        ComPtr<IEnumString> enumerator;
        HRESULT result = browse_->BrowseOPCItemIDs(type, kNoFilter, VT_EMPTY, 0, enumerator.put());
        if (FAILED(result)) {
            enumerator.detach();
            return failed("BrowseOPCItemIDs", result);
        }
        if (!enumerator) {
            return true;
        }
        for (;;) {
            LPOLESTR chunk[32] = {};
            ULONG fetched = 0;
            result = enumerator->Next(32, chunk, &fetched);
            if (FAILED(result)) {
                return failed("IEnumString::Next", result);
            }
            fetched = std::min<ULONG>(fetched, 32);
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemPtr<OLECHAR> name(chunk[i]);
                if (name) {
                    names.push_back(platform::wideToUtf8(platform::WStringView(name.get())));
                }
            }
            if (result != S_OK || fetched == 0) {
                return true;
            }
        }
    }

    // The tree below the position: leaves as full item IDs first, then each branch and what lies
    // below it, indented by level.
    bool tree(int depth) {
        if (depth > kMaxBrowseDepth) {
            context_.err << kVersionIndependentProgId << ": the address space is deeper than "
                         << kMaxBrowseDepth << " levels\n";
            return false;
        }
        const std::string indent(2 * static_cast<size_t>(depth), ' ');
        std::vector<std::string> leaves;
        if (!names(OPC_LEAF, leaves)) {
            return false;
        }
        for (const std::string& leaf : leaves) {
            std::string id;
            if (!itemId(leaf, id)) {
                return false;
            }
            context_.out << indent << id << "\n";
        }
        std::vector<std::string> branches;
        if (!names(OPC_BRANCH, branches)) {
            return false;
        }
        for (const std::string& branch : branches) {
            context_.out << indent << branch << "\n";
            if (!move(OPC_BROWSE_DOWN, branch) || !tree(depth + 1) || !move(OPC_BROWSE_UP, "")) {
                return false;
            }
        }
        return true;
    }

    bool move(OPCBROWSEDIRECTION direction, const std::string& text) {
        HRESULT result =
            browse_->ChangeBrowsePosition(direction, platform::utf8ToWide(text).c_str());
        return SUCCEEDED(result) || failed("ChangeBrowsePosition " + text, result);
    }

private:
    bool itemId(const std::string& leaf, std::string& id) {
        platform::WString name = platform::utf8ToWide(leaf);
        CoTaskMemPtr<WCHAR> full;
        HRESULT result = browse_->GetItemID(name.data(), full.put());
        if (FAILED(result)) {
            forgetAfterFailure(full);
            return failed("GetItemID " + leaf, result);
        }
        if (!full) {
            return failed("GetItemID " + leaf, E_POINTER);
        }
        id = platform::wideToUtf8(platform::WStringView(full.get()));
        return true;
    }

    bool failed(const std::string& call, HRESULT result) {
        context_.err << kVersionIndependentProgId << ": " << call
                     << " failed: " << resultText(result) << "\n";
        return false;
    }

    Context& context_;
    ComPtr<IOPCBrowseServerAddressSpace> browse_;
};

// Property 1, 3 and 5 read better with their meaning beside the number.
std::string propertyValueText(DWORD id, const VARIANT& value) {
    const std::string plain = variantText(value);
    if (id == 1 && value.vt == VT_I2) {
        return plain + " (" + varTypeName(static_cast<VARTYPE>(value.iVal)) + ")";
    }
    if (id == 3 && value.vt == VT_I2) {
        return plain + " (" + qualityText(static_cast<WORD>(value.iVal)) + ")";
    }
    if (id == 5 && value.vt == VT_I4) {
        const bool readable = (value.lVal & OPC_READABLE) != 0;
        const bool writeable = (value.lVal & OPC_WRITEABLE) != 0;
        return plain + (readable && writeable ? " (readable, writeable)"
                        : readable            ? " (readable)"
                        : writeable           ? " (writeable)"
                                              : " (none)");
    }
    return plain;
}

}  // namespace

ExitCode runBrowse(Context& context, Arguments arguments) {
    const bool flat = !arguments.empty();
    if (flat && arguments[0] != "--flat") {
        context.err << "opc-client: browse takes [--flat], not " << arguments[0] << "\n";
        return ExitCode::Usage;
    }
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, kVersionIndependentProgId, server);
        failure != ExitCode::Done) {
        return failure;
    }
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (ExitCode failure = queryServer(context, server, IID_IOPCBrowseServerAddressSpace,
                                       "IOPCBrowseServerAddressSpace", browse);
        failure != ExitCode::Done) {
        return failure;
    }
    Browser browser(context, browse);
    if (flat) {
        std::vector<std::string> ids;
        if (!browser.names(OPC_FLAT, ids)) {
            return ExitCode::CallFailed;
        }
        for (const std::string& id : ids) {
            context.out << id << "\n";
        }
        return ExitCode::Done;
    }
    // The position is the server object's own; a fresh one is at the root already.
    if (!browser.move(OPC_BROWSE_TO, "") || !browser.tree(0)) {
        return ExitCode::CallFailed;
    }
    return ExitCode::Done;
}

ExitCode runProperties(Context& context, Arguments arguments) {
    const std::string& item = arguments[0];
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, kVersionIndependentProgId, server);
        failure != ExitCode::Done) {
        return failure;
    }
    ComPtr<IOPCItemProperties> properties;
    if (ExitCode failure =
            queryServer(context, server, IID_IOPCItemProperties, "IOPCItemProperties", properties);
        failure != ExitCode::Done) {
        return failure;
    }
    platform::WString id = platform::utf8ToWide(item);

    DWORD count = 0;
    CoTaskMemPtr<DWORD> ids;
    CoTaskMemPtr<LPWSTR> descriptionArray;
    CoTaskMemPtr<VARTYPE> types;
    HRESULT result = properties->QueryAvailableProperties(id.data(), &count, ids.put(),
                                                          descriptionArray.put(), types.put());
    if (FAILED(result)) {
        forgetAfterFailure(ids);
        forgetAfterFailure(descriptionArray);
        forgetAfterFailure(types);
        context.err << item << ": QueryAvailableProperties failed: " << resultText(result) << "\n";
        return ExitCode::CallFailed;
    }
    // Each text is a block of its own.
    std::vector<CoTaskMemPtr<WCHAR>> descriptions;
    for (DWORD i = 0; descriptionArray && i < count; ++i) {
        descriptions.emplace_back(descriptionArray[i]);
    }
    if (count > 0 && (!ids || !descriptionArray)) {
        context.err << item << ": QueryAvailableProperties succeeded without the properties\n";
        return ExitCode::CallFailed;
    }
    auto describe = [&](DWORD property) -> std::string {
        for (DWORD i = 0; i < count; ++i) {
            if (ids[i] == property && descriptions[i]) {
                return platform::wideToUtf8(platform::WStringView(descriptions[i].get()));
            }
        }
        return "(no description)";
    };

    DWORD wanted[] = {1, 2, 3, 4, 5, 6};
    constexpr DWORD kWanted = sizeof wanted / sizeof wanted[0];
    CoTaskMemPtr<VARIANT> values;
    CoTaskMemPtr<HRESULT> errors;
    result = properties->GetItemProperties(id.data(), kWanted, wanted, values.put(), errors.put());
    if (FAILED(result)) {
        forgetAfterFailure(values);
        forgetAfterFailure(errors);
        context.err << item << ": GetItemProperties failed: " << resultText(result) << "\n";
        return ExitCode::CallFailed;
    }
    // Each VARIANT may hold a string of its own.
    std::vector<platform::UniqueVariant> owned(values ? kWanted : 0);
    for (size_t i = 0; i < owned.size(); ++i) {
        *owned[i].get() = values[i];
    }
    if (!values || !errors) {
        context.err << item << ": GetItemProperties succeeded without values\n";
        return ExitCode::CallFailed;
    }
    size_t width = 0;
    for (DWORD property : wanted) {
        width = std::max(width, describe(property).size());
    }
    ExitCode outcome = ExitCode::Done;
    for (DWORD i = 0; i < kWanted; ++i) {
        std::string description = describe(wanted[i]);
        description.resize(width, ' ');
        if (FAILED(errors[i])) {
            context.err << item << ": property " << wanted[i]
                        << " failed: " << resultText(errors[i]) << "\n";
            outcome = ExitCode::CallFailed;
            continue;
        }
        context.out << wanted[i] << "  " << description << "  "
                    << propertyValueText(wanted[i], *owned[i].get()) << "\n";
    }
    return outcome;
}

}  // namespace movra::client::detail
