// Browsing the address space and reading item properties through a server object, against a
// catalogue built from a configuration of the test's own.
#include "opc_fixture.h"

#include "platform/unique_variant.h"
#include "server/opc/catalogue.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace movra::test {
namespace {

using Names = std::vector<std::string>;

constexpr uint8_t kKmt = 1, kKmtG = 3, kKmtU = 4, kUnknownModel = 0;

// SYS, K01..K20, U01..U16: the sections of a KMT-U device.
Names kmtUSections() {
    Names sections{"SYS"};
    for (int n = 1; n <= 36; ++n) {
        char text[4];
        std::snprintf(text, sizeof text, "%c%02d", n <= 20 ? 'K' : 'U', n <= 20 ? n : n - 20);
        sections.push_back(text);
    }
    return sections;
}

const Names kKmtUChannelItems{"T",  "P",  "Q", "dP", "V",  "G", "M",
                              "Qs", "Vs", "N", "Ne", "We", "Wc"};

class Browsing : public OpcObjectsTest {
protected:
    Browsing() { context.catalogue = &catalogue; }

    void SetUp() override { useDevices({{kKmtU, 0x12AB}}); }

    void useDevices(const std::vector<TestDevice>& devices) {
        ASSERT_EQ(catalogue.BuildCatalogue(configurationOf(devices)), S_OK);
        server = newServer();
        ASSERT_EQ(server.queryInterface(IID_IOPCBrowseServerAddressSpace, browse), S_OK);
        ASSERT_EQ(server.queryInterface(IID_IOPCItemProperties, properties), S_OK);
    }

    void releaseAll() override {
        properties.reset();
        browse.reset();
        server.reset();
    }

    HRESULT move(OPCBROWSEDIRECTION direction, const char* text) {
        if (text == nullptr) {
            return browse->ChangeBrowsePosition(direction, nullptr);
        }
        return browse->ChangeBrowsePosition(direction, W(text).c_str());
    }

    std::string path() { return platform::wideToUtf8(serverIn(0)->browsePosition().path()); }

    // Every name the enumerator still gives, asked for three at a time.
    static Names drain(IEnumString* names) {
        Names all;
        for (;;) {
            LPOLESTR chunk[3];
            ULONG fetched = 99;
            HRESULT hr = names->Next(3, chunk, &fetched);
            EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
            EXPECT_EQ(hr == S_OK, fetched == 3);
            for (ULONG i = 0; i < fetched; ++i) {
                platform::CoTaskMemPtr<OLECHAR> owned(chunk[i]);
                all.push_back(platform::wideToUtf8(owned.get()));
            }
            if (hr != S_OK) {
                return all;
            }
        }
    }

    Names list(OPCBROWSETYPE type, HRESULT expected = S_OK, VARTYPE dataType = VT_EMPTY,
               DWORD access = 0) {
        ComPtr<IEnumString> names;
        EXPECT_EQ(browse->BrowseOPCItemIDs(type, W("*").c_str(), dataType, access, names.put()),
                  expected);
        if (!names) {
            ADD_FAILURE() << "no enumerator";
            return {};
        }
        return drain(names.get());
    }

    // GetItemID's answer, or "<hr>" when it fails.
    std::string itemId(const char* data) {
        platform::CoTaskMemPtr<WCHAR> id;
        platform::WString text = W(data);
        HRESULT hr = browse->GetItemID(text.data(), id.put());
        if (FAILED(hr)) {
            EXPECT_EQ(id.get(), nullptr);
            char code[16];
            std::snprintf(code, sizeof code, "<%08X>", static_cast<unsigned>(hr));
            return code;
        }
        return platform::wideToUtf8(id.get());
    }

    Names offeredIds() {
        Names ids;
        for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
            if (catalogue.offersItem(slot)) {
                ids.push_back(platform::wideToUtf8(catalogue.itemIdAt(slot)));
            }
        }
        return ids;
    }

    CMovraItem catalogue{clock};
    ComPtr<IOPCServer> server;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ComPtr<IOPCItemProperties> properties;
};

