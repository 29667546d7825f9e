// The registry entries of the server: against the stand-in natively, against the real registry of
// the private prefix under Wine. An existing registration of the prefix is put back afterwards.
#include "server/host/registration.h"

#include "platform/win.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kClsid = "{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}";
// A neighbour of ours that unregistration must leave alone.
const std::string kNeighbourClsid = "{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F16}";
// "МОВРА OPC-сервер" and "ООО НПФ МОВРА" in code page 1251.
const std::string kDescription = "\xCC\xCE\xC2\xD0\xC0 OPC-\xF1\xE5\xF0\xE2\xE5\xF0";
const std::string kVendor = "\xCE\xCE\xCE \xCD\xCF\xD4 \xCC\xCE\xC2\xD0\xC0";
const std::string kCategory = "Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
const std::string kProgramPath = "C:\\Program Files\\Movra\\MovraOPCServer.exe";

class Key {
public:
    Key() = default;
    ~Key() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }
    HKEY* put() { return &key_; }

private:
    HKEY key_ = nullptr;
};

struct Root {
    const char* label;
    HKEY parent;
    const char* path;  // under parent
};

const Root kRoots[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, ""},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes", HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes"}};

std::string under(const Root& root, const std::string& key) {
    return *root.path == '\0' ? key : std::string(root.path) + "\\" + key;
}

bool keyExists(const Root& root, const std::string& key) {
    Key opened;
    return RegOpenKeyExA(root.parent, under(root, key).c_str(), 0, KEY_READ, opened.put()) ==
           ERROR_SUCCESS;
}

// A text value as stored: its bytes, the terminating zero included.
std::string text(const std::string& value) {
    return std::string(value.c_str(), value.size() + 1);
}

