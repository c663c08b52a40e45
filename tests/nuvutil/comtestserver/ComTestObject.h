#pragma once

#include "NuvComTest.h"
#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"

#include <atomic>

class CComTestObject final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<INuvComTest>> {
public:
    STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override;
    STDMETHODIMP Echo(BSTR text, BSTR* echoed) override;
    STDMETHODIMP get_Counter(LONG* value) override;
    STDMETHODIMP put_Counter(LONG value) override;
    STDMETHODIMP Fail(LONG kind) override;

private:
    std::atomic<LONG> m_counter{0};  // threading model Both: any thread may call
};