// --- the tree --------------------------------------------------------------------------------

TEST_F(Browsing, WalksDeviceSectionAndItemsOfAKmtUDevice) {
    OPCNAMESPACETYPE organisation{};
    EXPECT_EQ(browse->QueryOrganization(&organisation), S_OK);
    EXPECT_EQ(organisation, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse->QueryOrganization(nullptr), E_INVALIDARG);

    EXPECT_EQ(list(OPC_BRANCH), Names{"PKE12AB"});
    ASSERT_EQ(move(OPC_BROWSE_DOWN, "PKE12AB"), S_OK);
    EXPECT_EQ(list(OPC_BRANCH), kmtUSections());
    ASSERT_EQ(move(OPC_BROWSE_DOWN, "K01"), S_OK);
    EXPECT_EQ(list(OPC_LEAF), kKmtUChannelItems);
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE12AB.U16"), S_OK);
    EXPECT_EQ(list(OPC_LEAF), (Names{"Gy", "My", "Qy", "Vy", "N", "W", "Ne", "We", "Wm", "Wl"}));
}

TEST_F(Browsing, ListsOnlyOfferedItemsAndEachNameOnce) {
    // The same serial twice, apart: its parts are listed once, in slot order.
    useDevices({{kKmtG, 0x12AB}, {kUnknownModel, 0x0001}, {kKmt, 0x00FF}, {kKmtU, 0x12AB}});
    EXPECT_EQ(list(OPC_BRANCH), (Names{"PKE12AB", "PKE0001", "PKE00FF"}));
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE12AB.SYS"), S_OK);
    EXPECT_EQ(list(OPC_LEAF), (Names{"Pa", "Tv"}));
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE0001.SYS"), S_OK);
    EXPECT_EQ(list(OPC_LEAF), (Names{"Pa", "Tx", "Tv"}));
    // A KMT offers no SYS item, so it has no SYS section.
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE00FF"), S_OK);
    Names sections = list(OPC_BRANCH);
    ASSERT_EQ(sections.size(), 20u);
    EXPECT_EQ(sections.front(), "K01");
    EXPECT_EQ(move(OPC_BROWSE_DOWN, "SYS"), E_FAIL);
}

TEST_F(Browsing, FlatGivesEveryOfferedItemIdInSlotOrderWherever) {
    const Names expected = offeredIds();
    ASSERT_EQ(expected.size(), 422u);
    EXPECT_EQ(expected.front(), "PKE12AB.SYS.Pa");
    EXPECT_EQ(expected.back(), "PKE12AB.U16.Wl");
    for (const char* position : {"", "PKE12AB", "PKE12AB.K07"}) {
        SCOPED_TRACE(position);
        ASSERT_EQ(move(OPC_BROWSE_TO, position), S_OK);
        EXPECT_EQ(list(OPC_FLAT), expected);
    }
}

TEST_F(Browsing, FiltersGiveAnEmptyEnumeratorWithSFalse) {
    struct Case {
        const char* position;
        OPCBROWSETYPE type;
        VARTYPE dataType;
        DWORD access;
        HRESULT result;
        size_t count;
    };
    const Case cases[] = {
        {"PKE12AB.K01", OPC_BRANCH, VT_EMPTY, 0, S_FALSE, 0},
        {"", OPC_LEAF, VT_EMPTY, 0, S_FALSE, 0},
        {"PKE12AB", OPC_LEAF, VT_EMPTY, 0, S_FALSE, 0},
        {"", OPC_FLAT, VT_EMPTY, OPC_WRITEABLE, S_FALSE, 0},
        {"PKE12AB", OPC_BRANCH, VT_EMPTY, OPC_WRITEABLE, S_FALSE, 0},
        {"", OPC_FLAT, VT_EMPTY, 0, S_OK, 422},
        {"", OPC_FLAT, VT_EMPTY, OPC_READABLE, S_OK, 422},
        {"", OPC_FLAT, VT_EMPTY, OPC_READABLE | OPC_WRITEABLE, S_OK, 422},
        {"", OPC_FLAT, VT_R4, 0, S_OK, 422},
        {"", OPC_FLAT, VT_I4, 0, S_OK, 422},
        {"", OPC_FLAT, VT_BSTR, 0, S_OK, 422},
        {"", OPC_FLAT, VT_UNKNOWN, 0, S_FALSE, 0},
        {"PKE12AB", OPC_BRANCH, VT_ARRAY | VT_R4, 0, S_FALSE, 0},
        {"PKE12AB", OPC_BRANCH, VT_UI1, 0, S_OK, 37},
        // Nothing at the position is no filter: S_OK.
        {"PKE12AB.K01", OPC_LEAF, VT_EMPTY, 0, S_OK, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "at '" << c.position << "' type " << c.type << " vt "
                                        << c.dataType << " access " << c.access);
        ASSERT_EQ(move(OPC_BROWSE_TO, c.position), S_OK);
        EXPECT_EQ(list(c.type, c.result, c.dataType, c.access).size(), c.count);
    }
}

