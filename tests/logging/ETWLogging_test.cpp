#include "logging/ETWLogging.h"

#include "logging/ETWAppProperties.h"
#include "logging/LoggingSeams.h"

#include "LoggingTestSupport.h"

#include "base/Format.h"
#include "base/ObfuscatedRegKey.h"
#include "base/RegKey.h"
#include "base/UniqueHandle.h"

#include "tests/support/ScopedReplacement.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using ETWLogging::CETWLogging;
using ETWLogging::internal::ETWAppProperties;
using NuvTest::FakeEnvironment;
using NuvTest::ScopedEnvironment;
using NuvTest::ScratchFolder;

constexpr wchar_t kComponent[] = L"EtwComp";
constexpr wchar_t kExeName[] = L"logging_etw_tests.exe";
constexpr TRACEHANDLE kInvalidHandle = static_cast<TRACEHANDLE>(-1);

// What a trace session hands the control callback; the fake API reads it back.
struct FakeSession {
    TRACEHANDLE handle;  // 0: GetTraceLoggerHandle fails with `error`
    UCHAR level;         // 0: GetTraceEnableLevel fails with `error`
    ULONG flags;
    DWORD error;
};

// Records what the logger asks of ETW; events are copied with the data their MOF fields point to.
class FakeETWApi : public ETWLogging::ETWApi {
public:
    struct Event {
        TRACEHANDLE session;
        std::vector<BYTE> block;
        std::vector<BYTE> origin;
        std::vector<BYTE> text;
    };

    ULONG RegisterTraceGuids(WMIDPREQUEST cb, void* ctx, LPCGUID control, ULONG count,
                             PTRACE_GUID_REGISTRATION registrations, LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                             PTRACEHANDLE handle) override {
        ++registerCalls;
        callback = cb;
        context = ctx;
        controlGuid = *control;
        guidCount = count;
        traceGuid = *registrations[0].Guid;
        mofNamesGiven = mofImagePath != nullptr || mofResourceName != nullptr;
        *handle = ++lastRegistration;
        return registerResult;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE handle) override {
        unregistered.push_back(handle);
        return 0;
    }
    ULONG TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header) override {
        Event event;
        event.session = session;
        const BYTE* raw = reinterpret_cast<const BYTE*>(header);
        event.block.assign(raw, raw + header->Size);
        const auto* block = reinterpret_cast<const ETWLogging::ETWEventBlock*>(header);
        const BYTE* origin = reinterpret_cast<const BYTE*>(block->fields[0].DataPtr);
        const BYTE* text = reinterpret_cast<const BYTE*>(block->fields[1].DataPtr);
        event.origin.assign(origin, origin + block->fields[0].Length);
        event.text.assign(text, text + block->fields[1].Length);
        events.push_back(std::move(event));
        return ERROR_INVALID_FUNCTION;  // what Wine answers; the logger ignores it
    }
    TRACEHANDLE GetTraceLoggerHandle(void* buffer) override {
        const auto* session = static_cast<const FakeSession*>(buffer);
        if (session->handle == 0) {
            ::SetLastError(session->error);
            return kInvalidHandle;
        }
        sessions[session->handle] = *session;
        return session->handle;
    }
    UCHAR GetTraceEnableLevel(TRACEHANDLE handle) override {
        const FakeSession& session = sessions[handle];
        if (session.level == 0) ::SetLastError(session.error);
        return session.level;
    }
    ULONG GetTraceEnableFlags(TRACEHANDLE handle) override { return sessions[handle].flags; }

    ULONG registerResult = 0;
    int registerCalls = 0;
    TRACEHANDLE lastRegistration = 0x5000;
    WMIDPREQUEST callback = nullptr;
    void* context = nullptr;
    GUID controlGuid = {};
    GUID traceGuid = {};
    ULONG guidCount = 0;
    bool mofNamesGiven = false;
    std::vector<TRACEHANDLE> unregistered;
    std::vector<Event> events;
    std::map<TRACEHANDLE, FakeSession> sessions;
};

using ScopedETWApi = NuvTest::ScopedReplacement<ETWLogging::ETWApi*>;

