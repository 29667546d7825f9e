// opc-client's commands against a fake server: what is printed, the exit codes, and that every
// block the server hands out is freed and every reference released.
#include "tools/opc-client/client.h"

#include "common/com/com_object.h"
#include "platform/wide.h"
#include "tests/support/task_mem_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <vector>

namespace movra::client {
namespace {

using platform::ComPtr;

WCHAR* taskMemText(const std::string& utf8) {
    platform::WString wide = platform::utf8ToWide(utf8);
    auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc((wide.size() + 1) * sizeof(WCHAR)));
    std::memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return copy;
}

FILETIME fileTime(uint64_t ticks) {
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// What the fake server answers.
struct Script {
    HRESULT statusResult = S_OK;
    bool statusMissing = false;
    bool vendorMissing = false;
    DWORD bandwidth = 0xFFFFFFFF;
    // Codes without an entry get the server's text for unknown codes.
    std::map<uint32_t, HRESULT> errorResults;
    std::map<uint32_t, bool> errorTextMissing;
    std::vector<LCID> localesAsked;
};

int liveServers = 0;

class FakeServer final : public com::ComObject<FakeServer, IOPCServer> {
public:
    explicit FakeServer(Script& script) : script(script) { ++liveServers; }

    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept override {
        *ppServerStatus = nullptr;
        if (FAILED(script.statusResult) || script.statusMissing) {
            return script.statusResult;
        }
        auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        *status = {};
        status->ftStartTime = fileTime(134413849871239990);       // 2026-12-10 14:03:07.123
        status->ftCurrentTime = fileTime(134413850099990000);     // 2026-12-10 14:03:29.999
        status->ftLastUpdateTime = fileTime(134413849880000000);  // 2026-12-10 14:03:08.000
        status->dwServerState = OPC_STATUS_RUNNING;
        status->dwGroupCount = 2;
        status->dwBandWidth = script.bandwidth;
        status->wMajorVersion = 1;
        status->wMinorVersion = 1;
        status->wBuildNumber = 1;
        status->szVendorInfo = script.vendorMissing
                                   ? nullptr
                                   : taskMemText(
                                         "Company: MOVRA. Devices: KMT, KMT-V, KMT-G, "
                                         "KMT-U.");
        *ppServerStatus = status;
        return script.statusResult;
    }

    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                             LPWSTR* ppString) noexcept override {
        *ppString = nullptr;
        script.localesAsked.push_back(dwLocale);
        const uint32_t code = static_cast<uint32_t>(dwError);
        HRESULT result = script.errorResults.count(code) ? script.errorResults[code] : S_OK;
        if (FAILED(result) || script.errorTextMissing[code]) {
            return result;
        }
        *ppString =
            taskMemText(code == 0xC0040007 ? "The item ID is not defined." : "Unknown error code.");
        return result;
    }

    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD,
                                       OPCHANDLE*, DWORD*, REFIID, LPUNKNOWN*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) noexcept override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID,
                                                    LPUNKNOWN*) noexcept override {
        return E_NOTIMPL;
    }

private:
    friend class com::ComObject<FakeServer, IOPCServer>;
    ~FakeServer() override { --liveServers; }

    Script& script;
};

class FakeConnector final : public Connector {
public:
    explicit FakeConnector(Script& script) : script(script) {}

    Activation connect(const std::string& progId, ComPtr<IOPCServer>& server) override {
        progIds.push_back(progId);
        if (FAILED(failure.result)) {
            return failure;
        }
        HRESULT result = com::createInstance<FakeServer>(IID_IOPCServer, server.putVoid(), script);
        return {ActivationStage::Create, result};
    }

    Activation failure{ActivationStage::Create, S_OK};
    std::vector<std::string> progIds;

private:
    Script& script;
};

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { blocksBefore = test::LiveTaskMemBlocks(); }

    // Every run must give back each block and reference the fake handed out.
    void TearDown() override {
        EXPECT_EQ(liveServers, 0) << "a server reference was not released";
        EXPECT_EQ(test::LiveTaskMemBlocks(), blocksBefore) << "a task-allocator block leaked";
    }

    Outcome run(std::vector<std::string> arguments) {
        std::ostringstream out;
        std::ostringstream err;
        int code = runClient(arguments, connector, out, err);
        return {code, out.str(), err.str()};
    }

    Script script;
    FakeConnector connector{script};
    std::optional<long> blocksBefore;
};

