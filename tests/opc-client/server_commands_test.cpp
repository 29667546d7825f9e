// opc-client's browse, props, read and watch against the real server objects over a catalogue of
// the test's own: the exact lines, the exit codes, and that the client gives back every block,
// every reference and its group.
#include "tools/opc-client/client.h"

#include "server/core/log.h"
#include "server/opc/notification_pass.h"
#include "server/opc/opc_group.h"
#include "tests/opc/opc_fixture.h"
#include "tests/support/test_support.h"

#include <cstring>
#include <sstream>
#include <thread>

namespace movra::client {
namespace {

using platform::ComPtr;
using test::W;

constexpr uint8_t kUnknownModel = 0, kKmtG = 3;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

class ServerCommands : public test::OpcObjectsTest, public Connector {
protected:
    void SetUp() override {
        useCatalogue(catalogue, {kUnknownModel, kUnknownModel});
        ASSERT_EQ(log.Open(folder.file("MovraOPCServer.exe").c_str()), 1);
    }

    Activation connect(const std::string& progId, ComPtr<IOPCServer>& server) override {
        ++connections;
        if (FAILED(failure.result)) {
            return failure;
        }
        EXPECT_EQ(progId, "MOVRA.OPC-server");
        server = newServer();
        groupLists.push_back(state.clients.at(0));
        return {ActivationStage::Create, S_OK};
    }

    // After each run the server object is gone (no interface of it kept), and so is its group
    // list, which every group the client made holds until its last reference goes.
    Outcome run(std::vector<std::string> arguments) {
        std::ostringstream out;
        std::ostringstream err;
        int code = runClient(arguments, *this, out, err, session);
        EXPECT_EQ(state.clients.count(), 0) << "a reference to the server was kept";
        for (const std::weak_ptr<ServerGroups>& groups : groupLists) {
            EXPECT_TRUE(groups.expired()) << "a reference to a group was kept";
        }
        return {code, out.str(), err.str()};
    }

    void publish(const std::string& item, float value, WORD quality, DATE date, uint64_t ticks) {
        DWORD bits;
        std::memcpy(&bits, &value, sizeof bits);
        const SlotTime time{date, {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}};
        ASSERT_TRUE(catalogue.writeSlot(catalogue.findSlot(W(item).c_str()), bits, quality, &time));
    }

    // The client's only group, as the notification pass finds it.
    CMovraOPCGroup* clientGroup() {
        CMovraOPCServer* server = serverIn(0);
        ComPtr<IOPCServer> opc;
        EXPECT_EQ(server->QueryInterface(IID_IOPCServer, opc.putVoid()), S_OK);
        ComPtr<IEnumUnknown> groups;
        EXPECT_EQ(opc->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                             reinterpret_cast<LPUNKNOWN*>(groups.put())),
                  S_OK);
        IUnknown* first = nullptr;
        EXPECT_EQ(groups->Next(1, &first, nullptr), S_OK);
        ComPtr<IUnknown> group = ComPtr<IUnknown>::attach(first);
        ComPtr<IOPCItemMgt> items;
        EXPECT_EQ(group.queryInterface(IID_IOPCItemMgt, items), S_OK);
        // The client still holds it.
        return static_cast<CMovraOPCGroup*>(items.get());
    }

    // The data-callback sink the client advised on its group.
    ComPtr<IOPCDataCallback> advisedSink() {
        CMovraOPCGroup* group = clientGroup();
        std::lock_guard lock(group->connectionLock());
        return group->sinkLocked();
    }