bool KeyExists(const std::wstring& path) {
    Tessal::UniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// Creates an HKLM key and removes, at the end, everything from its first ancestor that did not exist.
class ScopedNewKey {
public:
    explicit ScopedNewKey(const std::wstring& path) {
        std::size_t at = 0;
        do {
            at = path.find(L'\\', at + 1);
            const std::wstring prefix = path.substr(0, at);
            if (!KeyExists(prefix)) {
                m_firstNew = prefix;
                break;
            }
        } while (at != std::wstring::npos);
        Tessal::UniqueHKey key;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
    }
    ~ScopedNewKey() {
        if (m_firstNew.empty()) return;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_firstNew.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_firstNew.c_str());
    }
    ScopedNewKey(const ScopedNewKey&) = delete;
    ScopedNewKey& operator=(const ScopedNewKey&) = delete;

private:
    std::wstring m_firstNew;
};

void SetPlainDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    Tessal::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.Put()));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                              sizeof(value)));
}

// Reads the packed origin record.
class RecordReader {
public:
    explicit RecordReader(const std::vector<BYTE>& bytes) : m_bytes(bytes) {}
    template <class T>
    T Get() {
        T value{};
        if (m_at + sizeof(T) <= m_bytes.size()) std::memcpy(&value, &m_bytes[m_at], sizeof(T));
        m_at += sizeof(T);
        return value;
    }
    std::wstring Counted() {
        const auto chars = Get<std::uint16_t>();
        std::wstring text(chars, L'\0');
        if (m_at + chars * 2u <= m_bytes.size() && chars != 0) std::memcpy(&text[0], &m_bytes[m_at], chars * 2u);
        m_at += chars * 2u;
        return text;
    }
    bool AtEnd() const { return m_at == m_bytes.size(); }

private:
    const std::vector<BYTE>& m_bytes;
    std::size_t m_at = 0;
};

template <class T>
T At(const std::vector<BYTE>& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, &bytes.at(offset), sizeof(T));
    return value;
}

class EtwLogger : public ::testing::Test {
protected:
    EtwLogger() : scratch_(L"etw"), environmentScope_(&environment_), apiScope_(ETWLogging::SetETWApi, &api_) {
        environment_.dataRoot = scratch_.Path();
    }

    void Init() {
        ASSERT_EQ(0u, logger_->InitializeEx(nullptr, kComponent, ::GetModuleHandleW(nullptr), nullptr, nullptr));
    }
    // Through the callback the logger registered, as the ETW runtime calls it.
    ULONG Control(ULONG code, FakeSession session) {
        ULONG size = 0;
        return api_.callback(static_cast<WMIDPREQUESTCODE>(code), api_.context, &size, &session);
    }
    std::string Text(std::size_t index) const {
        const auto& text = api_.events.at(index).text;
        return std::string(text.begin(), text.end());
    }

    FakeEnvironment environment_;
    ScratchFolder scratch_;
    ScopedEnvironment environmentScope_;
    FakeETWApi api_;
    ScopedETWApi apiScope_;
    std::unique_ptr<CETWLogging> logger_ = std::make_unique<CETWLogging>();
};

TEST_F(EtwLogger, BuiltInPropertiesWithoutApplicationKey) {
    if (KeyExists(L"SOFTWARE\\Oberix.logging\\KVT")) GTEST_SKIP() << "this prefix has its own KVT key";
    Init();
    const ETWAppProperties& properties = logger_->GetProperties();
    EXPECT_EQ(L"KVT", properties.GetApplicationId());
    EXPECT_EQ(ETWLogging::kBuiltInProviderGuid, properties.GetProviderGuid());
    EXPECT_EQ(ETWLogging::kBuiltInSessionIdGuid, properties.GetSessionIdGuid());
    EXPECT_EQ(L"SOFTWARE\\Oberix\\Logging\\Provider", properties.GetProviderKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Oberix\\Logging\\Controller", properties.GetControllerKeyPath());
    EXPECT_EQ(scratch_.Path() + L"\\Oberix\\QVLOGS", properties.GetLogPath());
    EXPECT_EQ(scratch_.Path() + L"\\Oberix\\QVLOGS\\ETW\\qvlogs.etl", properties.GetEtlFile());
    EXPECT_EQ(L"Global\\Oberix.{0696D115-BE52-46c3-BFEE-D73A305B6581}", properties.GetOwnerMutexName());
    EXPECT_EQ(L"Oberix.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", properties.GetSessionName());

    std::wstring name;
    logger_->GetLogName(name);
    EXPECT_EQ(L"EtwComp\\logging_etw_tests", name);
    logger_->GetComponentName(name);
    EXPECT_EQ(kComponent, name);
    EXPECT_EQ(kExeName, logger_->GetModuleFile());
    EXPECT_EQ(L"1.2.3.4", logger_->GetModuleVersion());  // "1, 2, 3, 4" in this program's resource
    EXPECT_TRUE(logger_->IsEnabled());
    EXPECT_EQ(3u, logger_->GetSeverity());
}

TEST_F(EtwLogger, InitializeRefusals) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), logger_->InitializeEx(nullptr, L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->InitializeEx(nullptr, kComponent, nullptr, L"", nullptr));

    CETWLogging unknown;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              unknown.InitializeEx(L"NoSuchApplication", kComponent, nullptr, nullptr, nullptr));

    environment_.folderResult = E_FAIL;
    CETWLogging noDataRoot;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), noDataRoot.Initialize(kComponent, nullptr, nullptr, nullptr));
    environment_.folderResult = S_OK;

    Init();
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(20001u, logger_->InitializeEx(nullptr, kComponent, nullptr, nullptr, nullptr));
}

