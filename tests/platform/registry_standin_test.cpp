// What only the stand-in registry has: its test hooks and the file of MOVRA_REGISTRY.
#include "platform/handle_ptr.h"
#include "platform/posix/registry_testing.h"
#include "platform/win.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace hooks = platform::posix::registry_testing;
using movra::test::ReadFileBytes;
using movra::test::TempDir;
using movra::test::WriteFileBytes;

HKEY createKey(HKEY parent, const char* name) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << name;
    return key;
}

std::string queryBytes(HKEY root, const char* keyName, const char* valueName,
                       DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "<no key>";
    }
    char buffer[256];
    DWORD size = sizeof buffer;
    LSTATUS status =
        RegQueryValueExA(key, valueName, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(buffer, size) : "<no value>";
}

class RegistryStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("MOVRA_REGISTRY");
        hooks::reset();
    }
    void TearDown() override {
        ::unsetenv("MOVRA_REGISTRY");
        hooks::reset();
    }
};

TEST_F(RegistryStandIn, StartsWithTheClassesKeysTheRegistrationNeeds) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\classes\\clsid", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryStandIn, TreeSurvivesAReloadFromTheFileOfMovraRegistry) {
    TempDir dir;
    const std::string file = dir.file("registry.txt");
    ::setenv("MOVRA_REGISTRY", file.c_str(), 1);
    hooks::reset();

    HKEY server = createKey(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Local Server \xCC");
    const char path[] = "C:\\Movra \"1\"\\MovraOPCServer.exe";
    ASSERT_EQ(RegSetValueExA(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                             sizeof path),
              ERROR_SUCCESS);
    const char odd[] = "a\\b\"c\xF1\n";
    ASSERT_EQ(RegSetValueExA(server, "Name \"quoted\"", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(odd), sizeof odd - 1),
              ERROR_SUCCESS);
    const DWORD number = 0xA0B0C0D0;
    ASSERT_EQ(
        RegSetValueExA(server, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
        ERROR_SUCCESS);
    const BYTE blob[] = {0x00, 0xFF, 0x10};
    ASSERT_EQ(RegSetValueExA(server, "Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
    RegCloseKey(server);
    RegCloseKey(createKey(HKEY_CURRENT_USER, "Software\\Empty"));

    const std::string text = ReadFileBytes(file);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\AppID]\n"), std::string::npos);
    EXPECT_NE(text.find("@=sz:\"C:\\\\Movra \\\"1\\\"\\\\MovraOPCServer.exe\\0\"\n"),
              std::string::npos)
        << text;

    hooks::reset();  // the next call loads the file
    const char* key = "CLSID\\{x}\\LOCAL SERVER \xCC";
    DWORD type = REG_NONE;
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, key, nullptr, &type), std::string(path, sizeof path));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, key, "name \"QUOTED\""),
              std::string(odd, sizeof odd - 1));
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, key, "Count", &type),
              std::string(reinterpret_cast<const char*>(&number), 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, key, "Blob", &type),
              std::string(reinterpret_cast<const char*>(blob), 3));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    HKEY empty = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Empty", 0, KEY_READ, &empty),
              ERROR_SUCCESS);
    RegCloseKey(empty);

    // Deletions are saved as well.
    EXPECT_EQ(SHDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{X}"), ERROR_SUCCESS);
    hooks::reset();
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, key, nullptr), "<no key>");
}

TEST_F(RegistryStandIn, BrokenLinesOfTheFileAreSkippedAndTheRestIsLoaded) {
    TempDir dir;
    const std::string file = dir.file("registry.txt");
    WriteFileBytes(file,
                   "MOVRA-REGISTRY 1\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Good]\n"
                   "@=sz:\"yes\\0\"\n"
                   "\"Broken\"=sz:\"no end\n"
                   "\"Number\"=dword:zz\n"
                   "[HKEY_NOWHERE\\Key]\n"
                   "@=sz:\"lost\\0\"\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Good]\n"
                   "\"After\"=sz:\"ok\\0\"\n");
    ::setenv("MOVRA_REGISTRY", file.c_str(), 1);
    hooks::reset();
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, "Good", nullptr), std::string("yes", 4));
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, "Good", "After"), std::string("ok", 3));
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, "Good", "Broken"), "<no value>");
    EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, "Good", "Number"), "<no value>");
}

TEST_F(RegistryStandIn, DeniedWritesFailWithAccessDeniedAndChangeNothing) {
    hooks::denyWrites(true);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY created = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "New", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(HKEY_CLASSES_ROOT, nullptr, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyA(HKEY_CLASSES_ROOT, "AppID"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_TRUE(hooks::writeLog().empty());

    hooks::denyWrites(false);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryStandIn, HandlesOfADeletedOrResetTreeReportADeletedKey) {
    HKEY key = createKey(HKEY_CLASSES_ROOT, "Doomed\\Child");
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Doomed", 0, KEY_ALL_ACCESS, &parent),
              ERROR_SUCCESS);
    ASSERT_EQ(SHDeleteKeyA(HKEY_CLASSES_ROOT, "Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closed twice";

    hooks::reset();
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(parent, nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
}

TEST_F(RegistryStandIn, WithoutTheMachinesSoftwareKeyDeletionsStillWork) {
    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, "Other"));
    ASSERT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Other"), ERROR_SUCCESS);
    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, "Other"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Other"), ERROR_SUCCESS);
    // Windows always has a classes root.
    RegCloseKey(createKey(HKEY_CLASSES_ROOT, "Again"));
    EXPECT_EQ(queryBytes(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Again", nullptr), "<no value>");
}

TEST_F(RegistryStandIn, UniqueRegKeyClosesWhatItHoldsExactlyOnce) {
    const size_t open = hooks::openKeyCount();
    auto openAppIds = [](platform::UniqueRegKey& key) {
        return RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_READ, key.put());
    };
    {
        platform::UniqueRegKey first;
        ASSERT_EQ(openAppIds(first), ERROR_SUCCESS);
        EXPECT_EQ(hooks::openKeyCount(), open + 1);
        ASSERT_EQ(openAppIds(first), ERROR_SUCCESS);  // put() closed the key held before
        EXPECT_EQ(hooks::openKeyCount(), open + 1);
        platform::UniqueRegKey second = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_TRUE(second);
        EXPECT_EQ(hooks::openKeyCount(), open + 1);
        HKEY released = second.release();
        EXPECT_EQ(hooks::openKeyCount(), open + 1);
        platform::UniqueRegKey third(released);
        third.reset();
        EXPECT_EQ(hooks::openKeyCount(), open);
        ASSERT_EQ(openAppIds(third), ERROR_SUCCESS);
    }
    EXPECT_EQ(hooks::openKeyCount(), open);
}

TEST_F(RegistryStandIn, WriteLogListsChangesInOrderWithFullPaths) {
    HKEY key = createKey(HKEY_CLASSES_ROOT, "Logged\\Sub");
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "name"), ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(createKey(HKEY_CLASSES_ROOT, "logged\\sub"));  // exists: no change
    ASSERT_EQ(SHDeleteKeyA(HKEY_CLASSES_ROOT, "Logged"), ERROR_SUCCESS);
    const std::string classes = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\";
    EXPECT_EQ(hooks::writeLog(),
              (std::vector<std::string>{
                  "create " + classes + "Logged", "create " + classes + "Logged\\Sub",
                  "set " + classes + "Logged\\Sub Name",
                  "delete-value " + classes + "Logged\\Sub name", "delete " + classes + "Logged"}));
}

}  // namespace