    CMovraItem catalogue{clock};
    test::TempDir folder;
    CMovraLog log{clock};
    NotificationPass notifier{context, log};
    Session session{clock, [] { return false; }, 0};
    Activation failure{ActivationStage::Create, S_OK};
    int connections = 0;
    std::vector<std::weak_ptr<ServerGroups>> groupLists;
};

// --- browse and props --------------------------------------------------------------------------

TEST_F(ServerCommands, BrowseShowsTheTreeOrEveryItemIdFlat) {
    struct Case {
        std::vector<std::string> arguments;
        const char* out;
    } cases[] = {
        {{"browse"},
         "PKE0A01\n"
         "  SYS\n"
         "    PKE0A01.SYS.Pa\n"
         "    PKE0A01.SYS.Tx\n"
         "    PKE0A01.SYS.Tv\n"
         "PKE0A02\n"
         "  SYS\n"
         "    PKE0A02.SYS.Pa\n"
         "    PKE0A02.SYS.Tx\n"
         "    PKE0A02.SYS.Tv\n"},
        {{"browse", "--flat"},
         "PKE0A01.SYS.Pa\nPKE0A01.SYS.Tx\nPKE0A01.SYS.Tv\n"
         "PKE0A02.SYS.Pa\nPKE0A02.SYS.Tx\nPKE0A02.SYS.Tv\n"},
    };
    for (const Case& c : cases) {
        Outcome browse = run(c.arguments);
        EXPECT_EQ(browse.exitCode, 0);
        EXPECT_EQ(browse.out, c.out);
        EXPECT_EQ(browse.err, "");
    }
}

TEST_F(ServerCommands, PropsShowsTheSixPropertiesWithTheirMeaning) {
    publish("PKE0A01.SYS.Tx", 21.5f, OPC_QUALITY_GOOD, 46096.25, 134180280002500000);
    Outcome props = run({"props", "PKE0A01.SYS.Tx"});
    EXPECT_EQ(props.exitCode, 0);
    EXPECT_EQ(props.out,
              "1  Item Canonical DataType  4 (VT_R4)\n"
              "2  Item Value               21.5\n"
              "3  Item Quality             192 (good)\n"
              "4  Item Timestamp           2026-03-15 06:00:00.000\n"
              "5  Item Access Rights       1 (readable)\n"
              "6  Server Scan Rate         1000\n");
    EXPECT_EQ(props.err, "");
}

TEST_F(ServerCommands, PropsOfAnUnknownItemNamesItAndTheServersError) {
    Outcome props = run({"props", "PKE0A01.K01.T"});
    EXPECT_EQ(props.exitCode, 1);
    EXPECT_EQ(props.out, "");
    EXPECT_EQ(props.err,
              "PKE0A01.K01.T: QueryAvailableProperties failed: 0xC0040007 OPC_E_UNKNOWNITEMID: "
              "The item ID is not in the server's address space.\n");
}

// --- watch ---------------------------------------------------------------------------------------

TEST_F(ServerCommands, WatchPrintsWhatArrivesOnAnotherThreadAndCleansUp) {
    int asked = 0;
    session.stopRequested = [&] {
        if (++asked > 1) {
            return true;
        }
        // What a notification pass hands the client's sink, from a thread of its own.
        ComPtr<IOPCDataCallback> sink = advisedSink();
        EXPECT_TRUE(sink);
        std::thread pass([&] {
            OPCHANDLE handles[] = {0, 0, 7};
            VARIANT values[3] = {};
            values[0].vt = VT_R4;
            values[0].fltVal = 21.5f;
            values[2].vt = VT_R4;
            values[2].fltVal = 1.0f;
            WORD qualities[] = {OPC_QUALITY_GOOD, 0, OPC_QUALITY_LAST_USABLE | OPC_LIMIT_HIGH};
            const uint64_t ticks = 134180280002500000;
            FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
            FILETIME times[] = {time, time, time};
            HRESULT errors[] = {S_OK, OPC_E_BADRIGHTS, S_OK};
            EXPECT_EQ(sink->OnDataChange(0, 1, S_FALSE, S_FALSE, 3, handles, values, qualities,
                                         times, errors),
                      S_OK);
            EXPECT_EQ(sink->OnDataChange(0, 1, S_OK, S_OK, 1, nullptr, nullptr, nullptr, nullptr,
                                         nullptr),
                      E_INVALIDARG);
        });
        pass.join();
        return false;
    };
    Outcome watch = run({"watch", "PKE0A01.SYS.Tx", "NO.SUCH", "--deadband", "2.5"});
    EXPECT_EQ(watch.exitCode, 1);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(watch.out,
              "12:00:00.000  PKE0A01.SYS.Tx  21.5  good  2026-03-15 06:00:00.250 UTC\n"
              "12:00:00.000  client handle 7  1  uncertain: last usable value, high limited  "
              "2026-03-15 06:00:00.250 UTC\n");
    EXPECT_EQ(watch.err,
              "NO.SUCH: cannot be added: 0xC0040007 OPC_E_UNKNOWNITEMID: The item ID is not in "
              "the server's address space.\n"
              "12:00:00.000  PKE0A01.SYS.Tx: 0xC0040006 OPC_E_BADRIGHTS: The item's access "
              "rights forbid the operation.\n"
              "12:00:00.000  OnDataChange came with 1 items but without their arrays\n");
}

TEST_F(ServerCommands, WatchEndsAfterTheSecondsOfItsClock) {
    int asked = 0;
    session.stopRequested = [&] {
        ++asked;
        clock.advanceMs(500);
        return false;
    };
    Outcome watch = run({"watch", "--seconds", "2", "PKE0A02.SYS.Pa"});
    EXPECT_EQ(watch.exitCode, 0);
    EXPECT_EQ(asked, 4);
    EXPECT_EQ(watch.out, "");
    EXPECT_EQ(watch.err, "");
}

// --- read --------------------------------------------------------------------------------------

TEST_F(ServerCommands, ReadGivesTheCachedReadingsAndNamesTheUnknownItem) {
    publish("PKE0A01.SYS.Tx", 21.5f, OPC_QUALITY_GOOD, 46096.25, 134180280002500000);
    publish("PKE0A02.SYS.Pa", 0.0f, OPC_QUALITY_COMM_FAILURE, 46096.5, 134180496000000000);
    Outcome read = run({"read", "PKE0A01.SYS.Tx", "PKE0A01.K01.T", "PKE0A02.SYS.Pa"});
    EXPECT_EQ(read.exitCode, 1);
    EXPECT_EQ(read.out,
              "PKE0A01.SYS.Tx  21.5  good  2026-03-15 06:00:00.250 UTC\n"
              "PKE0A02.SYS.Pa  0  bad: comm failure  2026-03-15 12:00:00.000 UTC\n");
    EXPECT_EQ(read.err,
              "PKE0A01.K01.T: cannot be added: 0xC0040007 OPC_E_UNKNOWNITEMID: The item ID is not "
              "in the server's address space.\n");

    Outcome known = run({"read", "PKE0A01.SYS.Tx"});
    EXPECT_EQ(known.exitCode, 0);
    EXPECT_EQ(known.out, "PKE0A01.SYS.Tx  21.5  good  2026-03-15 06:00:00.250 UTC\n");
}

TEST_F(ServerCommands, ReadFromTheDeviceAsksTheDeviceNotTheCache) {
    publish("PKE0A01.SYS.Tx", 21.5f, OPC_QUALITY_GOOD, 46096.25, 134180280002500000);
    // No main thread takes the poll request here, so the device read cannot complete: the server
    // answers bad, stamped now, where the cache holds a good reading.
    Outcome read = run({"read", "--device", "PKE0A01.SYS.Tx"});
    EXPECT_EQ(read.exitCode, 0);
    EXPECT_EQ(read.out, "PKE0A01.SYS.Tx  0  bad  2026-03-01 12:00:00.000 UTC\n");
}

TEST_F(ServerCommands, ReadOfOnlyUnknownItemsReadsNothingAndStillRemovesTheGroup) {
    Outcome read = run({"read", "X.Y.Z", "PKE0A03.SYS.Pa"});
    EXPECT_EQ(read.exitCode, 1);
    EXPECT_EQ(read.out, "");
    EXPECT_NE(read.err.find("X.Y.Z: cannot be added: 0xC0040007"), std::string::npos);
    EXPECT_NE(read.err.find("PKE0A03.SYS.Pa: cannot be added: 0xC0040007"), std::string::npos);
}

// --- watch with the server's notification pass ---------------------------------------------------

TEST_F(ServerCommands, WatchWithRefreshShowsEveryItemOnceThenEachChange) {
    publish("PKE0A01.SYS.Tx", 21.5f, OPC_QUALITY_GOOD, 46096.25, 134180280002500000);
    publish("PKE0A02.SYS.Pa", 3.0f, OPC_QUALITY_GOOD, 46096.25, 134180280002500000);
    int asked = 0;
    FLOAT deadband = -1.0f;
    session.stopRequested = [&] {
        switch (++asked) {
            case 1: {
                DWORD rate;
                BOOL active;
                platform::CoTaskMemPtr<WCHAR> name;
                LONG bias;
                DWORD lcid;
                OPCHANDLE client, server;
                EXPECT_EQ(clientGroup()->GetState(&rate, &active, name.put(), &bias, &deadband,
                                                  &lcid, &client, &server),
                          S_OK);
                notifier.NotifyClients(false);  // serves the refresh
                return false;
            }
            case 2:
                clock.advanceMs(1000);
                publish("PKE0A02.SYS.Pa", 4.0f, OPC_QUALITY_LAST_USABLE, 46096.25,
                        134180280012500000);
                notifier.NotifyClients(true);
                return false;
            default:
                return true;
        }
    };
    Outcome watch =
        run({"watch", "PKE0A01.SYS.Tx", "--refresh", "PKE0A02.SYS.Pa", "--deadband", "2.5"});
    EXPECT_EQ(watch.exitCode, 0);
    EXPECT_EQ(watch.err, "");
    EXPECT_EQ(watch.out,
              "12:00:00.000  PKE0A01.SYS.Tx  21.5  good  2026-03-15 06:00:00.250 UTC\n"
              "12:00:00.000  PKE0A02.SYS.Pa  3  good  2026-03-15 06:00:00.250 UTC\n"
              "12:00:01.000  PKE0A02.SYS.Pa  4  uncertain: last usable value  2026-03-15 "
              "06:00:01.250 UTC\n");
    EXPECT_EQ(deadband, 2.5f);
}

// --- failures before any I/O -------------------------------------------------------------------

TEST_F(ServerCommands, WrongArgumentsAreRefusedBeforeConnecting) {
    struct Case {
        std::vector<std::string> arguments;
        const char* firstLine;
    } cases[] = {
        {{"browse", "--tree"}, "opc-client: browse takes [--flat], not --tree\n"},
        {{"props", "A", "B"}, "opc-client: props takes ITEM\n"},
        {{"read", "--device"}, "opc-client: read takes at least one item ID\n"},
        {{"read", "A", "--cache"}, "opc-client: read has no option --cache\n"},
        {{"watch", "--refresh"}, "opc-client: watch takes at least one item ID\n"},
        {{"watch", "A", "--deadband"}, "opc-client: --deadband needs a value\n"},
        {{"watch", "A", "--deadband", "101"},
         "opc-client: --deadband takes a percentage from 0 to 100, not 101\n"},
        {{"watch", "A", "--deadband", "5%"},
         "opc-client: --deadband takes a percentage from 0 to 100, not 5%\n"},
        {{"watch", "A", "--seconds", "1.5"},
         "opc-client: --seconds takes a whole number of seconds above 0, not 1.5\n"},
        {{"watch", "A", "--forever"}, "opc-client: watch has no option --forever\n"},
    };
    for (const Case& c : cases) {
        Outcome mistake = run(c.arguments);
        EXPECT_EQ(mistake.exitCode, 2) << c.firstLine;
        EXPECT_EQ(mistake.err.rfind(c.firstLine, 0), 0u) << mistake.err;
        EXPECT_EQ(mistake.out, "");
    }
    EXPECT_EQ(connections, 0);
}

TEST_F(ServerCommands, EveryNewCommandReportsAFailedActivationWithItsExitCode) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"browse"}, 3}, {{"props", "A"}, 4}, {{"read", "A"}, 6}, {{"watch", "A"}, 4}};
    for (const auto& [command, exitCode] : cases) {
        failure = {exitCode == 3 ? ActivationStage::ProgId : ActivationStage::Create,
                   exitCode == 6 ? E_FAIL : REGDB_E_CLASSNOTREG};
        Outcome failed = run(command);
        EXPECT_EQ(failed.exitCode, exitCode) << command[0];
        EXPECT_EQ(failed.err.rfind("MOVRA.OPC-server ", 0), 0u) << failed.err;
        EXPECT_EQ(failed.out, "");
    }
}

}  // namespace
}  // namespace movra::client
