// The registry calls as Windows defines them: the stand-in natively, the real registry of the
// private prefix under Wine. Everything is made under a key of this run and removed afterwards.
#include "platform/handle_ptr.h"
#include "platform/win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>

namespace {

std::string runKeyName(const char* what) {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::string("MovraRegistryTest-") + what + "-" + std::to_string(stamp);
}

using Key = platform::UniqueRegKey;

LSTATUS create(HKEY parent, const std::string& name, Key& key, DWORD* disposition = nullptr) {
    return RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.put(), disposition);
}

LSTATUS setBytes(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(create(HKEY_CURRENT_USER, "Software\\" + name_, root_), ERROR_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, ("Software\\" + name_).c_str()), ERROR_SUCCESS);
    }

    std::string name_ = runKeyName("Values");
    Key root_;
};

TEST_F(Registry, QueryReportsTheStoredSizeAndMoreDataForAShortBuffer) {
    ASSERT_EQ(setBytes(root_.get(), "ThreadingModel", REG_SZ, "Free", 5), ERROR_SUCCESS);

    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(root_.get(), "ThreadingModel", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 5u) << "the terminating zero is counted as it was given";

    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(root_.get(), "ThreadingModel", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);

    size = 5;
    ASSERT_EQ(RegQueryValueExA(root_.get(), "ThreadingModel", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), std::string("Free", 5));

    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(root_.get(), "ThreadingModel", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);

    const DWORD number = 0x12345678;
    ASSERT_EQ(setBytes(root_.get(), "Count", REG_DWORD, &number, 4), ERROR_SUCCESS);
    DWORD read = 0;
    size = sizeof read;
    ASSERT_EQ(RegQueryValueExA(root_.get(), "Count", nullptr, &type, reinterpret_cast<BYTE*>(&read),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, number);
}

TEST_F(Registry, DefaultValueIsTheUnnamedOneAndAbsentUntilSet) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(root_.get(), nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(root_.get(), "Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(setBytes(root_.get(), nullptr, REG_SZ, "1.08", 5), ERROR_SUCCESS);
    char buffer[8] = {};
    size = sizeof buffer;
    ASSERT_EQ(
        RegQueryValueExA(root_.get(), "", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "1.08");
}

TEST_F(Registry, CodePage1251TextComesBackAsTheSameBytes) {
    // "МОВРА OPC-сервер" in code page 1251.
    const char text[] = "\xCC\xCE\xC2\xD0\xC0 OPC-\xF1\xE5\xF0\xE2\xE5\xF0";
    ASSERT_EQ(setBytes(root_.get(), nullptr, REG_SZ, text, sizeof text), ERROR_SUCCESS);
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(root_.get(), nullptr, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), std::string(text, sizeof text));
}

TEST_F(Registry, KeyAndValueNamesIgnoreCaseAndKeepTheirSpelling) {
    Key made;
    ASSERT_EQ(create(root_.get(), "Sub\\MixedCase", made), ERROR_SUCCESS);
    ASSERT_EQ(setBytes(made.get(), "ThreadingModel", REG_SZ, "Free", 5), ERROR_SUCCESS);

    Key opened;
    ASSERT_EQ(RegOpenKeyExA(root_.get(), "SUB\\mixedcase", 0, KEY_READ, opened.put()),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(opened.get(), "THREADINGMODEL", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);

    DWORD disposition = 0;
    Key again;
    ASSERT_EQ(create(root_.get(), "sub\\MIXEDCASE", again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    Key sub;
    ASSERT_EQ(RegOpenKeyExA(root_.get(), "Sub", 0, KEY_READ, sub.put()), ERROR_SUCCESS);
    char name[64];
    DWORD length = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(sub.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "MixedCase");
    EXPECT_EQ(length, 9u);
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(sub.get(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS)
        << "one key, however it was spelt";
}

TEST_F(Registry, CreateReportsWhetherTheKeyIsNewAndMakesTheKeysBetween) {
    DWORD disposition = 0;
    Key deep;
    ASSERT_EQ(create(root_.get(), "A\\B\\C", deep, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    Key middle;
    EXPECT_EQ(RegOpenKeyExA(root_.get(), "A\\B", 0, KEY_READ, middle.put()), ERROR_SUCCESS);
    Key missing;
    EXPECT_EQ(RegOpenKeyExA(root_.get(), "A\\X", 0, KEY_READ, missing.put()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, AKeyOpenedForReadingCannotBeWrittenThrough) {
    Key readOnly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ("Software\\" + name_).c_str(), 0, KEY_READ,
                            readOnly.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(setBytes(readOnly.get(), "Value", REG_SZ, "x", 2), ERROR_ACCESS_DENIED);
}

TEST_F(Registry, DeleteKeyRefusesAKeyWithSubkeysAndShDeleteKeyTakesTheSubtree) {
    Key leaf;
    ASSERT_EQ(create(root_.get(), "Tree\\Branch\\Leaf", leaf), ERROR_SUCCESS);
    ASSERT_EQ(setBytes(leaf.get(), nullptr, REG_SZ, "x", 2), ERROR_SUCCESS);

    EXPECT_NE(RegDeleteKeyA(root_.get(), "Tree"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(root_.get(), "Tree"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(RegOpenKeyExA(root_.get(), "Tree", 0, KEY_READ, gone.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SHDeleteKeyA(root_.get(), "Tree"), ERROR_FILE_NOT_FOUND);

    Key single;
    ASSERT_EQ(create(root_.get(), "Single", single), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(root_.get(), "single"), ERROR_SUCCESS);
}

TEST_F(Registry, EnumValueListsEveryValueWithItsData) {
    ASSERT_EQ(setBytes(root_.get(), nullptr, REG_SZ, "d", 2), ERROR_SUCCESS);
    ASSERT_EQ(setBytes(root_.get(), "AppID", REG_SZ, "{x}", 4), ERROR_SUCCESS);
    std::set<std::string> seen;
    for (DWORD index = 0;; ++index) {
        char name[64];
        DWORD nameLength = sizeof name;
        BYTE data[64];
        DWORD size = sizeof data;
        DWORD type = REG_NONE;
        LSTATUS status =
            RegEnumValueA(root_.get(), index, name, &nameLength, nullptr, &type, data, &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(status, ERROR_SUCCESS);
        ASSERT_LT(index, 10u);
        seen.insert(std::string(name, nameLength) + "=" +
                    std::string(reinterpret_cast<char*>(data), size));
    }
    EXPECT_EQ(seen, (std::set<std::string>{std::string("=d", 3), std::string("AppID={x}", 10)}));
}

TEST(RegistryClasses, ClassesRootIsTheClassesKeyOfTheMachine) {
    const std::string name = runKeyName("Classes");
    Key made;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Classes\\" + name).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, made.put(), nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(setBytes(made.get(), nullptr, REG_SZ, "machine", 8), ERROR_SUCCESS);

    Key seen;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, seen.put()),
              ERROR_SUCCESS);
    char buffer[16] = {};
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(seen.get(), nullptr, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "machine");

    EXPECT_EQ(SHDeleteKeyA(HKEY_CLASSES_ROOT, name.c_str()), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Classes\\" + name).c_str(), 0, KEY_READ,
                            gone.put()),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
