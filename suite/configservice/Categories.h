#pragma once
// The objects the configuration object hands out: settings categories, the user collection and
// its enumerator. Each reads the process-wide service state when it is called.

#include "ConfigService.h"
#include "configservice.h"

#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"

#include <oaidl.h>

#include <cstddef>
#include <vector>

namespace QvConfigStandIn {

class CConfigCategory final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IConfigSettings>> {
public:
    explicit CConfigCategory(CategoryPtr data) : m_data(std::move(data)) {}

    STDMETHODIMP Get(LONG settingId, VARIANT* value, LONG* status) override;

private:
    const CategoryPtr m_data;
};

class CUserCollection final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IConfigCollection>> {
public:
    STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
};

// Enumerates the users as they were when it was made; every element is a new VT_DISPATCH category.
class CUserEnumerator final : public NuvCom::CComObjectBase<IEnumVARIANT> {
public:
    CUserEnumerator(std::vector<CategoryPtr> users, std::size_t position)
        : m_users(std::move(users)), m_position(position) {}

    STDMETHODIMP Next(ULONG count, VARIANT* elements, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** clone) override;

private:
    const std::vector<CategoryPtr> m_users;
    std::size_t m_position;  // not locked: like any enumerator, one caller at a time
};

// A new category object as a VT_DISPATCH value (the value must be empty).
void PutCategory(const CategoryPtr& data, VARIANT* value);

}  // namespace QvConfigStandIn