// Every value of a key: name (empty for the default) to its type and bytes.
std::optional<std::map<std::string, std::string>> valuesOf(const Root& root,
                                                           const std::string& key) {
    Key opened;
    if (RegOpenKeyExA(root.parent, under(root, key).c_str(), 0, KEY_READ, opened.put()) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    for (DWORD index = 0; index < 100; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[1024];
        DWORD size = sizeof data;
        DWORD type = REG_NONE;
        LSTATUS status =
            RegEnumValueA(opened.get(), index, name, &nameLength, nullptr, &type, data, &size);
        if (status != ERROR_SUCCESS) {
            break;
        }
        values[std::string(name, nameLength)] =
            (type == REG_SZ ? "" : "type " + std::to_string(type) + ": ") +
            std::string(reinterpret_cast<char*>(data), size);
    }
    return values;
}

std::set<std::string> subkeysOf(const Root& root, const std::string& key) {
    Key opened;
    std::set<std::string> names;
    if (RegOpenKeyExA(root.parent, under(root, key).c_str(), 0, KEY_READ, opened.put()) !=
        ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0; index < 100; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.insert(std::string(name, length));
    }
    return names;
}

void setDefault(const Root& root, const std::string& key, const std::string& value,
                bool countZero = true) {
    Key made;
    ASSERT_EQ(
        RegCreateKeyExA(root.parent, under(root, key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, made.put(), nullptr),
        ERROR_SUCCESS)
        << key;
    ASSERT_EQ(
        RegSetValueExA(made.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + (countZero ? 1 : 0))),
        ERROR_SUCCESS);
}

std::optional<std::string> defaultOf(const Root& root, const std::string& key) {
    auto values = valuesOf(root, key);
    if (!values || values->count("") == 0) {
        return std::nullopt;
    }
    return values->at("");
}

using Values = std::map<std::string, std::string>;

// The whole registration of a program at programPath, key by key: its values, its subkeys.
struct ExpectedKey {
    std::string key;
    Values values;
    std::set<std::string> subkeys;
};

std::vector<ExpectedKey> expectedEntries(const std::string& programPath,
                                         const std::string& programFile) {
    const std::string server = "CLSID\\" + kClsid;
    return {
        {"AppID\\" + kClsid, {{"", text(kDescription)}}, {}},
        {"AppID\\" + programFile, {{"AppID", text(kClsid)}}, {}},
        {server,
         {{"", text(kDescription)}, {"AppID", text(kClsid)}},
         {"Implemented Categories", "LocalServer32", "ProgID", "Version",
          "VersionIndependentProgID"}},
        {server + "\\Implemented Categories", {}, {"{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}"}},
        {server + "\\" + kCategory, {}, {}},
        {server + "\\LocalServer32",
         {{"", text(programPath)}, {"ThreadingModel", text("Free")}},
         {}},
        {server + "\\ProgID", {{"", text("MOVRA.OPC-server.1.08")}}, {}},
        {server + "\\Version", {{"", text("1.08")}}, {}},
        {server + "\\VersionIndependentProgID", {{"", text("MOVRA.OPC-server")}}, {}},
        {"MOVRA.OPC-server", {{"", text(kDescription)}}, {"CLSID", "CurVer", "OPC"}},
        {"MOVRA.OPC-server\\CLSID", {{"", text(kClsid)}}, {}},
        {"MOVRA.OPC-server\\CurVer", {{"", text("MOVRA.OPC-server.1.08")}}, {}},
        {"MOVRA.OPC-server\\OPC", {}, {"Vendor"}},
        {"MOVRA.OPC-server\\OPC\\Vendor", {{"", text(kVendor)}}, {}},
        {"MOVRA.OPC-server.1.08", {{"", text(kDescription)}}, {"CLSID"}},
        {"MOVRA.OPC-server.1.08\\CLSID", {{"", text(kClsid)}}, {}},
    };
}

void expectRegistered(const std::string& programPath, const std::string& programFile) {
    for (const Root& root : kRoots) {
        for (const auto& entry : expectedEntries(programPath, programFile)) {
            SCOPED_TRACE(std::string(root.label) + "\\" + entry.key);
            auto values = valuesOf(root, entry.key);
            ASSERT_TRUE(values.has_value()) << "key missing";
            EXPECT_EQ(*values, entry.values);
            EXPECT_EQ(subkeysOf(root, entry.key), entry.subkeys);
        }
    }
}

void expectNothingOfOursUnder(const Root& root) {
    SCOPED_TRACE(root.label);
    EXPECT_FALSE(keyExists(root, "AppID\\" + kClsid));
    EXPECT_FALSE(keyExists(root, "AppID\\MovraOPCServer.exe"));
    EXPECT_FALSE(keyExists(root, "CLSID\\" + kClsid));
    EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server"));
    EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server.1.08"));
    EXPECT_TRUE(keyExists(root, "AppID"));
    EXPECT_TRUE(keyExists(root, "CLSID"));
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        // A registration already in the registry (the prefix of the Windows build has one when
        // the server program was registered) is put back at the end.
        previous_ = defaultOf(kRoots[0], "CLSID\\" + kClsid + "\\LocalServer32");
        ASSERT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
        for (const Root& root : kRoots) {
            SHDeleteKeyA(root.parent, under(root, "MOVRA.OPC-server.1.06").c_str());
        }
        setDefault(kRoots[0], "CLSID\\" + kNeighbourClsid, "neighbour");
        setDefault(kRoots[0], "AppID\\Neighbour.exe", "neighbour");
    }

    void TearDown() override {
        EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
        for (const Root& root : kRoots) {
            SHDeleteKeyA(root.parent, under(root, "MOVRA.OPC-server.1.06").c_str());
            SHDeleteKeyA(root.parent, under(root, "CLSID\\" + kNeighbourClsid).c_str());
            SHDeleteKeyA(root.parent, under(root, "AppID\\Neighbour.exe").c_str());
            SHDeleteKeyA(root.parent, under(root, "AppID\\MovraOPCServer").c_str());
        }
        if (previous_) {
            std::string path = previous_->c_str();
            EXPECT_EQ(movra::UpdateRegistration(path.c_str(), TRUE), 1);
        }
    }

    void expectNeighboursKept() {
        for (const Root& root : kRoots) {
            SCOPED_TRACE(root.label);
            EXPECT_EQ(defaultOf(root, "CLSID\\" + kNeighbourClsid), text("neighbour"));
            EXPECT_EQ(defaultOf(root, "AppID\\Neighbour.exe"), text("neighbour"));
        }
    }

    std::optional<std::string> previous_;
};

TEST_F(Registration, WritesEveryEntryUnderBothClassesRoots) {
    ASSERT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), TRUE), 1);
    expectRegistered(kProgramPath, "MovraOPCServer.exe");
}

TEST_F(Registration, UnregistrationRemovesEveryEntryAndNothingElse) {
    ASSERT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), TRUE), 1);
    EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
    for (const Root& root : kRoots) {
        expectNothingOfOursUnder(root);
    }
    expectNeighboursKept();
}

