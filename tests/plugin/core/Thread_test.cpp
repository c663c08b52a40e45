#include "plugin/core/EventThread.h"
#include "plugin/core/InitializationThread.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/ScanThread.h"
#include "plugin/core/SignalSigninRequiredThread.h"
#include "tests/plugin/core/ThreadTestDoubles.h"

#include "base/UniqueHandle.h"
#include "logging/LoggingIf.h"
#include "nuvutil/WorkQueue.h"

#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

using NuvTest::CallLog;
using NuvTest::LogLines;

namespace {

constexpr DWORD kShortJoinMs = 100;

Tessal::UniqueHandle DuplicateThreadHandle(HANDLE thread) {
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return Tessal::UniqueHandle(copy);
}

DWORD ExitCodeAfterEnd(HANDLE thread) {
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 5000));
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeThread(thread, &code);
    return code;
}

CScanBuffer* Item(uintptr_t n) { return reinterpret_cast<CScanBuffer*>(n); }
CEventWork* EventItem(uintptr_t n) { return reinterpret_cast<CEventWork*>(n); }

// Blocks every caller until released; stands in for an owner whose call never returns.
class Gate {
public:
    Gate() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Block() { ::WaitForSingleObject(m_event.Get(), INFINITE); }
    HANDLE Handle() const { return m_event.Get(); }

private:
    Tessal::UniqueHandle m_event;
};

class BlockingInit : public IInitializationCallback {
public:
    HRESULT OnInitialize() override { m_gate.Block(); return S_OK; }
    Gate m_gate;
};

class QueueScanSource : public IScanWorkSource {
public:
    CScanBuffer* GetScanWork() override {
        return static_cast<CScanBuffer*>(m_queue.Get());
    }
    void ScanWork(CScanBuffer* buffer) override {
        const auto n = reinterpret_cast<uintptr_t>(buffer);
        m_calls.Add(L"scan " + std::to_wstring(n));
        if (n == m_throwCnuv) throw CNuvException(-1001);
        if (n == m_throwStd) throw std::runtime_error("algorithm table gone");
    }
    void PassUnscanned(CScanBuffer* buffer) noexcept override {
        m_calls.Add(L"pass " + std::to_wstring(reinterpret_cast<uintptr_t>(buffer)));
    }
    void ReleaseScanWork(CScanBuffer* buffer) noexcept override {
        m_calls.Add(L"release " + std::to_wstring(reinterpret_cast<uintptr_t>(buffer)));
    }

    CWorkQueue m_queue;
    CallLog m_calls;
    uintptr_t m_throwCnuv = 0;
    uintptr_t m_throwStd = 0;
};

class RecordingProcessor : public IEventProcessor {
public:
    RecordingProcessor(CallLog& calls, bool initializes) : m_calls(calls), m_initializes(initializes) {}
    bool Initialize(DWORD sessionId) override {
        m_calls.Add(L"initialize " + std::to_wstring(sessionId));
        return m_initializes;
    }
    void Process(CEventWork* work) override {
        m_calls.Add(L"process " + std::to_wstring(reinterpret_cast<uintptr_t>(work)));
    }
    void Uninitialize() override { m_calls.Add(L"uninitialize"); }

private:
    CallLog& m_calls;
    bool m_initializes;
};

class EventSession : public IEventWorkSource, public IEventThreadHost {
public:
    CEventWork* GetEventWork() override {
        return static_cast<CEventWork*>(m_queue.Get());
    }
    void ReleaseEventWork(CEventWork* work) override {
        m_calls.Add(L"release " + std::to_wstring(reinterpret_cast<uintptr_t>(work)));
    }
    bool WaitForInitialization() override { return m_initialized; }
    std::unique_ptr<IEventProcessor> CreateEventProcessor() override {
        return std::make_unique<RecordingProcessor>(m_calls, m_processorInitializes);
    }

    CWorkQueue m_queue;
    CallLog m_calls;
    bool m_initialized = true;
    bool m_processorInitializes = true;
};

class SigninSink : public ISigninRequiredSink {
public:
    void QueueSigninRequired(DWORD sessionId) override { m_calls.Add(L"signin " + std::to_wstring(sessionId)); }
    CallLog m_calls;
};

class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { NuvTest::TakeLoggedLines(); }
    LogLines m_log;
};

// --- Join limits ----------------------------------------------------------------------------

struct StuckThreadCase {
    const char* name;
    DWORD level;
    std::wstring line;
    // Builds a thread stuck in its owner's call; the returned closure releases the owner.
    std::function<std::unique_ptr<CThread>(std::shared_ptr<void>& owner)> make;
};

