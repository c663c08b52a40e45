#pragma once
// The in-house analytics client: events (first version in the plug-in, second in the settings
// server), the connector that picks a transport, the legacy COM transport to the suite's
// analytics service, the null transport, the flat JSON formatter. Nothing here throws into
// product code and a service that cannot be reached only drops the record.

#include "AnalyticsAPI/internal/Tracker.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace Korin {
namespace Analytics {

class IFormatter {
public:
    virtual ~IFormatter() = default;
    virtual bool Format(const Record& record, std::wstring& text) = 0;
};

// One flat object, values all strings, in the record's order; false for an empty record. The
// solidus and U+007F to U+009F are escaped too: the service embeds records in pages and logs.
class CJSONFormatter : public IFormatter {
public:
    bool Format(const Record& record, std::wstring& text) override;
};

namespace internal {

class ITransport {
public:
    virtual ~ITransport() = default;
    virtual bool Open() = 0;
    virtual bool Send(const Record& record) = 0;
    virtual void Close() = 0;
    virtual std::wstring GetName() const = 0;
    virtual int GetVersion() const = 0;
};

class CBaseTransport : public ITransport {
public:
    CBaseTransport(std::wstring name, int version) : m_name(std::move(name)), m_version(version) {}
    std::wstring GetName() const override { return m_name; }
    int GetVersion() const override { return m_version; }

private:
    std::wstring m_name;
    int m_version;
};

}  // namespace internal

// The suite's analytics service through COM.
class CLegacyTransport : public internal::CBaseTransport {
public:
    static const CLSID kDefaultClassId;  // {E782BE15-9936-4A7F-8DF9-9AB95D229DF1}

    // A null class id: the default one.
    explicit CLegacyTransport(const CLSID* classId = nullptr);
    bool Open() override;
    bool Send(const Record& record) override;
    void Close() override {}

private:
    CLSID m_classId;
    std::unique_ptr<IFormatter> m_formatter;
};

class CNullTransport : public internal::CBaseTransport {
public:
    CNullTransport() : CBaseTransport(L"NULL-Pattern", 1) {}
    bool Open() override { return true; }
    bool Send(const Record&) override { return true; }
    void Close() override {}
};

class CSDKConnector {
public:
    virtual ~CSDKConnector() = default;
    // Picks the first transport that opens (the null transport when none does); true.
    virtual bool Connect();
    // Adds "__caller.name" and "__transport.name"; the transport's result, false without one.
    virtual bool Send(Record record);
    virtual void Disconnect();
    virtual std::shared_ptr<internal::ITransport> SelectTransport();

    const std::shared_ptr<internal::ITransport>& Transport() const { return m_transport; }

private:
    std::shared_ptr<internal::ITransport> m_transport;
};

// Transports tried before the default ones (the legacy transport, then the null one). Nothing in
// the product registers one; tests do.
void RegisterTransport(std::shared_ptr<internal::ITransport> transport);
void ClearRegisteredTransports();

namespace v1 {

class CEvent : public internal::CFluentTracker<CEvent> {
public:
    static constexpr const wchar_t* kAddFunction =
        L"Korin::Analytics::internal::CFluentTracker<class Korin::Analytics::v1::CEvent,class "
        L"Korin::Analytics::internal::CTracker>::Add";

    CEvent() : CFluentTracker(L"event") {}
    CEvent& Category(const std::wstring& text) { Set(L"Event.Category", text); return *this; }
    CEvent& Category(const wchar_t* text) { return Add(L"Event.Category", text); }
    CEvent& Action(const std::wstring& text) { Set(L"Event.Action", text); return *this; }
    CEvent& Action(const wchar_t* text) { return Add(L"Event.Action", text); }
    CEvent& Label(const std::wstring& text) { Set(L"Event.Label", text); return *this; }
    CEvent& Label(const wchar_t* text) { return Add(L"Event.Label", text); }
    CEvent& Value(int value) { return Add(L"Event.Value", value); }
    // Sends the event; true whatever happened.
    bool Finish() {
        Send();
        return true;
    }
};

class CScreen : public internal::CFluentTracker<CScreen> {
public:
    static constexpr const wchar_t* kAddFunction =
        L"Korin::Analytics::internal::CFluentTracker<class Korin::Analytics::v1::CScreen,class "
        L"Korin::Analytics::internal::CTracker>::Add";

    CScreen() : CFluentTracker(L"screen") {}
};

class CTrack {
public:
    virtual ~CTrack() = default;
    // An event carrying "UniqueIdentifier" = id (when given).
    virtual CEvent Event(const wchar_t* uniqueIdentifier);
    virtual CScreen Screen(const wchar_t* uniqueIdentifier);
};

}  // namespace v1
}  // namespace Analytics
}  // namespace Korin
