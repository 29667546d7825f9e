// The COM kit's own rules: what crosses the boundary, when the object base deletes, and
// RETURN_IF_FAILED keeping the first failure.
#include "common/com/com_object.h"
#include "platform/com_ptr.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace movra::com {
namespace {

TEST(ComBoundary, TurnsWhatIsThrownIntoAResultCode) {
    EXPECT_EQ(comBoundary([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(comBoundary([]() -> HRESULT { throw std::runtime_error("x"); }), E_FAIL);
    EXPECT_EQ(comBoundary([]() -> HRESULT { throw 42; }), E_FAIL);
    EXPECT_EQ(comBoundary([]() -> HRESULT { return S_FALSE; }), S_FALSE);
}

HRESULT firstFailure(HRESULT a, HRESULT b, int& reached) {
    RETURN_IF_FAILED(a);
    ++reached;
    RETURN_IF_FAILED(b);
    ++reached;
    return S_OK;
}

TEST(ReturnIfFailed, StopsAtTheFirstFailureAndPassesSuccessCodesOn) {
    int reached = 0;
    EXPECT_EQ(firstFailure(E_INVALIDARG, E_FAIL, reached), E_INVALIDARG);
    EXPECT_EQ(reached, 0);
    EXPECT_EQ(firstFailure(S_FALSE, E_FAIL, reached), E_FAIL);
    EXPECT_EQ(reached, 1);
}

// An object that counts its deletions and answers IEnumString only.
class Counted final : public ComObject<Counted, IEnumString> {
public:
    explicit Counted(int& deleted) : deleted_(deleted) {}
    HRESULT STDMETHODCALLTYPE Next(ULONG, LPOLESTR*, ULONG*) noexcept override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) noexcept override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reset() noexcept override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString**) noexcept override { return E_NOTIMPL; }

private:
    friend class ComObject<Counted, IEnumString>;
    ~Counted() override { ++deleted_; }
    int& deleted_;
};

TEST(ComObjectBase, StartsAtZeroReachesTheCallerThroughQueryInterfaceAndGoesAtTheLastRelease) {
    int deleted = 0;
    platform::ComPtr<IEnumString> held;
    ASSERT_EQ(createInstance<Counted>(IID_IEnumString, held.putVoid(), deleted), S_OK);
    EXPECT_EQ(held->AddRef(), 2u) << "the caller holds the only reference";
    EXPECT_EQ(held->Release(), 1u);
    held.reset();
    EXPECT_EQ(deleted, 1);

    void* out = &deleted;
    EXPECT_EQ(createInstance<Counted>(IID_IConnectionPoint, &out, deleted), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(deleted, 2) << "an object nobody took is deleted at once";
    EXPECT_EQ(createInstance<Counted>(IID_IEnumString, nullptr, deleted), E_INVALIDARG);
}

}  // namespace
}  // namespace movra::com