TEST_F(Browsing, RefusesUnknownFilterTypesAndAMissingOut) {
    for (int type : {0, 4}) {
        IEnumString* names = reinterpret_cast<IEnumString*>(this);
        EXPECT_EQ(browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(type), nullptr, VT_EMPTY, 0,
                                           &names),
                  OPC_E_INVALIDFILTER);
    }
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, nullptr), E_INVALIDARG);
    IEnumString* paths = reinterpret_cast<IEnumString*>(this);
    EXPECT_EQ(browse->BrowseAccessPaths(W("PKE12AB.K01.T").c_str(), &paths), E_NOTIMPL);
    EXPECT_EQ(paths, nullptr);
}

// --- moving -------------------------------------------------------------------------------------

TEST_F(Browsing, ChangesPositionStepByStepAndStaysPutOnFailure) {
    struct Step {
        int direction;
        const char* text;  // null: no string
        HRESULT result;
        const char* path;
    };
    const Step steps[] = {
        {OPC_BROWSE_UP, "", E_FAIL, ""},
        {OPC_BROWSE_DOWN, "NOT_ID", E_FAIL, ""},
        {OPC_BROWSE_DOWN, "PKE12AB.K01", E_FAIL, ""},
        {OPC_BROWSE_DOWN, "pke12ab", E_FAIL, ""},
        {OPC_BROWSE_DOWN, "PKE12AB", S_OK, "PKE12AB."},
        {OPC_BROWSE_UP, nullptr, E_INVALIDARG, "PKE12AB."},
        {OPC_BROWSE_UP, "0123456789ABCDEF", E_INVALIDARG, "PKE12AB."},
        {OPC_BROWSE_DOWN, "0123456789ABCDE", E_FAIL, "PKE12AB."},
        {OPC_BROWSE_DOWN, "K21", E_FAIL, "PKE12AB."},
        {OPC_BROWSE_DOWN, "K01", S_OK, "PKE12AB.K01."},
        {OPC_BROWSE_DOWN, "T", E_FAIL, "PKE12AB.K01."},
        {0, "", E_INVALIDARG, "PKE12AB.K01."},
        {4, "", E_INVALIDARG, "PKE12AB.K01."},
        {OPC_BROWSE_UP, "", S_OK, "PKE12AB."},
        {OPC_BROWSE_UP, "ignored", S_OK, ""},
        {OPC_BROWSE_TO, "PKE12AB.K01", S_OK, "PKE12AB.K01."},
        {OPC_BROWSE_TO, "PKE12AB.K01.T", E_FAIL, "PKE12AB.K01."},
        {OPC_BROWSE_TO, "PKE12AB.K21", E_FAIL, "PKE12AB.K01."},
        {OPC_BROWSE_TO, "NOT_ID", E_FAIL, "PKE12AB.K01."},
        {OPC_BROWSE_TO, nullptr, E_INVALIDARG, "PKE12AB.K01."},
        {OPC_BROWSE_TO, "PKE12AB", S_OK, "PKE12AB."},
        {OPC_BROWSE_TO, "PKE12AB.U16", S_OK, "PKE12AB.U16."},
        {OPC_BROWSE_TO, "", S_OK, ""},
        {OPC_BROWSE_DOWN, nullptr, E_INVALIDARG, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "direction " << step.direction << " '"
                                        << (step.text ? step.text : "(null)") << "'");
        EXPECT_EQ(move(static_cast<OPCBROWSEDIRECTION>(step.direction), step.text), step.result);
        EXPECT_EQ(path(), step.path);
    }
}

