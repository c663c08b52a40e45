#pragma once
// Reference-counted base for COM objects implementing one or more interfaces; every live object
// holds a module lock, so DllCanUnloadNow answers S_FALSE while one exists.
//
//     class CThing final : public NuvCom::CComObjectBase<IThing, NuvCom::InterfaceChain<IDual, IDispatch>> {...};
//     Microsoft::WRL::ComPtr<CThing> thing = NuvCom::MakeComObject<CThing>(args...);
//
// Each entry is an interface (answers its own __uuidof), an InterfaceChain<I, Bases...> (answers I
// and the listed base interfaces with I's pointer), or an implementation mixin deriving from its
// interface that declares `using ComInterface = I;` and `static bool AnswersFor(REFIID)`
// (e.g. CDispatchImpl<I>).

#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/Module.h"

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <new>
#include <type_traits>
#include <utility>

namespace NuvCom {

template <class I, class... Bases>
struct InterfaceChain : I {
    using ComInterface = I;
    static bool AnswersFor(REFIID riid) noexcept {
        return ::IsEqualIID(riid, __uuidof(I)) || (::IsEqualIID(riid, __uuidof(Bases)) || ...);
    }
};

namespace detail {

template <class Entry, class = void>
struct EntryTraits {
    using Interface = Entry;
    static bool AnswersFor(REFIID riid) noexcept { return ::IsEqualIID(riid, __uuidof(Entry)); }
};

template <class Entry>
struct EntryTraits<Entry, std::void_t<typename Entry::ComInterface>> {
    using Interface = typename Entry::ComInterface;
    static bool AnswersFor(REFIID riid) noexcept { return Entry::AnswersFor(riid); }
};

template <class First, class... Rest>
struct FirstOf {
    using Type = First;
};

}  // namespace detail

template <class... Entries>
class CComObjectBase : public Entries... {
    static_assert(sizeof...(Entries) > 0, "a COM object implements at least one interface");

public:
    CComObjectBase(const CComObjectBase&) = delete;
    CComObjectBase& operator=(const CComObjectBase&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (::IsEqualIID(riid, __uuidof(IUnknown))) {
            *ppv = Identity();
        } else {
            // The first entry that answers wins; the fold stops there.
            (void)((Find<Entries>(riid, ppv)) || ...);
        }
        if (*ppv == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }

    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = ::InterlockedDecrement(&m_refCount);
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

protected:
    CComObjectBase() noexcept = default;
    // Virtual here, in the implementation: the slots land after the interfaces' own.
    virtual ~CComObjectBase() = default;

    // The object's IUnknown identity.
    IUnknown* Identity() noexcept {
        using First = typename detail::EntryTraits<typename detail::FirstOf<Entries...>::Type>::Interface;
        return static_cast<First*>(this);
    }

private:
    template <class Entry>
    bool Find(REFIID riid, void** ppv) noexcept {
        using Traits = detail::EntryTraits<Entry>;
        if (!Traits::AnswersFor(riid)) {
            return false;
        }
        *ppv = static_cast<typename Traits::Interface*>(static_cast<Entry*>(this));
        return true;
    }

    LONG m_refCount = 1;  // the creator's reference, taken over by MakeComObject
    CModuleLock m_moduleLock;
};

// Creates an object with one reference owned by the returned pointer. Throws what the
// constructor throws, or std::bad_alloc.
template <class T, class... Args>
Microsoft::WRL::ComPtr<T> MakeComObject(Args&&... args) {
    T* created = new T(std::forward<Args>(args)...);
    // MinGW's ComPtr::Attach adds a reference (WRL's does not): copy, then drop the creator's one.
    Microsoft::WRL::ComPtr<T> object(created);
    created->Release();
    return object;
}

// Creates an object and hands out the interface asked for: the body of a class factory.
template <class T>
HRESULT CreateComObject(REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    return ComBoundary(L"CreateComObject", [&] { return MakeComObject<T>()->QueryInterface(riid, ppv); });
}

}  // namespace NuvCom
