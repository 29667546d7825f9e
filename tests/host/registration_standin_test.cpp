// Registration against the stand-in registry's hooks: the order of the writes, and a user without
// administrative rights.
#include "server/host/registration.h"

#include "platform/posix/registry_testing.h"
#include "platform/win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace hooks = platform::posix::registry_testing;

const std::string kClasses = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\";
const std::string kServer = kClasses + "CLSID\\{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}";

class RegistrationStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("MOVRA_REGISTRY");
        hooks::reset();
    }
    void TearDown() override { hooks::reset(); }
};

// The writes of one classes root in the order of the steps; `fresh` when its keys are new.
std::vector<std::string> writesOfOneRoot(bool fresh) {
    std::vector<std::string> log;
    auto create = [&](const std::string& key) {
        if (fresh) {
            log.push_back("create " + key);
        }
    };
    auto set = [&](const std::string& key, const std::string& value) {
        log.push_back("set " + key + " " + value);
    };
    const std::string appId = kClasses + "AppID\\{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}";
    create(appId);
    set(appId, "@");
    create(kClasses + "AppID\\MovraOPCServer.exe");
    set(kClasses + "AppID\\MovraOPCServer.exe", "AppID");
    create(kServer);
    set(kServer, "@");
    set(kServer, "AppID");
    create(kServer + "\\Implemented Categories");
    create(kServer + "\\Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}");
    create(kServer + "\\LocalServer32");
    set(kServer + "\\LocalServer32", "@");
    set(kServer + "\\LocalServer32", "ThreadingModel");
    for (const char* key : {"ProgID", "Version", "VersionIndependentProgID"}) {
        create(kServer + "\\" + key);
        set(kServer + "\\" + key, "@");
    }
    const std::string independent = kClasses + "MOVRA.OPC-server";
    create(independent);
    set(independent, "@");
    create(independent + "\\CLSID");
    set(independent + "\\CLSID", "@");
    create(independent + "\\CurVer");
    set(independent + "\\CurVer", "@");
    create(independent + "\\OPC");
    create(independent + "\\OPC\\Vendor");
    set(independent + "\\OPC\\Vendor", "@");
    const std::string versioned = kClasses + "MOVRA.OPC-server.1.08";
    create(versioned);
    set(versioned, "@");
    create(versioned + "\\CLSID");
    set(versioned + "\\CLSID", "@");
    return log;
}

TEST_F(RegistrationStandIn, WritesFollowTheStepsForEachRootInTurn) {
    ASSERT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", TRUE), 1);
    // HKEY_CLASSES_ROOT first; the machine's classes are the same keys, so the second pass only
    // sets the values again.
    std::vector<std::string> expected = writesOfOneRoot(true);
    for (const auto& line : writesOfOneRoot(false)) {
        expected.push_back(line);
    }
    EXPECT_EQ(hooks::writeLog(), expected);
}

TEST_F(RegistrationStandIn, UnregistrationDeletesWholeSubtreesFoundThroughCurVer) {
    ASSERT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", TRUE), 1);
    const size_t before = hooks::writeLog().size();
    ASSERT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", FALSE), 1);
    auto log = hooks::writeLog();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(before), log.end()),
              (std::vector<std::string>{
                  "delete " + kClasses + "AppID\\{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}",
                  "delete " + kClasses + "AppID\\MovraOPCServer.exe",
                  "delete " + kServer,
                  "delete " + kClasses + "MOVRA.OPC-server.1.08",
                  "delete " + kClasses + "MOVRA.OPC-server",
              }));
}

TEST_F(RegistrationStandIn, WithoutWriteAccessBothDirectionsFailAndChangeNothing) {
    ASSERT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", TRUE), 1);
    const size_t before = hooks::writeLog().size();
    hooks::denyWrites(true);
    EXPECT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", TRUE), 0);
    EXPECT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", FALSE), 0);
    EXPECT_EQ(hooks::writeLog().size(), before);
    hooks::denyWrites(false);

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "MOVRA.OPC-server.1.08\\CLSID", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "the earlier registration is still there";
    RegCloseKey(key);
}

// Every key a registration or an unregistration opens is closed again, on success and when a
// step fails.
TEST_F(RegistrationStandIn, EveryKeyItOpensIsClosedAgain) {
    const size_t open = hooks::openKeyCount();
    const struct {
        bool denied;
        int doRegister;
        int result;
    } runs[] = {{false, TRUE, 1}, {false, FALSE, 1}, {true, TRUE, 0}, {true, FALSE, 0}};
    for (const auto& run : runs) {
        hooks::denyWrites(run.denied);
        EXPECT_EQ(movra::UpdateRegistration("C:\\Movra\\MovraOPCServer.exe", run.doRegister),
                  run.result);
        EXPECT_EQ(hooks::openKeyCount(), open)
            << "denied " << run.denied << ", register " << run.doRegister;
    }
}

}  // namespace