TEST_F(Browsing, GetItemIdQualifiesANameAtThePosition) {
    struct Case {
        const char* position;
        const char* data;
        std::string expected;
    };
    const Case cases[] = {
        {"", "PKE12AB", "PKE12AB"},
        {"", "NOT_ID", "<80004005>"},
        // An offered item's full ID, as a flat browse gives it, is its own at any position;
        // a full ID of an item the model does not offer, or of a section, is not.
        {"", "PKE12AB.K01.T", "PKE12AB.K01.T"},
        {"PKE12AB", "PKE12AB.U16.W", "PKE12AB.U16.W"},
        {"PKE12AB.K20", "PKE12AB.K01.T", "PKE12AB.K01.T"},
        {"", "PKE12AB.K01.To", "<80004005>"},
        {"", "PKE12AB.K01", "<80004005>"},
        {"PKE12AB", "PKE12AB.K01", "<80004005>"},
        {"PKE12AB", "K01", "PKE12AB.K01"},
        {"PKE12AB", "K21", "<80004005>"},
        {"PKE12AB.K01", "T", "PKE12AB.K01.T"},
        {"PKE12AB.K20", "Wc", "PKE12AB.K20.Wc"},
        {"PKE12AB.K01", "To", "<80004005>"},
        {"PKE12AB.K01", "NOT_ID", "<80004005>"},
        {"PKE12AB.K01", "0123456789ABCDEF", "<80070057>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "at '" << c.position << "' " << c.data);
        ASSERT_EQ(move(OPC_BROWSE_TO, c.position), S_OK);
        EXPECT_EQ(itemId(c.data), c.expected);
    }
    LPWSTR id = reinterpret_cast<LPWSTR>(this);
    EXPECT_EQ(browse->GetItemID(nullptr, &id), E_INVALIDARG);
    EXPECT_EQ(id, nullptr);
    platform::WString text = W("T");
    EXPECT_EQ(browse->GetItemID(text.data(), nullptr), E_INVALIDARG);
}

TEST_F(Browsing, ConcurrentMovesNeverTearThePosition) {
    std::atomic<bool> done{false};
    std::thread mover([&] {
        for (int i = 0; i < 2000; ++i) {
            EXPECT_EQ(move(OPC_BROWSE_TO, i % 2 ? "PKE12AB.K01" : ""), S_OK);
        }
        done = true;
    });
    int looks = 0;
    while (!done || looks < 10) {
        ++looks;
        const std::string seen = path();
        EXPECT_TRUE(seen.empty() || seen == "PKE12AB.K01.") << seen;
        const std::string qualified = itemId("T");
        EXPECT_TRUE(qualified == "PKE12AB.K01.T" || qualified == "<80004005>") << qualified;
    }
    mover.join();
}

// --- the enumerator -----------------------------------------------------------------------------

TEST_F(Browsing, EnumeratorKeepsItsNamesAndItsCloneTakesThePositionOfTheMoment) {
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE12AB"), S_OK);
    ComPtr<IEnumString> sections;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, nullptr, VT_EMPTY, 0, sections.put()), S_OK);
    ASSERT_EQ(move(OPC_BROWSE_UP, ""), S_OK);

    LPOLESTR first[2] = {};
    ASSERT_EQ(sections->Next(2, first, nullptr), S_OK);
    platform::CoTaskMemPtr<OLECHAR> a(first[0]), b(first[1]);
    EXPECT_EQ(platform::wideToUtf8(a.get()), "SYS");
    EXPECT_EQ(sections->Skip(34), S_OK);
    EXPECT_EQ(drain(sections.get()), Names{"U16"});
    EXPECT_EQ(sections->Skip(1), S_FALSE);
    EXPECT_EQ(sections->Next(0, nullptr, nullptr), S_OK);
    EXPECT_EQ(sections->Next(1, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(sections->Reset(), S_OK);
    EXPECT_EQ(drain(sections.get()), kmtUSections());

    // The clone lists the root the server object is at now.
    ComPtr<IEnumString> clone;
    ASSERT_EQ(sections->Clone(clone.put()), S_OK);
    EXPECT_EQ(drain(clone.get()), Names{"PKE12AB"});
    EXPECT_EQ(sections->Clone(nullptr), E_INVALIDARG);
}

TEST_F(Browsing, CloneWeighsTheFilterTypeAtTheNewPositionEvenAfterTheServerObjectIsGone) {
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE12AB.K01"), S_OK);
    ComPtr<IEnumString> leaves;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, 0, leaves.put()), S_OK);
    ComPtr<IEnumString> writeable;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, OPC_WRITEABLE, writeable.put()),
              S_FALSE);
    ASSERT_EQ(move(OPC_BROWSE_TO, ""), S_OK);
    // Device parts are no leaves; a filtered-out list stays empty.
    ComPtr<IEnumString> clone;
    ASSERT_EQ(leaves->Clone(clone.put()), S_OK);
    EXPECT_EQ(drain(clone.get()), Names{});
    ASSERT_EQ(writeable->Clone(clone.put()), S_OK);
    EXPECT_EQ(drain(clone.get()), Names{});
    ASSERT_EQ(move(OPC_BROWSE_TO, "PKE12AB.K02"), S_OK);
    ASSERT_EQ(leaves->Clone(clone.put()), S_OK);
    EXPECT_EQ(drain(clone.get()), kKmtUChannelItems);

    // The position outlives the server object, so an enumerator and its clones still work.
    releaseAll();
    ASSERT_EQ(leaves->Clone(clone.put()), S_OK);
    EXPECT_EQ(drain(leaves.get()), kKmtUChannelItems);
    EXPECT_EQ(drain(clone.get()), kKmtUChannelItems);
}