TEST_F(EtwLogger, StartRegistersTheProviderOnce) {
    Init();
    ASSERT_EQ(0u, logger_->Start());
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(1, api_.registerCalls);
    EXPECT_EQ(logger_->GetProperties().GetProviderGuid(), api_.controlGuid);
    EXPECT_EQ(ETWLogging::kEventClassGuid, api_.traceGuid);
    EXPECT_EQ(1u, api_.guidCount);
    EXPECT_FALSE(api_.mofNamesGiven);
    EXPECT_EQ(static_cast<void*>(logger_.get()), api_.context);

    // Stopping unregisters; the next Start registers again.
    EXPECT_EQ(0u, logger_->Uninitialize());
    ASSERT_EQ(1u, api_.unregistered.size());
    EXPECT_EQ(0x5001u, api_.unregistered[0]);
    EXPECT_FALSE(logger_->IsEnabled());
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(2, api_.registerCalls);

    logger_.reset();  // the held registration goes with the logger
    ASSERT_EQ(2u, api_.unregistered.size());
    EXPECT_EQ(0x5002u, api_.unregistered[1]);
}

TEST_F(EtwLogger, FailedRegistrationIsReportedOnceThenMessagesGoOn) {
    Init();
    EXPECT_EQ(0u, logger_->Uninitialize());  // nothing registered yet
    api_.registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), logger_->Start());
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(1, api_.registerCalls);
    EXPECT_EQ(0u, logger_->LogText(L"f.cpp", L"F", 1, 4, L"still sent"));
    ASSERT_EQ(1u, api_.events.size());
    EXPECT_EQ(0u, api_.events[0].session);  // no session enabled the provider
}

TEST_F(EtwLogger, EventBlockAndOriginRecordBytes) {
    Init();
    ASSERT_EQ(0u, logger_->Start());
    ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x77, 1, 0, 0}));
    ASSERT_EQ(0u, logger_->LogFormatEx(4, L"C:\\src\\File.cpp", L"NS::Cls::Fn", 12, L"%s %d", L"h\u00e9llo", 5));

    ASSERT_EQ(1u, api_.events.size());
    const FakeETWApi::Event& event = api_.events[0];
    EXPECT_EQ(0x77u, event.session);
    const std::vector<BYTE>& block = event.block;
    ASSERT_EQ(80u, block.size());
    EXPECT_EQ(80, At<USHORT>(block, 0));
    EXPECT_EQ(1, block[4]);   // type
    EXPECT_EQ(4, block[5]);   // level
    EXPECT_EQ(2, At<USHORT>(block, 6));  // version
    EXPECT_EQ(ETWLogging::kEventClassGuid, At<GUID>(block, 24));
    EXPECT_EQ(0x120000u, At<ULONG>(block, 44));
    EXPECT_NE(0u, At<ULONG64>(block, 48));
    EXPECT_EQ(event.origin.size(), At<ULONG>(block, 56));
    EXPECT_NE(0u, At<ULONG64>(block, 64));
    EXPECT_EQ(8u, At<ULONG>(block, 72));
    EXPECT_EQ(0u, At<USHORT>(block, 2));
    EXPECT_EQ(0u, At<ULONG64>(block, 16));
    for (std::size_t offset : {8u, 12u, 40u, 60u, 76u}) EXPECT_EQ(0u, At<ULONG>(block, offset)) << offset;

    EXPECT_EQ("h\xC3\xA9llo 5", Text(0));

    RecordReader record(event.origin);
    EXPECT_EQ(::GetCurrentProcessId(), record.Get<std::uint32_t>());
    EXPECT_EQ(::GetCurrentThreadId(), record.Get<std::uint32_t>());
    EXPECT_EQ(kExeName, record.Counted());  // process image
    EXPECT_EQ(L"C:\\src\\File.cpp", record.Counted());
    EXPECT_EQ(L"NS::Cls::Fn", record.Counted());
    EXPECT_EQ(12u, record.Get<std::uint32_t>());
    EXPECT_EQ(kExeName, record.Counted());  // module
    EXPECT_EQ(L"1.2.3.4", record.Counted());
    EXPECT_EQ(kComponent, record.Counted());
    EXPECT_EQ(8u, record.Get<std::uint64_t>());
    EXPECT_TRUE(record.AtEnd());
}

