#pragma once
// Recording stand-ins of web filtering and of the time-limit objects, as the module object sees
// them, for the module and plug-in tests.

#include "plugin/services/FilterServices.h"
#include "plugin/core/NuvException.h"
#include "plugin/services/TimeLimitServices.h"
#include "tests/plugin/core/ThreadTestDoubles.h"
#include "tests/plugin/core/TimeLimitDoubles.h"

#include "base/UniqueHandle.h"
#include "nuvutil/com/ComObject.h"

#include <windows.h>
#include <proxyhost.h>

#include <atomic>
#include <string>

namespace NuvTest {

class FakeHandler final : public NuvCom::CComObjectBase<IQvProxyModuleEventHandler> {
public:
    STDMETHODIMP OnBegin(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, IQvProxyConnection*) override { return S_OK; }
    STDMETHODIMP OnInboundData(DWORD, BYTE*, DWORD* verdict) override {
        *verdict = 0;
        return S_OK;
    }
    STDMETHODIMP OnOutboundData(DWORD, BYTE*, DWORD* verdict) override {
        *verdict = 0;
        return S_OK;
    }
    STDMETHODIMP OnEnd() override { return S_OK; }
};

// Web filtering: records its calls; a call named in `blockIn` waits until Release() (or forever).
class RecordingFilter : public IFilterServices {
public:
    bool ClassifyUrl(const wchar_t*, const wchar_t*, std::string&) override { return false; }
    bool IsCategoryInList(const wchar_t*, const wchar_t*, std::wstring*) override { return false; }
    explicit RecordingFilter(CallLog& log) : m_log(log), m_release(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RecordingFilter() override { Release(); }

    std::wstring blockIn;   // "StartUrlClassification", "ScanWork" or "CreateHttpEventHandler"
    std::wstring throwIn;   // throws CNuvException(-1001) there
    bool makeHandlers = true;

    void Release() { ::SetEvent(m_release.Get()); }

    void StartUrlClassification() override { Call(L"StartUrlClassification"); }
    void CancelUrlClassification() noexcept override { m_log.Add(L"CancelUrlClassification"); }
    void StopUrlClassification() noexcept override { m_log.Add(L"StopUrlClassification"); }
    void CreateScanAlgorithms() override { Call(L"CreateScanAlgorithms"); }
    void DestroyScanAlgorithms() noexcept override { m_log.Add(L"DestroyScanAlgorithms"); }
    void ReloadSearchEngines() override { Call(L"ReloadSearchEngines"); }
    void AbandonScanAlgorithms() noexcept override { m_log.Add(L"AbandonScanAlgorithms"); }
    void AbandonUrlClassification() noexcept override { m_log.Add(L"AbandonUrlClassification"); }
    IUnknown* CreateHttpEventHandler(IHandlerModule&, IScanWorkSink*, IEventWorkSink* eventSink, DWORD sessionId,
                                     DWORD processId) override {
        m_log.Add(L"CreateHttpEventHandler " + std::to_wstring(sessionId) + L" " + std::to_wstring(processId) +
                  (eventSink ? L" session" : L" no-session"));
        if (blockIn == L"CreateHttpEventHandler") ::WaitForSingleObject(m_release.Get(), INFINITE);
        if (!makeHandlers) return nullptr;
        auto handler = NuvCom::MakeComObject<FakeHandler>();
        return handler.Detach();
    }
    void OnScanWorkQueued(CScanBuffer*) override { m_log.Add(L"queued"); }
    void OnScanWorkTaken(CScanBuffer*) noexcept override { m_log.Add(L"taken"); }
    void ScanWork(CScanBuffer*) override { Call(L"ScanWork"); }
    void PassUnscanned(CScanBuffer*) noexcept override { m_log.Add(L"PassUnscanned"); }
    void ReleaseScanWork(CScanBuffer*) noexcept override { m_log.Add(L"ReleaseScanWork"); }

private:
    void Call(const std::wstring& name) {
        m_log.Add(name);
        if (name == throwIn) throw CNuvException(CNuvException::kNotInitialized);
        if (name == blockIn) ::WaitForSingleObject(m_release.Get(), INFINITE);
    }

    CallLog& m_log;
    Tessal::UniqueHandle m_release;
};

// Answers a fixed time; waits for `gate` first when one is given.
class FixedClock : public IReliableClock {
public:
    FixedClock(CallLog& log, HANDLE gate) : m_log(log), m_gate(gate) {}
    void GetCurrentLocalTime(const wchar_t* zone, SYSTEMTIME* time, DWORD* reliable, DWORD waitMs) override {
        m_log.Add(std::wstring(L"GetCurrentLocalTime '") + zone + L"' " + std::to_wstring(waitMs));
        if (m_gate != nullptr) ::WaitForSingleObject(m_gate, INFINITE);
        *time = SYSTEMTIME{2026, 12, 4, 10, 12, 34, 56, 0};
        *reliable = 1;
    }
    // Always synchronised: the callback runs at once.
    void OnFirstSynchronisation(std::function<void()> callback) override {
        m_log.Add(L"OnFirstSynchronisation");
        if (callback) callback();
    }

private:
    CallLog& m_log;
    HANDLE m_gate;
};

class RecordingTimeLimits : public ITimeLimitFactory {
public:
    explicit RecordingTimeLimits(CallLog& log) : m_log(log) {}
    IActivityLogManager* CreateLogManager() override {
        m_log.Add(L"CreateLogManager");
        return new RecordingActivityLog(m_log);
    }
    IHostFirewallThread* CreateFirewallThread() override {
        m_log.Add(L"CreateFirewallThread");
        return new RecordingFirewall(m_log);
    }
    IReliableClock* CreateReliableClock(const wchar_t* server) override {
        m_log.Add(std::wstring(L"CreateReliableClock ") + server);
        return new FixedClock(m_log, clockGate);
    }

    HANDLE clockGate = nullptr;  // the clock's answers wait for it

private:
    CallLog& m_log;
};

}  // namespace NuvTest