// --- item properties ----------------------------------------------------------------------------

TEST_F(Browsing, PropertiesOfAnItemAreTheSixWithItsCurrentValue) {
    const float reading = 21.5f;
    DWORD bits;
    std::memcpy(&bits, &reading, sizeof bits);
    const SlotTime time{46100.25, {}};
    ASSERT_TRUE(catalogue.writeSlot(catalogue.findSlot(W("PKE12AB.K01.T").c_str()), bits,
                                    OPC_QUALITY_GOOD, &time));
    platform::WString item = W("PKE12AB.K01.T");
    const char* const texts[] = {
        "Item Canonical DataType", "Item Value",         "Item Quality",
        "Item Timestamp",          "Item Access Rights", "Server Scan Rate"};
    const VARTYPE types[] = {VT_I2, VT_R4, VT_I2, VT_DATE, VT_I4, VT_R4};
    const double values[] = {VT_R4, reading, OPC_QUALITY_GOOD, time.date, OPC_READABLE, 1000.0};

    DWORD count = 0;
    platform::CoTaskMemPtr<DWORD> ids;
    platform::CoTaskMemPtr<LPWSTR> descriptions;
    platform::CoTaskMemPtr<VARTYPE> givenTypes;
    ASSERT_EQ(properties->QueryAvailableProperties(item.data(), &count, ids.put(),
                                                   descriptions.put(), givenTypes.put()),
              S_OK);
    ASSERT_EQ(count, 6u);
    for (DWORD i = 0; i < count; ++i) {
        platform::CoTaskMemPtr<WCHAR> text(descriptions[i]);
        EXPECT_EQ(ids[i], i + 1);
        EXPECT_EQ(platform::wideToUtf8(text.get()), texts[i]);
        EXPECT_EQ(givenTypes[i], types[i]);
    }

    // Unknown property IDs get an empty VARIANT and OPC_E_INVALID_PID, the call S_FALSE.
    struct Case {
        std::vector<DWORD> ids;
        HRESULT result;
    };
    const Case cases[] = {{{2, 7}, S_FALSE}, {{1, 2, 3, 4, 5, 6}, S_OK}, {{0, 6, 4000}, S_FALSE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ids.size() << " IDs from " << c.ids.front());
        std::vector<DWORD> asked = c.ids;
        platform::CoTaskMemPtr<VARIANT> got;
        platform::CoTaskMemPtr<HRESULT> errors;
        ASSERT_EQ(properties->GetItemProperties(item.data(), static_cast<DWORD>(asked.size()),
                                                asked.data(), got.put(), errors.put()),
                  c.result);
        for (size_t i = 0; i < asked.size(); ++i) {
            const DWORD id = asked[i];
            const bool valid = id >= 1 && id <= 6;
            EXPECT_EQ(errors[i], valid ? S_OK : OPC_E_INVALID_PID);
            EXPECT_EQ(got[i].vt, valid ? types[id - 1] : VARTYPE{VT_EMPTY});
            if (valid) {
                platform::UniqueVariant wide;
                ASSERT_EQ(VariantChangeType(wide.get(), &got[i], 0, VT_R8), S_OK);
                EXPECT_EQ(wide->dblVal, values[id - 1]) << "ID " << id;
            }
        }
    }

    // No property has an item ID of its own.
    DWORD lookedUp[] = {1, 6, 0, 7};
    platform::CoTaskMemPtr<LPWSTR> newIds;
    platform::CoTaskMemPtr<HRESULT> errors;
    ASSERT_EQ(properties->LookupItemIDs(item.data(), 4, lookedUp, newIds.put(), errors.put()),
              S_FALSE);
    const HRESULT expected[] = {E_FAIL, E_FAIL, OPC_E_INVALID_PID, OPC_E_INVALID_PID};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(newIds[i], nullptr);
        EXPECT_EQ(errors[i], expected[i]);
    }
}