TEST_F(EtwLogger, LevelTestAndEventLevel) {
    Init();
    const struct {
        DWORD severity;
        DWORD level;
        bool sent;
        BYTE eventLevel;
    } cases[] = {
        {5, 3, true, 3},   // level 3 always passes
        {3, 2, false, 0},
        {3, 6, true, 3},   // 6 maps to 3
        {3, 7, true, 3},   // no level of its own: 3
        {3, 4, true, 4},
        {1, 1, true, 1},
        {6, 5, false, 0},
        {5, 5, true, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "severity " << c.severity << " level " << c.level);
        logger_->SetSeverity(c.severity);
        EXPECT_EQ(c.sent, logger_->IsLevelEnabled(c.level));
        api_.events.clear();
        EXPECT_EQ(0u, logger_->LogFormatEx(c.level, L"f.cpp", L"F", 1, L"%s", L"m"));
        ASSERT_EQ(c.sent ? 1u : 0u, api_.events.size());
        if (c.sent) {
            EXPECT_EQ(c.eventLevel, api_.events[0].block[5]);
        }
    }
}

TEST_F(EtwLogger, TextIsCutToItsBufferAndSentAsUtf8) {
    Init();
    const struct {
        std::wstring text;
        std::string expected;
    } cases[] = {
        {L"", ""},
        {std::wstring(2079, L'x'), std::string(2079, 'x')},
        {std::wstring(2080, L'x'), std::string(2079, 'x') + std::string(1, '\0')},  // cut: the terminator goes too
        {std::wstring(3000, L'x'), std::string(2079, 'x') + std::string(1, '\0')},
        {std::wstring(1500, L'\u00e9'), [] {  // more UTF-8 than the wide buffer has room left for
             std::string s;
             for (int i = 0; i < 1500; ++i) s += "\xC3\xA9";
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "characters " << c.text.size());
        api_.events.clear();
        ASSERT_EQ(0u, logger_->LogTextEx(4, L"f.cpp", L"F", 1, c.text.c_str()));
        ASSERT_EQ(1u, api_.events.size());
        EXPECT_EQ(c.expected, Text(0));
        RecordReader record(api_.events[0].origin);
        record.Get<std::uint32_t>();
        record.Get<std::uint32_t>();
        record.Counted();
        record.Counted();
        record.Counted();
        record.Get<std::uint32_t>();
        record.Counted();
        record.Counted();
        record.Counted();
        EXPECT_EQ(c.expected.size(), record.Get<std::uint64_t>());
    }
}

TEST_F(EtwLogger, DisabledOrNullFormatSendsNothing) {
    Init();
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), logger_->LogFormatEx(4, L"f", L"F", 1, nullptr));
    logger_->SetEnabled(0);
    EXPECT_EQ(0u, logger_->LogText(L"f", L"F", 1, 4, L"dropped"));
    logger_->LogFormatted(4, L"f", L"F", 1, L"%s", L"dropped");
    EXPECT_TRUE(api_.events.empty());
    logger_->SetEnabled(1);
    logger_->LogFormatted(4, L"f", L"F", 1, L"%s-%d", L"sent", 9);
    logger_->LogFormatted(4, L"f", L"F", 1, L"");
    ASSERT_EQ(1u, api_.events.size());
    EXPECT_EQ("sent-9", Text(0));
}

