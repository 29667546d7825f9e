// The IDL that the proxy/stub is generated from and the C++ declarations that the server and
// clients compile against describe the same interfaces: a slot or a parameter that moves in one of
// them only would call the wrong method, or marshal the wrong argument, across processes.
#include "common/opc/opc_ids.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace movra {
namespace {

struct Method {
    std::string name;
    std::vector<std::string> parameters;
    bool operator==(const Method&) const = default;
};

void PrintTo(const Method& method, std::ostream* out) {
    *out << method.name << "(";
    for (size_t i = 0; i < method.parameters.size(); ++i) {
        *out << (i ? ", " : "") << method.parameters[i];
    }
    *out << ")";
}

struct Interface {
    std::string uuid;  // empty where the text gives none
    std::string base;
    std::vector<Method> methods;
};

// Declarations of one file: interfaces, structure fields ("TYPE NAME") and enumerators.
struct Declarations {
    std::map<std::string, Interface> interfaces;
    std::map<std::string, std::vector<std::string>> structures;
    std::map<std::string, std::vector<std::string>> enumerations;
};

std::string withoutComments(const std::string& text) {
    static const std::regex comment(R"(//[^\n]*|/\*[\s\S]*?\*/)");
    return std::regex_replace(text, comment, " ");
}

std::string collapsed(const std::string& text) {
    static const std::regex space(R"(\s+)");
    static const std::regex edges(R"(^ | $| (?=\*)|(\*) )");
    return std::regex_replace(std::regex_replace(text, space, " "), edges, "$1");
}

// The text between the brace or parenthesis at `open` and its partner.
std::string enclosed(const std::string& text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        if (text[i] == '{' || text[i] == '(') {
            ++depth;
        } else if ((text[i] == '}' || text[i] == ')') && --depth == 0) {
            return text.substr(open + 1, i - open - 1);
        }
    }
    return {};
}

// Splits at the separator where no bracket of any kind is open.
std::vector<std::string> splitTop(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    int depth = 0;
    for (char c : text) {
        depth += (c == '(' || c == '[' || c == '{') - (c == ')' || c == ']' || c == '}');
        if (c == separator && depth == 0) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    std::vector<std::string> kept;
    for (const std::string& part : parts) {
        if (part.find_first_not_of(" \t\r\n") != std::string::npos) {
            kept.push_back(part);
        }
    }
    return kept;
}

std::string withoutAttributes(const std::string& text) {
    static const std::regex attributes(R"(\[[^\]]*\])");
    return collapsed(std::regex_replace(text, attributes, " "));
}

std::string lastIdentifier(const std::string& text) {
    static const std::regex last(R"((\w+)\W*$)");
    std::smatch m;
    return std::regex_search(text, m, last) ? m[1].str() : std::string();
}

std::vector<Method> methodsOf(const std::string& body) {
    static const std::regex head(R"((\w+)\s*\($)");
    std::vector<Method> methods;
    for (const std::string& statement : splitTop(body, ';')) {
        size_t open = statement.find('(');
        std::smatch m;
        std::string before = statement.substr(0, open + 1);
        if (open == std::string::npos || !std::regex_search(before, m, head)) {
            continue;
        }
        Method method{m[1].str(), {}};
        for (const std::string& parameter : splitTop(enclosed(statement, open), ',')) {
            if (withoutAttributes(parameter) != "void") {
                method.parameters.push_back(lastIdentifier(withoutAttributes(parameter)));
            }
        }
        methods.push_back(method);
    }
    return methods;
}

Declarations parse(const std::string& file) {
    const std::string text = withoutComments(test::ReadFileBytes(file));
    Declarations result;
    // IDL: [attributes] interface NAME : BASE {   C++: struct NAME : public BASE {
    static const std::regex interfaceHead(
        R"((?:\[([^\]]*)\]\s*interface|struct)\s+(\w+)\s*:\s*(?:public\s+)?(\w+)\s*\{)");
    static const std::regex uuid(R"(uuid\(\s*([0-9A-Fa-f-]+)\s*\))");
    for (std::sregex_iterator it(text.begin(), text.end(), interfaceHead), end; it != end; ++it) {
        const std::smatch& m = *it;
        std::smatch id;
        std::string attributes = m[1].str();
        Interface& entry = result.interfaces[m[2].str()];
        entry.uuid = std::regex_search(attributes, id, uuid) ? id[1].str() : "";
        entry.base = m[3].str();
        entry.methods = methodsOf(enclosed(text, m.position(0) + m.length(0) - 1));
    }
    // The header may fix an enumeration's underlying type ("enum tagX : int {"); the IDL does not.
    static const std::regex typedefHead(R"(typedef\s+(struct|enum)\s+\w+\s*(?::\s*\w+\s*)?\{)");
    for (std::sregex_iterator it(text.begin(), text.end(), typedefHead), end; it != end; ++it) {
        size_t open = it->position(0) + it->length(0) - 1;
        std::string body = enclosed(text, open);
        std::string name = lastIdentifier(text.substr(0, text.find(';', open + body.size())));
        std::vector<std::string>& members =
            (*it)[1] == "struct" ? result.structures[name] : result.enumerations[name];
        for (const std::string& member : splitTop(body, (*it)[1] == "struct" ? ';' : ',')) {
            members.push_back(withoutAttributes(member));
        }
    }
    return result;
}

IID iidFromText(const std::string& text) {
    IID iid{};
    iid.Data1 = static_cast<DWORD>(std::stoul(text.substr(0, 8), nullptr, 16));
    iid.Data2 = static_cast<WORD>(std::stoul(text.substr(9, 4), nullptr, 16));
    iid.Data3 = static_cast<WORD>(std::stoul(text.substr(14, 4), nullptr, 16));
    const std::string tail = text.substr(19, 4) + text.substr(24, 12);
    for (size_t i = 0; i < 8; ++i) {
        iid.Data4[i] = static_cast<unsigned char>(std::stoul(tail.substr(2 * i, 2), nullptr, 16));
    }
    return iid;
}

// The twelve interfaces with the ID the library defines and the number of methods each has
// after IUnknown's three.
struct Expected {
    const char* name;
    const IID* iid;
    size_t methods;
};
const Expected kInterfaces[] = {
    {"IOPCServer", &IID_IOPCServer, 6},
    {"IOPCCommon", &IID_IOPCCommon, 5},
    {"IOPCItemProperties", &IID_IOPCItemProperties, 3},
    {"IOPCBrowseServerAddressSpace", &IID_IOPCBrowseServerAddressSpace, 5},
    {"IOPCGroupStateMgt", &IID_IOPCGroupStateMgt, 4},
    {"IOPCPublicGroupStateMgt", &IID_IOPCPublicGroupStateMgt, 2},
    {"IOPCItemMgt", &IID_IOPCItemMgt, 7},
    {"IEnumOPCItemAttributes", &IID_IEnumOPCItemAttributes, 4},
    {"IOPCSyncIO", &IID_IOPCSyncIO, 2},
    {"IOPCAsyncIO2", &IID_IOPCAsyncIO2, 6},
    {"IOPCDataCallback", &IID_IOPCDataCallback, 4},
    {"IOPCShutdown", &IID_IOPCShutdown, 1},
};

class IdlDeclarations : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        idl = new Declarations(parse(MOVRA_OPC_IDL));
        header = new Declarations(parse(MOVRA_OPC_HEADER));
    }
    static void TearDownTestSuite() {
        delete idl;
        delete header;
    }
    static Declarations* idl;
    static Declarations* header;
};
Declarations* IdlDeclarations::idl = nullptr;
Declarations* IdlDeclarations::header = nullptr;