TEST_F(Browsing, PropertyMethodsRefuseMissingOutsAndUnknownItems) {
    platform::WString known = W("PKE12AB.K01.T");
    DWORD count = 9;
    DWORD* ids = reinterpret_cast<DWORD*>(this);
    LPWSTR* descriptions = reinterpret_cast<LPWSTR*>(this);
    VARTYPE* types = reinterpret_cast<VARTYPE*>(this);
    DWORD requested[] = {2};
    VARIANT* values = reinterpret_cast<VARIANT*>(this);
    HRESULT* errors = reinterpret_cast<HRESULT*>(this);
    LPWSTR* newIds = reinterpret_cast<LPWSTR*>(this);
    EXPECT_EQ(
        properties->QueryAvailableProperties(known.data(), &count, &ids, &descriptions, nullptr),
        E_INVALIDARG);
    EXPECT_EQ(properties->GetItemProperties(known.data(), 0, requested, &values, &errors),
              E_INVALIDARG);
    EXPECT_EQ(properties->LookupItemIDs(known.data(), 1, nullptr, &newIds, &errors), E_INVALIDARG);
    for (const char* unknown : {"PKE12AB.K01.To", "pke12ab.k01.t", "NOT_ID", "PKE12AB.K01", ""}) {
        SCOPED_TRACE(unknown);
        platform::WString text = W(unknown);
        EXPECT_EQ(
            properties->QueryAvailableProperties(text.data(), &count, &ids, &descriptions, &types),
            OPC_E_UNKNOWNITEMID);
        EXPECT_EQ(properties->GetItemProperties(text.data(), 1, requested, &values, &errors),
                  OPC_E_UNKNOWNITEMID);
        EXPECT_EQ(properties->LookupItemIDs(text.data(), 1, requested, &newIds, &errors),
                  OPC_E_UNKNOWNITEMID);
    }
    EXPECT_EQ(properties->GetItemProperties(nullptr, 1, requested, &values, &errors),
              OPC_E_UNKNOWNITEMID);
    // Every out was cleared on the way.
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(descriptions, nullptr);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(newIds, nullptr);
}

}  // namespace
}  // namespace movra::test