TEST_F(ClientTest, StatusPrintsEveryFieldOfTheServer) {
    Outcome status = run({"status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out,
              "MOVRA.OPC-server\n"
              "  state:        running\n"
              "  vendor:       Company: MOVRA. Devices: KMT, KMT-V, KMT-G, KMT-U.\n"
              "  version:      1.1.1\n"
              "  start time:   2026-12-10 14:03:07.123 UTC\n"
              "  current time: 2026-12-10 14:03:29.999 UTC\n"
              "  last update:  2026-12-10 14:03:08.000 UTC\n"
              "  groups:       2\n"
              "  bandwidth:    unknown (0xFFFFFFFF)\n");
    EXPECT_EQ(status.err, "");
    script.bandwidth = 2500;
    EXPECT_NE(run({"status"}).out.find("  bandwidth:    2500\n"), std::string::npos);
}

TEST_F(ClientTest, StatusActivatesTheProgIdGivenOrOurs) {
    run({"status"});
    run({"status", "Other.Server.2"});
    EXPECT_EQ(connector.progIds, (std::vector<std::string>{"MOVRA.OPC-server", "Other.Server.2"}));
}

TEST_F(ClientTest, ActivationFailuresPrintOneLineWithAnExitCodeOfTheirKind) {
    struct Case {
        ActivationStage stage;
        uint32_t result;
        int exitCode;
        const char* line;
    } cases[] = {
        {ActivationStage::ProgId, 0x800401F3, 3,
         "NO.SUCH-server is not registered on this computer (run MovraOPCServer.exe /Register)"},
        {ActivationStage::Create, 0x80040154, 4,
         "NO.SUCH-server cannot be started: its class is not registered as a local server "
         "(0x80040154 REGDB_E_CLASSNOTREG); run MovraOPCServer.exe /Register"},
        {ActivationStage::Create, 0x80080005, 4,
         "NO.SUCH-server cannot be started: the server program did not start (0x80080005 "
         "CO_E_SERVER_EXEC_FAILURE); check MovraOPCServer.exe and MovraOPCServer.ini in the "
         "folder it was registered from"},
        {ActivationStage::Create, 0x80040155, 5,
         "NO.SUCH-server cannot be reached through IOPCServer (0x80040155 REGDB_E_IIDNOTREG: No "
         "proxy/stub is registered for the interface.); MovraOPCProxy.dll may not be registered "
         "(regsvr32 MovraOPCProxy.dll)"},
        {ActivationStage::Create, 0x80004002, 5,
         "NO.SUCH-server cannot be reached through IOPCServer (0x80004002 E_NOINTERFACE: No such "
         "interface is supported.); MovraOPCProxy.dll may not be registered (regsvr32 "
         "MovraOPCProxy.dll)"},
        {ActivationStage::Create, 0x80004005, 6,
         "NO.SUCH-server refused the connection (0x80004005 E_FAIL): the server serves at most "
         "ten clients"},
        {ActivationStage::Create, 0x800706BA, 7,
         "NO.SUCH-server cannot be activated: 0x800706BA RPC_S_SERVER_UNAVAILABLE: The server "
         "process is not available."},
        {ActivationStage::Create, 0x8007007E, 7,
         "NO.SUCH-server cannot be activated: 0x8007007E Windows error 126"},
    };
    for (const Case& c : cases) {
        connector.failure = {c.stage, static_cast<HRESULT>(c.result)};
        Outcome status = run({"status", "NO.SUCH-server"});
        EXPECT_EQ(status.exitCode, c.exitCode) << c.line;
        EXPECT_EQ(status.err, std::string(c.line) + "\n");
        EXPECT_EQ(status.out, "");
    }
    // The errors command activates the same way.
    connector.failure = {ActivationStage::ProgId, CO_E_CLASSSTRING};
    EXPECT_EQ(run({"errors", "1"}).exitCode, 3);
}

TEST_F(ClientTest, StatusWithoutAnAnswerIsAFailedCall) {
    script.statusResult = E_FAIL;
    Outcome failed = run({"status"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err,
              "MOVRA.OPC-server: GetStatus failed: 0x80004005 E_FAIL: The operation "
              "failed.\n");
    EXPECT_EQ(failed.out, "");

    script.statusResult = S_OK;
    script.statusMissing = true;
    Outcome empty = run({"status"});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err, "MOVRA.OPC-server: GetStatus succeeded without a status\n");

    // What a proxy that loses the embedded string delivers: the rest is still shown and freed.
    script.statusMissing = false;
    script.vendorMissing = true;
    Outcome noVendor = run({"status"});
    EXPECT_EQ(noVendor.exitCode, 1);
    EXPECT_NE(noVendor.out.find("  vendor:       (none)\n  version:      1.1.1\n"),
              std::string::npos);
    EXPECT_EQ(noVendor.err, "MOVRA.OPC-server: GetStatus gave no vendor text\n");
}

TEST_F(ClientTest, ErrorsPrintsALinePerCodeInTheSystemLocale) {
    Outcome errors = run({"errors", "0xC0040007", "262157", "-2147467259"});
    EXPECT_EQ(errors.exitCode, 0);
    EXPECT_EQ(errors.out,
              "0xC0040007 The item ID is not defined.\n"
              "0x0004000D Unknown error code.\n"
              "0x80004005 Unknown error code.\n");
    EXPECT_EQ(errors.err, "");
    EXPECT_EQ(script.localesAsked, (std::vector<LCID>{0x0800, 0x0800, 0x0800}));
    EXPECT_EQ(connector.progIds, std::vector<std::string>{"MOVRA.OPC-server"});
}

TEST_F(ClientTest, ErrorsReportsEachCodeThatFailsAndGoesOn) {
    script.errorResults[0x80070057] = E_INVALIDARG;
    script.errorTextMissing[0x00000001] = true;
    Outcome errors = run({"errors", "0x80070057", "0xC0040007", "1"});
    EXPECT_EQ(errors.exitCode, 1);
    EXPECT_EQ(errors.out, "0xC0040007 The item ID is not defined.\n");
    EXPECT_EQ(errors.err,
              "0x80070057: GetErrorString failed: 0x80070057 E_INVALIDARG: One or more arguments "
              "are invalid.\n"
              "0x00000001: GetErrorString succeeded without a text\n");
}

TEST_F(ClientTest, ErrorsRefusesAnUnreadableCodeBeforeConnecting) {
    Outcome errors = run({"errors", "0xC0040007", "0xC004000G"});
    EXPECT_EQ(errors.exitCode, 2);
    EXPECT_EQ(errors.err,
              "opc-client: 0xC004000G is not a result code (hex like 0xC0040007, or decimal)\n");
    EXPECT_TRUE(connector.progIds.empty());
}

TEST_F(ClientTest, UsageGoesToStdoutWhenAskedAndToStderrAfterAMistake) {
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        const char* firstErrLine;  // empty: the usage is on stdout, stderr stays empty
    } cases[] = {
        {{}, 0, ""},
        {{"--help"}, 0, ""},
        {{"/?"}, 0, ""},
        {{"browse-all"}, 2, "opc-client: unknown command browse-all\n"},
        {{"status", "A", "B"}, 2, "opc-client: status takes [PROGID]\n"},
        {{"errors"}, 2, "opc-client: errors takes CODE...\n"},
    };
    for (const Case& c : cases) {
        Outcome usage = run(c.arguments);
        EXPECT_EQ(usage.exitCode, c.exitCode) << c.firstErrLine;
        const std::string& shown = c.exitCode == 0 ? usage.out : usage.err;
        EXPECT_EQ(shown.rfind(c.firstErrLine, 0), 0u) << shown;
        for (const char* part : {"Usage: opc-client COMMAND", "  status [PROGID]\n",
                                 "  errors CODE...\n", "3 ProgID not registered"}) {
            EXPECT_NE(shown.find(part), std::string::npos) << part;
        }
        EXPECT_EQ((c.exitCode == 0 ? usage.err : usage.out), "");
    }
    EXPECT_TRUE(connector.progIds.empty());
}

}  // namespace
}  // namespace movra::client