TEST_F(EtwLogger, ControlRequestsFollowTheOneSessionThatEnabled) {
    Init();
    ASSERT_EQ(0u, logger_->Start());

    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x10, 5, 0xF, 0}));
    EXPECT_TRUE(logger_->IsOwnTraceHandle(0x10));
    EXPECT_EQ(5u, logger_->GetSeverity());

    // A second session is ignored while the first holds the provider.
    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x20, 1, 0, 0}));
    EXPECT_TRUE(logger_->IsOwnTraceHandle(0x10));
    EXPECT_EQ(5u, logger_->GetSeverity());

    // Any disable request disables; only the holder's releases the handle.
    EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, {0x20, 1, 0, 0}));
    EXPECT_FALSE(logger_->IsEnabled());
    EXPECT_TRUE(logger_->IsOwnTraceHandle(0x10));
    EXPECT_EQ(5u, logger_->GetSeverity());

    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x10, 4, 0, 0}));
    EXPECT_TRUE(logger_->IsEnabled());
    EXPECT_EQ(4u, logger_->GetSeverity());
    logger_->LogText(L"f", L"F", 1, 4, L"to the session");
    ASSERT_EQ(1u, api_.events.size());
    EXPECT_EQ(0x10u, api_.events[0].session);

    EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, {0x10, 4, 0, 0}));
    EXPECT_TRUE(logger_->IsOwnTraceHandle(0));

    // Failures of the session's handle and level come back as their Win32 errors.
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Control(WMI_ENABLE_EVENTS, {0, 0, 0, ERROR_INVALID_HANDLE}));
    EXPECT_TRUE(logger_->IsOwnTraceHandle(0));
    EXPECT_EQ(static_cast<ULONG>(ERROR_NOT_FOUND), Control(WMI_ENABLE_EVENTS, {0x30, 0, 0, ERROR_NOT_FOUND}));
    EXPECT_FALSE(logger_->IsEnabled());  // the settings stay as they were

    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), Control(WMI_GET_ALL_DATA, {0x10, 1, 0, 0}));
    ULONG size = 0;
    FakeSession session = {0x10, 1, 0, 0};
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), api_.callback(WMI_ENABLE_EVENTS, nullptr, &size, &session));
}

TEST_F(EtwLogger, RegistryOverridesTheSessionsRequest) {
    if (KeyExists(L"SOFTWARE\\Oberix.logging\\KVT")) GTEST_SKIP() << "this prefix has its own KVT key";
    const std::wstring provider = L"SOFTWARE\\Oberix\\Logging\\Provider";
    const std::wstring componentKey = provider + L"\\" + kComponent;
    const std::wstring logNameKey = componentKey + L"\\logging_etw_tests";
    ScopedNewKey keys(logNameKey);
    SetPlainDword(componentKey, L"Enable", 0);
    SetPlainDword(logNameKey, L"Severity", 5);

    Init();  // the initial configuration applies the keys too
    EXPECT_FALSE(logger_->IsEnabled());
    EXPECT_EQ(5u, logger_->GetSeverity());
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x10, 2, 0, 0}));
    EXPECT_FALSE(logger_->IsEnabled());
    EXPECT_EQ(5u, logger_->GetSeverity());

    SetPlainDword(logNameKey, L"Enable", 1);  // the log name's key comes last and wins
    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, {0x10, 2, 0, 0}));
    EXPECT_TRUE(logger_->IsEnabled());
}