TEST_F(Registration, UnregisteringWhenNothingIsRegisteredSucceeds) {
    EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
    for (const Root& root : kRoots) {
        expectNothingOfOursUnder(root);
    }
}

TEST_F(Registration, RegisteringOverAnOlderVersionRemovesItsVersionedProgId) {
    for (const Root& root : kRoots) {
        setDefault(root, "MOVRA.OPC-server", kDescription);
        setDefault(root, "MOVRA.OPC-server\\CurVer", "MOVRA.OPC-server.1.06");
        setDefault(root, "MOVRA.OPC-server.1.06", kDescription);
        setDefault(root, "MOVRA.OPC-server.1.06\\CLSID", kClsid);
        setDefault(root, "CLSID\\" + kClsid + "\\LocalServer32", "C:\\Old\\MovraOPCServer.exe");
    }
    // As the program's /Register does it: unregister, then register.
    EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
    for (const Root& root : kRoots) {
        SCOPED_TRACE(root.label);
        EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server.1.06"));
        EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server"));
    }
    ASSERT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), TRUE), 1);
    expectRegistered(kProgramPath, "MovraOPCServer.exe");
    for (const Root& root : kRoots) {
        EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server.1.06")) << root.label;
    }
}

TEST_F(Registration, CurVerWithoutTerminatingZeroStillFindsTheOlderVersion) {
    for (const Root& root : kRoots) {
        setDefault(root, "MOVRA.OPC-server\\CurVer", "MOVRA.OPC-server.1.06", false);
        setDefault(root, "MOVRA.OPC-server.1.06\\CLSID", kClsid);
    }
    EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
    for (const Root& root : kRoots) {
        EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server.1.06")) << root.label;
    }
}

TEST_F(Registration, CurVerNamingAnythingButOurVersionedProgIdDeletesNothingForeign) {
    // "CLSID" or an empty text would otherwise take every class, or the classes root, along; the
    // bare prefix names no version of ours.
    for (const std::string& curVer : {std::string("CLSID"), std::string(""),
                                      std::string("MOVRA.OPC-server."), std::string(150, 'M')}) {
        SCOPED_TRACE("CurVer \"" + curVer + "\"");
        for (const Root& root : kRoots) {
            setDefault(root, "MOVRA.OPC-server\\CurVer", curVer);
            setDefault(root, "MOVRA.OPC-server.", "foreign");
        }
        EXPECT_EQ(movra::UpdateRegistration(kProgramPath.c_str(), FALSE), 1);
        expectNeighboursKept();
        for (const Root& root : kRoots) {
            EXPECT_FALSE(keyExists(root, "MOVRA.OPC-server")) << root.label;
            EXPECT_TRUE(keyExists(root, "MOVRA.OPC-server.")) << root.label;
        }
        for (const Root& root : kRoots) {
            SHDeleteKeyA(root.parent, under(root, "MOVRA.OPC-server.").c_str());
        }
    }
}

TEST_F(Registration, PathWithoutSeparatorIsItsOwnProgramFileName) {
    ASSERT_EQ(movra::UpdateRegistration("MovraOPCServer.exe", TRUE), 1);
    expectRegistered("MovraOPCServer.exe", "MovraOPCServer.exe");
}

TEST_F(Registration, SlashSeparatesTheProgramFileNameOfANativePath) {
    ASSERT_EQ(movra::UpdateRegistration("/opt/movra/MovraOPCServer", TRUE), 1);
    expectRegistered("/opt/movra/MovraOPCServer", "MovraOPCServer");
    EXPECT_EQ(movra::UpdateRegistration("/opt/movra/MovraOPCServer", FALSE), 1);
    for (const Root& root : kRoots) {
        EXPECT_FALSE(keyExists(root, "AppID\\MovraOPCServer")) << root.label;
    }
}

TEST_F(Registration, PathWithoutProgramFileNameRegistersNothingAndKeepsOtherAppIds) {
    EXPECT_EQ(movra::UpdateRegistration("C:\\Movra\\", TRUE), 0);
    EXPECT_EQ(movra::UpdateRegistration("", TRUE), 0);
    for (const Root& root : kRoots) {
        expectNothingOfOursUnder(root);
    }
    // An empty program file name must not make the AppID key itself the one to delete.
    EXPECT_EQ(movra::UpdateRegistration("C:\\Movra\\", FALSE), 1);
    expectNeighboursKept();
}

}  // namespace