TEST_F(ThreadTest, ThreadStuckPastItsJoinLimitIsTerminatedWithShutdownExitCode) {
    const StuckThreadCase cases[] = {
        {"initialization", ETWLogging::LOG_WARNING, L"Initialization thread took too long to exit!\r\n",
         [](std::shared_ptr<void>& owner) -> std::unique_ptr<CThread> {
             auto init = std::make_shared<BlockingInit>();
             owner = init;
             return std::make_unique<CInitializationThread>(init.get(), kShortJoinMs);
         }},
        {"scan", ETWLogging::LOG_WARNING, L"Scan thread took too long to exit! (258)\r\n",
         [](std::shared_ptr<void>& owner) -> std::unique_ptr<CThread> {
             // An empty queue: the thread dies inside the queue's wait, holding its consumer lock.
             auto source = std::make_shared<QueueScanSource>();
             owner = source;
             return std::make_unique<CScanThread>(source.get(), kShortJoinMs);
         }},
        {"event", ETWLogging::LOG_INFORMATION, L"Event Thread for Session [4] took too long to exit\r\n",
         [](std::shared_ptr<void>& owner) -> std::unique_ptr<CThread> {
             auto session = std::make_shared<EventSession>();
             owner = session;
             auto thread = std::make_unique<CEventThread>(4, session.get(), session.get(), kShortJoinMs);
             thread->Resume();
             return thread;
         }},
        {"sign-in signal", ETWLogging::LOG_INFORMATION,
         L"SignalSigninRequiredEvent Thread took too long to exit\r\n",
         [](std::shared_ptr<void>& owner) -> std::unique_ptr<CThread> {
             // The shutdown event is never set: the thread waits on.
             auto gate = std::make_shared<Gate>();
             auto sink = std::make_shared<SigninSink>();
             owner = std::shared_ptr<void>(new std::pair<std::shared_ptr<Gate>, std::shared_ptr<SigninSink>>(gate, sink),
                                           [](void* p) {
                                               delete static_cast<std::pair<std::shared_ptr<Gate>,
                                                                            std::shared_ptr<SigninSink>>*>(p);
                                           });
             return std::make_unique<CSignalSigninRequiredThread>(gate->Handle(), sink.get(), kShortJoinMs);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<void> owner;
        std::unique_ptr<CThread> thread = c.make(owner);
        ::Sleep(50);  // let it reach the owner's call
        Tessal::UniqueHandle handle = DuplicateThreadHandle(thread->GetHandle());

        const ULONGLONG start = ::GetTickCount64();
        thread.reset();
        // Bounded: the limit plus the short settle wait, never the owner's call.
        EXPECT_LT(::GetTickCount64() - start, 3000u);

        EXPECT_EQ(CThread::kTerminatedExitCode, ExitCodeAfterEnd(handle.Get()));
        EXPECT_TRUE(m_log.Has(c.level, c.line));
    }
}

// --- Initialization thread --------------------------------------------------------------------

class ScriptedInit : public IInitializationCallback {
public:
    explicit ScriptedInit(std::function<HRESULT()> body) : m_body(std::move(body)) {}
    HRESULT OnInitialize() override { return m_body(); }
    std::function<HRESULT()> m_body;
};

TEST_F(ThreadTest, InitializationThreadExitCodeFollowsTheModulesStartUp) {
    struct Case {
        const char* name;
        std::function<HRESULT()> body;
        DWORD exitCode;
        DWORD level;
        const wchar_t* line;
    } cases[] = {
        {"success", [] { return S_OK; }, 0, ETWLogging::LOG_NORMAL, L"Initialization complete.\r\n"},
        {"positive result", [] { return S_FALSE; }, 0, ETWLogging::LOG_NORMAL, L"Initialization complete.\r\n"},
        {"failure result", [] { return E_ACCESSDENIED; }, static_cast<DWORD>(E_ACCESSDENIED),
         ETWLogging::LOG_NORMAL, L"Initializing NUV...\r\n"},
        {"plug-in exception", []() -> HRESULT { throw CNuvException(-1001); }, 0x80040205,
         ETWLogging::LOG_CRITICAL, L"Failed to initialize NUV\r\n"},
        // Anything else stops at the thread's entry instead of ending the process.
        {"other exception", []() -> HRESULT { throw std::runtime_error("boom"); },
         CThread::kUnhandledExceptionExitCode, ETWLogging::LOG_CRITICAL, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedInit init(c.body);
        CInitializationThread thread(&init);
        EXPECT_EQ(c.exitCode, ExitCodeAfterEnd(thread.GetHandle()));
        if (c.line != nullptr) {
            EXPECT_TRUE(m_log.Has(c.level, c.line));
        }
    }
}

// --- Scan thread --------------------------------------------------------------------------------

TEST_F(ThreadTest, ScanThreadScansAndReleasesEachItemUntilTheNullItem) {
    QueueScanSource source;
    for (uintptr_t n : {1, 2, 3}) source.m_queue.Put(Item(n));
    source.m_queue.Put(nullptr);
    source.m_queue.Put(Item(9));  // behind the stop: never taken
    CScanThread thread(&source);
    EXPECT_EQ(0u, ExitCodeAfterEnd(thread.GetHandle()));
    EXPECT_EQ((std::vector<std::wstring>{L"scan 1", L"release 1", L"scan 2", L"release 2", L"scan 3", L"release 3"}),
              source.m_calls.Calls());
}

TEST_F(ThreadTest, FailedScanPassLetsTheConnectionThroughAndTheThreadGoesOn) {
    QueueScanSource source;
    source.m_throwCnuv = 2;
    source.m_throwStd = 3;
    for (uintptr_t n : {1, 2, 3, 4}) source.m_queue.Put(Item(n));
    source.m_queue.Put(nullptr);
    CScanThread thread(&source);
    EXPECT_EQ(0u, ExitCodeAfterEnd(thread.GetHandle()));
    EXPECT_EQ((std::vector<std::wstring>{L"scan 1", L"release 1", L"scan 2", L"pass 2", L"release 2", L"scan 3",
                                         L"pass 3", L"release 3", L"scan 4", L"release 4"}),
              source.m_calls.Calls());
    size_t errors = 0;
    for (const auto& line : m_log.All()) {
        if (line.level == ETWLogging::LOG_ERROR && line.text.find(L"Scan pass failed") == 0) ++errors;
    }
    EXPECT_EQ(2u, errors);
}

// --- Event thread -------------------------------------------------------------------------------

TEST_F(ThreadTest, EventThreadDrainsItsQueueInOrderUntilTheNullItem) {
    EventSession session;
    for (uintptr_t n : {11, 12, 13}) session.m_queue.Put(EventItem(n));
    session.m_queue.Put(nullptr);
    CEventThread thread(5, &session, &session);
    thread.Resume();  // started by its session, not by its constructor
    EXPECT_EQ(static_cast<DWORD>(S_OK), ExitCodeAfterEnd(thread.GetHandle()));
    EXPECT_EQ((std::vector<std::wstring>{L"initialize 5", L"process 11", L"release 11", L"process 12", L"release 12",
                                         L"process 13", L"release 13", L"uninitialize"}),
              session.m_calls.Calls());
    EXPECT_TRUE(m_log.Has(ETWLogging::LOG_NORMAL, L"CEventThread[5]::mainloop() - exiting\r\n"));
}

TEST_F(ThreadTest, EventThreadEndsEarlyWithoutInitializationOrHandlers) {
    struct Case {
        const char* name;
        bool initialized;
        bool processorInitializes;
        DWORD exitCode;
        DWORD level;
        const wchar_t* line;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"module not initialized", false, true, CEventThread::kNotInitializedExitCode, ETWLogging::LOG_WARNING,
         L"Terminating event thread for session 6 because NUV failed to initialize\r\n", {}},
        {"handler source fails", true, false, static_cast<DWORD>(E_FAIL), ETWLogging::LOG_ERROR,
         L"Failed to initialize event handling in Session 6\r\n", {L"initialize 6"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventSession session;
        session.m_initialized = c.initialized;
        session.m_processorInitializes = c.processorInitializes;
        session.m_queue.Put(EventItem(21));
        CEventThread thread(6, &session, &session);
        thread.Resume();
        EXPECT_EQ(c.exitCode, ExitCodeAfterEnd(thread.GetHandle()));
        EXPECT_EQ(c.calls, session.m_calls.Calls());  // the queued item is never touched
        EXPECT_TRUE(m_log.Has(c.level, c.line));
    }
}

// --- Sign-in signal thread ----------------------------------------------------------------------

Tessal::UniqueHandle OpenSigninEvent() {
    Tessal::UniqueHandle event;
    NuvTest::WaitUntil([&] {
        event.Reset(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CSignalSigninRequiredThread::kEventName));
        return static_cast<bool>(event);
    });
    return event;
}

TEST_F(ThreadTest, SigninSignalQueuesOneItemForSessionZeroThenTheThreadEnds) {
    Gate shutdown;
    SigninSink sink;
    CSignalSigninRequiredThread thread(shutdown.Handle(), &sink);
    Tessal::UniqueHandle event = OpenSigninEvent();
    ASSERT_TRUE(event);
    ASSERT_TRUE(::SetEvent(event.Get()));
    EXPECT_EQ(0u, ExitCodeAfterEnd(thread.GetHandle()));
    ::SetEvent(event.Get());  // nobody is waiting any more
    ::Sleep(50);
    EXPECT_EQ((std::vector<std::wstring>{L"signin 0"}), sink.m_calls.Calls());
    EXPECT_TRUE(m_log.Has(ETWLogging::LOG_NORMAL, L"SignalSigninRequiredEvent has been signaled\r\n"));
}

TEST_F(ThreadTest, SigninSignalThreadEndsOnShutdownWithoutQueueing) {
    Gate shutdown;
    SigninSink sink;
    CSignalSigninRequiredThread thread(shutdown.Handle(), &sink);
    ASSERT_TRUE(OpenSigninEvent());
    ::SetEvent(shutdown.Handle());
    EXPECT_EQ(0u, ExitCodeAfterEnd(thread.GetHandle()));
    EXPECT_TRUE(sink.m_calls.Calls().empty());
    EXPECT_TRUE(m_log.Has(ETWLogging::LOG_NORMAL, L"CSignalSigninRequiredThread exiting\r\n"));
}

}  // namespace
