// The ownership helpers: every reference, block and VARIANT is given back exactly once.
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/scope_exit.h"
#include "platform/unique_variant.h"
#include "platform/wide.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using platform::ComPtr;

// A COM object that counts its references and remembers when it was destroyed.
class Counted final : public IUnknown {
public:
    explicit Counted(bool& destroyed) : destroyed(destroyed) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count); }
    ULONG STDMETHODCALLTYPE Release() override {
        EXPECT_GT(count, 0) << "released once too often";
        LONG left = --count;
        if (left == 0) {
            destroyed = true;
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    LONG references() const { return count; }

private:
    virtual ~Counted() = default;
    LONG count = 0;
    bool& destroyed;
};

// A callee that hands out a new reference through an out-parameter.
HRESULT handOut(IUnknown* object, IUnknown** out) {
    return object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out));
}

TEST(ComPtr, CopiesShareAndMovesTransferTheReference) {
    bool destroyed = false;
    {
        ComPtr<Counted> first(new Counted(destroyed));
        EXPECT_EQ(first->references(), 1);
        ComPtr<Counted> second = first;
        EXPECT_EQ(first->references(), 2);
        ComPtr<Counted> third = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_EQ(first->references(), 2);
        third = first;  // same object: no change
        EXPECT_EQ(first->references(), 2);
        third.reset();
        EXPECT_EQ(first->references(), 1);
    }
    EXPECT_TRUE(destroyed);
}

TEST(ComPtr, PutReleasesWhatWasHeldBeforeTheCalleeFillsIt) {
    bool firstGone = false;
    bool secondGone = false;
    auto* first = new Counted(firstGone);
    auto* second = new Counted(secondGone);
    ComPtr<Counted> keepSecond(second);
    {
        ComPtr<IUnknown> slot;
        ASSERT_EQ(handOut(first, slot.put()), S_OK);
        EXPECT_EQ(first->references(), 1);
        // Reusing the slot must not leak the first object.
        ASSERT_EQ(handOut(second, slot.put()), S_OK);
        EXPECT_TRUE(firstGone);
        EXPECT_EQ(second->references(), 2);
    }
    EXPECT_EQ(second->references(), 1);
    EXPECT_FALSE(secondGone);
}

TEST(ComPtr, DetachAndCopyHandReferencesToTheCaller) {
    bool destroyed = false;
    IUnknown* out = nullptr;
    {
        ComPtr<Counted> held(new Counted(destroyed));
        out = held.copy();
        EXPECT_EQ(held->references(), 2);
    }
    EXPECT_FALSE(destroyed);
    ComPtr<IUnknown> adopted = ComPtr<IUnknown>::attach(out);
    IUnknown* raw = adopted.detach();
    EXPECT_FALSE(adopted);
    EXPECT_FALSE(destroyed);
    raw->Release();
    EXPECT_TRUE(destroyed);
}

TEST(ComPtr, QueryInterfaceFailureLeavesTheResultEmpty) {
    bool destroyed = false;
    ComPtr<Counted> held(new Counted(destroyed));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(held.queryInterface(IID_IClassFactory, factory), E_NOINTERFACE);
    EXPECT_FALSE(factory);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(held.queryInterface(IID_IUnknown, unknown), S_OK);
    EXPECT_EQ(held->references(), 2);
    ComPtr<Counted> none;
    EXPECT_EQ(none.queryInterface(IID_IUnknown, unknown), E_POINTER);
    EXPECT_FALSE(unknown);
    EXPECT_EQ(held->references(), 1);
}

// A typical COM method: builds an array, fails half-way or hands it over.
HRESULT fillCodes(DWORD count, bool failHalfway, HRESULT** out) {
    *out = nullptr;
    auto codes = platform::CoTaskMemPtr<HRESULT>::allocate(count);
    if (!codes) {
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (failHalfway && i == count / 2) {
            return E_FAIL;  // the owner frees the partial array
        }
        codes[i] = static_cast<HRESULT>(i);
    }
    *out = codes.release();
    return S_OK;
}

TEST(CoTaskMemPtr, FreesOnEarlyReturnAndHandsOverOnSuccess) {
    HRESULT* codes = nullptr;
    EXPECT_EQ(fillCodes(8, true, &codes), E_FAIL);
    EXPECT_EQ(codes, nullptr);
    ASSERT_EQ(fillCodes(8, false, &codes), S_OK);
    ASSERT_NE(codes, nullptr);
    EXPECT_EQ(codes[7], 7);
    CoTaskMemFree(codes);  // the caller's to free; the sanitizer build checks nothing leaked
}

TEST(CoTaskMemPtr, AllocatesZeroedAndRefusesOverflowingSizes) {
    auto block = platform::CoTaskMemPtr<uint64_t>::allocate(16);
    ASSERT_TRUE(block);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(block[i], 0u);
    }
    auto huge = platform::CoTaskMemPtr<uint64_t>::allocate(SIZE_MAX / 4);
    EXPECT_FALSE(huge);

    platform::CoTaskMemPtr<WCHAR> text;
    *text.put() = static_cast<WCHAR*>(CoTaskMemAlloc(4 * sizeof(WCHAR)));
    EXPECT_TRUE(text);
    *text.put() = nullptr;  // put() freed the first block
    EXPECT_FALSE(text);
}

TEST(UniqueVariant, ReleasesTheInterfaceItHolds) {
    bool destroyed = false;
    auto* object = new Counted(destroyed);
    object->AddRef();  // the test's own reference
    {
        platform::UniqueVariant value;
        value->vt = VT_UNKNOWN;
        value->punkVal = object;
        object->AddRef();
        platform::UniqueVariant moved = std::move(value);
        EXPECT_EQ(value->vt, VT_EMPTY);
        EXPECT_EQ(object->references(), 2);
    }
    EXPECT_EQ(object->references(), 1);
    object->Release();
    EXPECT_TRUE(destroyed);
}

TEST(UniqueVariant, ReleaseHandsTheContentsOver) {
    VARIANT out;
    {
        platform::UniqueVariant value;
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(U16("Item Value"));
        value.release(&out);
        EXPECT_EQ(value->vt, VT_EMPTY);
    }
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(out.bstrVal), 10u);
    VariantClear(&out);

    platform::UniqueVariant reused;
    reused->vt = VT_BSTR;
    reused->bstrVal = SysAllocString(U16("first"));
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_R4;
    source.fltVal = 2.5f;
    // put() clears the BSTR before the callee writes (the sanitizer build sees a leak otherwise).
    ASSERT_EQ(VariantCopy(reused.put(), &source), S_OK);
    EXPECT_EQ(reused->vt, VT_R4);
}

TEST(ScopeExit, RunsOnEarlyReturnAndExceptionButNotAfterRelease) {
    int undone = 0;
    auto work = [&](bool commit, bool fail) {
        auto rollback = platform::scopeExit([&] { ++undone; });
        if (fail) {
            throw std::runtime_error("failed");
        }
        if (commit) {
            rollback.release();
        }
    };
    work(false, false);
    EXPECT_EQ(undone, 1);
    EXPECT_THROW(work(false, true), std::runtime_error);
    EXPECT_EQ(undone, 2);
    work(true, false);
    EXPECT_EQ(undone, 2);
}

}  // namespace