// An application key of its own: scrambled values, GUIDs as text.
class EtwApplicationKey : public EtwLogger {
protected:
    void SetUp() override {
        applicationId_ = Tessal::Format(L"LogTest%lu", ::GetCurrentProcessId());
        path_ = L"SOFTWARE\\Oberix.logging\\" + applicationId_;
        keys_ = std::make_unique<ScopedNewKey>(path_);
        ASSERT_TRUE(Write(L"", L"ETL Path", L"\\Custom\\ETW"));
        ASSERT_TRUE(Write(L"Controller", L"Controller Path", L"C:\\ctl.exe"));
        ASSERT_TRUE(Write(L"Controller", L"Owner Mutex Name", L"Global\\Owner"));
        ASSERT_TRUE(Write(L"Session", L"Session ID Guid", L"{11111111-2222-3333-4444-555555555555}"));
        ASSERT_TRUE(Write(L"Session", L"Session Name", L"Test Session"));
        ASSERT_TRUE(Write(L"Provider", L"Provider Guid", L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"));
    }

    bool Write(const std::wstring& subKey, const wchar_t* name, const wchar_t* value) {
        Tessal::CObfuscatedRegKey key;
        const std::wstring path = subKey.empty() ? path_ : path_ + L"\\" + subKey;
        return key.Create(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS &&
               key.SetStringValue(name, value) == ERROR_SUCCESS;
    }

    std::wstring applicationId_;
    std::wstring path_;
    std::unique_ptr<ScopedNewKey> keys_;
};

TEST_F(EtwApplicationKey, LoadsScrambledValuesWithDefaults) {
    ETWAppProperties properties;
    ASSERT_TRUE(properties.Load(applicationId_.c_str()));
    const GUID provider = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};
    const GUID session = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    EXPECT_EQ(provider, properties.GetProviderGuid());
    EXPECT_EQ(session, properties.GetSessionIdGuid());
    EXPECT_EQ(L"Test Session", properties.GetSessionName());
    EXPECT_EQ(L"Global\\Owner", properties.GetOwnerMutexName());
    EXPECT_EQ(L"C:\\ctl.exe", properties.GetControllerPath());
    EXPECT_EQ(scratch_.Path() + L"\\Oberix\\QVLOGS", properties.GetLogPath());  // default
    EXPECT_EQ(scratch_.Path() + L"\\Custom\\ETW\\qvlogs.etl", properties.GetEtlFile());
    EXPECT_EQ(path_ + L"\\Provider", properties.GetProviderKeyPath());
    EXPECT_EQ(path_, properties.GetApplicationKeyPath());
    EXPECT_FALSE(properties.Load(applicationId_.c_str()));  // one application id per object

    Init();  // no application id: the built-in one
    CETWLogging logger;
    ASSERT_EQ(0u, logger.InitializeEx(applicationId_.c_str(), kComponent, nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger.Start());
    EXPECT_EQ(provider, api_.controlGuid);
}

TEST_F(EtwApplicationKey, AMissingOrBadRequiredValueFailsLoading) {
    const struct {
        const wchar_t* subKey;
        const wchar_t* name;
        const wchar_t* badValue;  // null: the value is deleted
    } cases[] = {
        {L"Session", L"Session Name", nullptr},
        {L"Controller", L"Controller Path", nullptr},
        {L"Provider", L"Provider Guid", L"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"},  // no brace
        {L"Session", L"Session ID Guid", L"{not a guid}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "value " << testing::PrintToString(std::wstring(c.name)));
        Tessal::CObfuscatedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, (path_ + L"\\" + c.subKey).c_str()));
        std::wstring saved;
        ASSERT_EQ(ERROR_SUCCESS, key.QueryStringValue(c.name, saved));
        if (c.badValue == nullptr) {
            ASSERT_EQ(ERROR_SUCCESS, key.DeleteValue(c.name));
        } else {
            ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(c.name, c.badValue));
        }

        ETWAppProperties properties;
        EXPECT_FALSE(properties.Load(applicationId_.c_str()));
        CETWLogging logger;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                  logger.InitializeEx(applicationId_.c_str(), kComponent, nullptr, nullptr, nullptr));

        ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(c.name, saved.c_str()));
    }
}

TEST_F(EtwLogger, BuiltInIdIgnoresCaseAndModuleNames) {
    if (KeyExists(L"SOFTWARE\\Oberix.logging\\kvt")) GTEST_SKIP() << "this prefix has its own KVT key";
    ETWAppProperties properties;
    EXPECT_TRUE(properties.Load(L"kvt"));
    EXPECT_EQ(ETWLogging::kBuiltInProviderGuid, properties.GetProviderGuid());
    std::wstring path;
    properties.GetAppKeyPath(path, L"Sub");
    EXPECT_EQ(L"SOFTWARE\\Oberix.logging\\kvt\\Sub", path);

    std::wstring name;
    logger_->GetModuleBaseName(name, nullptr, false);
    EXPECT_EQ(kExeName, name);
    logger_->GetModuleBaseName(name, nullptr, true);
    EXPECT_EQ(L"logging_etw_tests", name);
    EXPECT_EQ(L"", CETWLogging::ReadModuleVersion(scratch_ / L"missing.dll"));
}

TEST_F(EtwLogger, FileLimitsDoNothingAndNoReferenceCounting) {
    logger_->SetMaxEntries(10);
    logger_->SetMaxSize(1 << 20);
    EXPECT_EQ(0u, logger_->GetMaxEntries());
    EXPECT_EQ(0u, logger_->GetMaxSize());
    EXPECT_EQ(0, logger_->AddRef());
    EXPECT_EQ(0, logger_->Release());
    logger_->SetSeverity(0);
    EXPECT_EQ(1u, logger_->GetSeverity());
    logger_->SetSeverity(8);
    EXPECT_EQ(6u, logger_->GetSeverity());
    EXPECT_EQ(3u, logger_->MapLevel(6));
    EXPECT_EQ(7u, logger_->MapLevel(7));
}

}  // namespace
