#pragma once
// One usage event as named text values (dimensions), sent as one flat JSON object to the suite's
// analytics service. Names starting with "__" belong to the library.

#include <map>
#include <memory>
#include <string>

namespace Korin {
namespace Analytics {

using Record = std::map<std::wstring, std::wstring>;

namespace internal {

// At least two characters, starting with "__".
bool IsReservedName(const wchar_t* name) noexcept;

class CTracker {
public:
    explicit CTracker(const wchar_t* trackerType);
    virtual ~CTracker();
    CTracker(CTracker&&) noexcept;
    CTracker& operator=(CTracker&&) noexcept;

    // Adds the library's dimensions and sends the record; nothing is reported back.
    virtual void Send();
    // An empty name is ignored; otherwise inserts or replaces.
    virtual void Set(const std::wstring& name, const std::wstring& value);

    const Record& GetRecord() const;

    class _Impl;

private:
    std::unique_ptr<_Impl> m_impl;
};

// The chaining setters of product code. `Event` is the derived tracker.
template <class Event, class Base = CTracker>
class CFluentTracker : public Base {
public:
    using Base::Base;

    // A null name is ignored (logged); a null value is an empty text; a reserved name is refused
    // (logged).
    Event& Add(const wchar_t* name, const wchar_t* value);
    Event& Add(const wchar_t* name, int value) { return Add(name, std::to_wstring(value).c_str()); }
    Event& UserInitiated(bool initiated) { return Add(L"UserInitiated", initiated ? L"true" : L"false"); }
};

// Logs for Add; one place for both event versions.
void LogNullName(const wchar_t* function);
void LogReservedName(const wchar_t* function, const wchar_t* name, const wchar_t* value);

template <class Event, class Base>
Event& CFluentTracker<Event, Base>::Add(const wchar_t* name, const wchar_t* value) {
    if (name == nullptr) {
        LogNullName(Event::kAddFunction);
    } else if (IsReservedName(name)) {
        LogReservedName(Event::kAddFunction, name, value != nullptr ? value : L"");
    } else {
        this->Set(name, value != nullptr ? value : L"");
    }
    return static_cast<Event&>(*this);
}

}  // namespace internal
}  // namespace Analytics
}  // namespace Korin