TEST_F(IdlDeclarations, BothDeclareTheTwelveInterfacesAndNoOther) {
    std::vector<std::string> expected;
    for (const Expected& e : kInterfaces) {
        expected.push_back(e.name);
    }
    std::sort(expected.begin(), expected.end());
    for (const Declarations* file : {idl, header}) {
        std::vector<std::string> names;
        for (const auto& [name, entry] : file->interfaces) {
            names.push_back(name);
        }
        EXPECT_EQ(names, expected);
    }
}

TEST_F(IdlDeclarations, EachInterfaceHasTheLibrarysIdTheSameBaseAndTheSameMethods) {
    for (const Expected& e : kInterfaces) {
        SCOPED_TRACE(e.name);
        const Interface& fromIdl = idl->interfaces[e.name];
        const Interface& fromHeader = header->interfaces[e.name];
        ASSERT_EQ(fromIdl.uuid.size(), 36u);
        EXPECT_TRUE(iidFromText(fromIdl.uuid) == *e.iid) << fromIdl.uuid;
        EXPECT_EQ(fromIdl.base, "IUnknown");
        EXPECT_EQ(fromHeader.base, fromIdl.base);
        EXPECT_EQ(fromIdl.methods.size(), e.methods);
        EXPECT_EQ(fromHeader.methods, fromIdl.methods);
    }
}

TEST_F(IdlDeclarations, StructuresHaveTheSameFieldsAndEnumerationsTheSameValues) {
    for (const char* name :
         {"OPCSERVERSTATUS", "OPCITEMDEF", "OPCITEMRESULT", "OPCITEMATTRIBUTES", "OPCITEMSTATE"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(idl->structures[name].empty());
        EXPECT_EQ(header->structures[name], idl->structures[name]);
    }
    EXPECT_EQ(idl->enumerations.size(), 7u);
    EXPECT_EQ(header->enumerations, idl->enumerations);
    EXPECT_EQ(idl->enumerations["OPCSERVERSTATE"].back(), "OPC_STATUS_TEST = 5");
}

}  // namespace
}  // namespace movra
