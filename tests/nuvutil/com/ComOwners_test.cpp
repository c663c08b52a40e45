// BSTR, VARIANT, SAFEARRAY and CoInitializeEx owners: ownership moves, releases happen once.
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

namespace {

using NuvCom::CBstr;
using NuvCom::CCoInitialize;
using NuvCom::CSafeArray;
using NuvCom::CSafeArrayData;
using NuvCom::CSafeArrayLock;
using NuvCom::CVariant;

// Counts references taken and given back; lives on the stack, so it never deletes itself.
class CCountingUnknown : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (::IsEqualIID(riid, __uuidof(IUnknown))) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++addRefs - releases); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(addRefs - ++releases); }

    LONG Outstanding() const { return addRefs - releases; }

    LONG addRefs = 0;
    LONG releases = 0;
};

TEST(CBstrTest, NullAndEmptyAreBothEmptyStrings) {
    const CBstr none(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(nullptr, none.Get());
    EXPECT_TRUE(none.Empty());
    const CBstr empty(std::wstring_view(L""));
    EXPECT_NE(nullptr, empty.Get());
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(L"", empty.Str());
}

TEST(CBstrTest, MoveHandsOverTheSameAllocationCopyMakesANewOne) {
    CBstr original(std::wstring_view(L"x\0y", 3));
    const BSTR allocation = original.Get();
    ASSERT_EQ(3u, original.Length());

    CBstr moved(std::move(original));
    EXPECT_EQ(allocation, moved.Get());
    EXPECT_EQ(nullptr, original.Get());

    CBstr assigned;
    assigned = std::move(moved);
    EXPECT_EQ(allocation, assigned.Get());
    EXPECT_EQ(nullptr, moved.Get());

    const CBstr copy(assigned);
    EXPECT_NE(allocation, copy.Get());
    EXPECT_EQ(assigned.View(), copy.View()) << "embedded null kept";

    CBstr& alias = assigned;
    assigned = alias;
    EXPECT_EQ(std::wstring_view(L"x\0y", 3), assigned.View());

    BSTR out = nullptr;
    ASSERT_EQ(S_OK, copy.CopyTo(&out));
    CBstr outOwner;
    outOwner.Reset(out);
    EXPECT_NE(copy.Get(), outOwner.Get());
    EXPECT_EQ(copy.View(), outOwner.View());
    EXPECT_EQ(E_POINTER, copy.CopyTo(nullptr));

    BSTR detached = outOwner.Detach();
    EXPECT_EQ(nullptr, outOwner.Get());
    ::SysFreeString(detached);
}

TEST(CVariantTest, HoldsOneReferenceOfAnInterfaceAndReleasesItOnce) {
    CCountingUnknown object;
    {
        const CVariant value(static_cast<IUnknown*>(&object));
        EXPECT_EQ(VT_UNKNOWN, value.Type());
        EXPECT_EQ(1, object.Outstanding());
    }
    EXPECT_EQ(1, object.addRefs);
    EXPECT_EQ(1, object.releases);
}

TEST(CVariantTest, MoveTransfersTheReferenceCopyAddsOne) {
    CCountingUnknown first;
    CCountingUnknown second;
    {
        CVariant a(static_cast<IUnknown*>(&first));
        CVariant b(std::move(a));
        EXPECT_EQ(VT_EMPTY, a.Type());
        EXPECT_EQ(1, first.addRefs);
        EXPECT_EQ(0, first.releases);

        CVariant c(static_cast<IUnknown*>(&second));
        c = std::move(b);  // drops `second`
        EXPECT_EQ(1, second.releases);
        EXPECT_EQ(0, first.releases);

        CVariant& alias = c;
        c = std::move(alias);
        EXPECT_EQ(VT_UNKNOWN, c.Type());
        EXPECT_EQ(1, first.Outstanding());

        const CVariant copy(c);
        EXPECT_EQ(2, first.Outstanding());
    }
    EXPECT_EQ(0, first.Outstanding());
    EXPECT_EQ(0, second.Outstanding());
    EXPECT_EQ(1, second.addRefs);
}

TEST(CVariantTest, PutClearsFirstAndDetachGivesTheReferenceAway) {
    CCountingUnknown object;
    CVariant value(static_cast<IUnknown*>(&object));
    VARIANT* out = value.Put();
    EXPECT_EQ(0, object.Outstanding());
    EXPECT_EQ(VT_EMPTY, out->vt);

    CVariant again(static_cast<IUnknown*>(&object));
    VARIANT raw;
    ::VariantInit(&raw);
    again.Detach(&raw);
    EXPECT_EQ(VT_EMPTY, again.Type());
    EXPECT_EQ(1, object.Outstanding());
    ::VariantClear(&raw);
    EXPECT_EQ(0, object.Outstanding());

    CVariant attached;
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = &object;
    object.AddRef();
    attached.Attach(&source);
    EXPECT_EQ(VT_EMPTY, source.vt);
    attached.Clear();
    EXPECT_EQ(0, object.Outstanding());
}

TEST(CVariantTest, StringsKeepEmbeddedNullsAndConvert) {
    CVariant text(std::wstring_view(L"4\0" L"2", 3));
    ASSERT_EQ(VT_BSTR, text.Type());
    EXPECT_EQ(3u, ::SysStringLen(text.Get()->bstrVal));

    CVariant number(L"42");
    ASSERT_EQ(S_OK, number.ChangeType(VT_I4));
    EXPECT_EQ(42, number.Get()->lVal);
    EXPECT_EQ(VT_BOOL, CVariant(true).Type());
    EXPECT_EQ(VARIANT_TRUE, CVariant(true).Get()->boolVal);
}

TEST(CSafeArrayTest, BoundsAndElementsFollowTheLowerBound) {
    CSafeArray array = CSafeArray::CreateVector(VT_I4, 3, 1);
    EXPECT_EQ(1u, array.Dimensions());
    EXPECT_EQ(VT_I4, array.ElementType());
    EXPECT_EQ(1, array.LowerBound());
    EXPECT_EQ(3, array.UpperBound());
    EXPECT_EQ(3u, array.Count());

    for (LONG index = 1; index <= 3; ++index) {
        LONG value = index * 10;
        ASSERT_EQ(S_OK, array.PutElement(index, &value));
    }
    LONG value = 0;
    EXPECT_EQ(S_OK, array.GetElement(3, &value));
    EXPECT_EQ(30, value);
    EXPECT_EQ(DISP_E_BADINDEX, array.GetElement(0, &value));
    EXPECT_EQ(DISP_E_BADINDEX, array.GetElement(4, &value));
    EXPECT_EQ(DISP_E_BADINDEX, array.PutElement(4, &value));

    {
        const CSafeArrayData<LONG> data(array.Get());
        ASSERT_EQ(3u, data.size());
        EXPECT_EQ(10, data.at(0));
        EXPECT_EQ(30, data.at(2));
        try {
            data.at(3);
            ADD_FAILURE() << "no exception past the end";
        } catch (const NuvCom::CHResultError& e) {
            EXPECT_EQ(DISP_E_BADINDEX, e.HResult());
        }
    }
    try {
        const CSafeArrayData<SHORT> wrong(array.Get());
        ADD_FAILURE() << "element size not checked";
    } catch (const NuvCom::CHResultError& e) {
        EXPECT_EQ(DISP_E_TYPEMISMATCH, e.HResult());
    }
    try {
        array.LowerBound(2);
        ADD_FAILURE() << "a missing dimension has no bound";
    } catch (const NuvCom::CHResultError& e) {
        EXPECT_EQ(DISP_E_BADINDEX, e.HResult());
    }

    const CSafeArray empty = CSafeArray::CreateVector(VT_I4, 0);
    EXPECT_EQ(0u, empty.Count());
}

TEST(CSafeArrayTest, LockScopesBlockDestructionUntilTheyEnd) {
    CSafeArray array = CSafeArray::CreateVector(VT_I4, 2);
    {
        const CSafeArrayLock lock(array.Get());
        EXPECT_EQ(DISP_E_ARRAYISLOCKED, ::SafeArrayDestroy(array.Get()));
        {
            const CSafeArrayData<LONG> data(array.Get());  // nests with the lock
            EXPECT_EQ(DISP_E_ARRAYISLOCKED, ::SafeArrayDestroy(array.Get()));
        }
        EXPECT_EQ(DISP_E_ARRAYISLOCKED, ::SafeArrayDestroy(array.Get()));
    }
    SAFEARRAY* raw = array.Detach();
    EXPECT_EQ(S_OK, ::SafeArrayDestroy(raw)) << "every lock was undone";
}

TEST(CSafeArrayTest, InterfaceElementsAreReleasedOnceWhateverMoves) {
    CCountingUnknown object;
    {
        CSafeArray array = CSafeArray::CreateVector(VT_UNKNOWN, 2);
        ASSERT_EQ(S_OK, array.PutElement(0, static_cast<IUnknown*>(&object)));
        EXPECT_EQ(1, object.Outstanding());

        CSafeArray moved(std::move(array));
        EXPECT_EQ(nullptr, array.Get());
        CSafeArray assigned;
        assigned = std::move(moved);
        EXPECT_EQ(1, object.Outstanding());

        const CSafeArray copy = assigned.Copy();
        EXPECT_NE(copy.Get(), assigned.Get());
        EXPECT_EQ(2, object.Outstanding());

        IUnknown* element = nullptr;
        ASSERT_EQ(S_OK, copy.GetElement(0, &element));
        EXPECT_EQ(&object, element);
        element->Release();

        assigned.Reset();
        EXPECT_EQ(1, object.Outstanding());
    }
    EXPECT_EQ(0, object.Outstanding());
}

// Each case runs on a thread of its own, whose apartment starts uninitialised.
template <class Body>
void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

// S_OK from CoInitializeEx: the thread was not initialised before this call.
bool WasUninitialised(DWORD flags) {
    const HRESULT hr = ::CoInitializeEx(nullptr, flags);
    if (SUCCEEDED(hr)) {
        ::CoUninitialize();
    }
    return hr == S_OK;
}

TEST(CCoInitializeTest, UninitialisesExactlyWhatItInitialised) {
    OnNewThread([] {
        {
            const CCoInitialize com(COINIT_MULTITHREADED);
            EXPECT_EQ(S_OK, com.Result());
        }
        EXPECT_TRUE(WasUninitialised(COINIT_MULTITHREADED));
    });

    // S_FALSE took a reference too; leaving must give it back, and only it.
    OnNewThread([] {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        {
            const CCoInitialize com(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(S_FALSE, com.Result());
            EXPECT_TRUE(com.Succeeded());
        }
        EXPECT_FALSE(WasUninitialised(COINIT_APARTMENTTHREADED));
        ::CoUninitialize();
        EXPECT_TRUE(WasUninitialised(COINIT_APARTMENTTHREADED));
    });

    // A refused model took nothing; leaving must not tear down the caller's apartment.
    OnNewThread([] {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        {
            const CCoInitialize com(COINIT_MULTITHREADED);
            EXPECT_EQ(RPC_E_CHANGED_MODE, com.Result());
            EXPECT_FALSE(com.Succeeded());
        }
        EXPECT_FALSE(WasUninitialised(COINIT_APARTMENTTHREADED));
        ::CoUninitialize();
        EXPECT_TRUE(WasUninitialised(COINIT_APARTMENTTHREADED));
    });
}

}  // namespace
