#include "nuvutil/QvThread.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace {

// Signals like the product's threads: the stop event is set while a thread is held.
class EventThread : public CQvThread {
public:
    enum class Body { WaitForStop, ReturnAtOnce, Throw };

    explicit EventThread(Body body, std::atomic<bool>* destroyed = nullptr) : m_body(body), m_destroyed(destroyed) {}
    ~EventThread() override {
        Stop();
        if (m_destroyed != nullptr) *m_destroyed = true;
    }

    std::atomic<int> runs{0};
    std::atomic<int> signals{0};
    Tessal::UniqueHandle stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Tessal::UniqueHandle started{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

protected:
    void Run() override {
        ++runs;
        ::SetEvent(started.Get());
        if (m_body == Body::WaitForStop) ::WaitForSingleObject(stop.Get(), INFINITE);
        if (m_body == Body::Throw) throw std::runtime_error("body failed");
    }
    bool SignalStop() override {
        ++signals;
        return IsRunning() ? ::SetEvent(stop.Get()) != FALSE : false;
    }

private:
    const Body m_body;
    std::atomic<bool>* const m_destroyed;
};

// Waits until the thread of `id` has ended and returns its exit code.
DWORD WaitForExit(DWORD id) {
    Tessal::UniqueHandle thread(::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
    EXPECT_TRUE(thread.IsValid());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.Get(), 10000));
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(::GetExitCodeThread(thread.Get(), &code));
    return code;
}

TEST(QvThread, SecondStartIsRefusedWhileAThreadIsHeld) {
    EventThread thread(EventThread::Body::WaitForStop);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(0u, thread.Start(L"worker"));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.started.Get(), 10000));
    const DWORD id = thread.ThreadId();
    EXPECT_NE(0u, id);
    EXPECT_TRUE(thread.IsRunning());

    EXPECT_EQ(1247u, thread.Start(nullptr));
    EXPECT_EQ(L"worker", thread.Name());  // a null name keeps the stored one
    EXPECT_EQ(id, thread.ThreadId());
    EXPECT_EQ(0, thread.signals.load());  // the running thread is left alone

    thread.Stop();
    EXPECT_EQ(1, thread.runs.load());
    EXPECT_EQ(1, thread.signals.load());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(0u, thread.ThreadId());

    EXPECT_EQ(0u, thread.Start(L""));  // a stopped object starts again
    EXPECT_EQ(L"", thread.Name());
    thread.Stop();
    EXPECT_EQ(2, thread.runs.load());
}

TEST(QvThread, StopWithoutThreadDoesNothing) {
    EventThread thread(EventThread::Body::WaitForStop);
    thread.Stop();
    EXPECT_EQ(0, thread.signals.load());
    EXPECT_FALSE(thread.IsRunning());
}

TEST(QvThread, BodyThatEndedOnItsOwnIsStillHeldUntilStop) {
    EventThread thread(EventThread::Body::ReturnAtOnce);
    ASSERT_EQ(0u, thread.Start());
    EXPECT_EQ(0u, WaitForExit(thread.ThreadId()));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_EQ(1247u, thread.Start());

    thread.Stop();  // would hang if it waited on anything but the ended thread
    EXPECT_EQ(1, thread.signals.load());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(1, thread.runs.load());
}

TEST(QvThread, ExceptionFromTheBodyEndsOnlyTheThread) {
    EventThread thread(EventThread::Body::Throw);
    ASSERT_EQ(0u, thread.Start());
    EXPECT_EQ(0u, WaitForExit(thread.ThreadId()));
    thread.Stop();
    EXPECT_EQ(1, thread.runs.load());
}

thread_local DWORD t_errorOfFailedCreation = 0;
uintptr_t FailingBeginThreadWithError(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
    ::SetLastError(t_errorOfFailedCreation);
    return 0;
}

TEST(QvThread, FailedCreationNeverAnswersSuccess) {
    const struct {
        DWORD lastError;
        DWORD expected;
    } cases[] = {{0, ERROR_NOT_ENOUGH_MEMORY}, {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                 {ERROR_MAX_THRDS_REACHED, ERROR_MAX_THRDS_REACHED}};
    for (const auto& c : cases) {
        t_errorOfFailedCreation = c.lastError;
        const auto previous = QvThreadInternal::SetBeginThreadFunction(&FailingBeginThreadWithError);
        EventThread thread(EventThread::Body::WaitForStop);
        const DWORD result = thread.Start(L"failing");
        QvThreadInternal::SetBeginThreadFunction(previous);

        EXPECT_EQ(c.expected, result) << c.lastError;
        EXPECT_FALSE(thread.IsRunning());
        thread.Stop();
        EXPECT_EQ(0, thread.signals.load());
        EXPECT_EQ(0, thread.runs.load());
    }

}

// Ignores the stop signal until the test lets it go (the event outlives the object); records the
// thread its destructor ran on.
class StubbornThread : public CQvThread {
public:
    StubbornThread(HANDLE letGo, std::atomic<DWORD>* destroyedOn)
        : CQvThread(ModuleHold::kWhileRunning), m_letGo(letGo), m_destroyedOn(destroyedOn) {}
    ~StubbornThread() override {
        Stop();
        if (m_destroyedOn != nullptr) *m_destroyedOn = ::GetCurrentThreadId();
    }

    std::atomic<int> signals{0};
    Tessal::UniqueHandle started{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

protected:
    void Run() override {
        ::SetEvent(started.Get());
        ::WaitForSingleObject(m_letGo, INFINITE);
    }
    bool SignalStop() override {
        ++signals;
        return true;
    }

private:
    const HANDLE m_letGo;
    std::atomic<DWORD>* const m_destroyedOn;
};

// Declared after the thread: lets a stubborn body go however the test ends, before the thread's
// destructor waits for it.
struct LetGoOnExit {
    HANDLE event;
    ~LetGoOnExit() { ::SetEvent(event); }
};

TEST(QvThread, BoundedStopGivesUpOnABodyThatIgnoresItAndJoinsItOnceItEnded) {
    Tessal::UniqueHandle letGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    StubbornThread thread(letGo.Get(), nullptr);
    const LetGoOnExit guard{letGo.Get()};
    EXPECT_TRUE(thread.Stop(0)) << "nothing to stop";
    EXPECT_EQ(0, thread.signals.load());

    ASSERT_EQ(0u, thread.Start());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.started.Get(), 10000));
    const DWORD id = thread.ThreadId();
    EXPECT_FALSE(thread.Stop(50));
    EXPECT_EQ(1, thread.signals.load());
    EXPECT_TRUE(thread.IsRunning()) << "still held";
    EXPECT_EQ(id, thread.ThreadId());
    EXPECT_EQ(1247u, thread.Start());

    ::SetEvent(letGo.Get());
    EXPECT_EQ(0u, WaitForExit(id)) << "ends cleanly, its module reference given back";
    EXPECT_TRUE(thread.Stop(0)) << "an ended body is joined without waiting";
    EXPECT_EQ(2, thread.signals.load());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(0u, thread.ThreadId());
}

TEST(QvThread, StopOrLeaveLeavesTheObjectToAThreadPastTheLimitUntilItEnds) {
    std::atomic<DWORD> destroyedOn{0};
    Tessal::UniqueHandle letGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto thread = std::make_shared<StubbornThread>(letGo.Get(), &destroyedOn);
    const LetGoOnExit guard{letGo.Get()};
    ASSERT_EQ(0u, thread->Start());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread->started.Get(), 10000));
    const DWORD id = thread->ThreadId();
    Tessal::UniqueHandle running(::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
    ASSERT_TRUE(running.IsValid());
    const std::weak_ptr<StubbornThread> object = thread;

    EXPECT_FALSE(CQvThread::StopOrLeave(std::move(thread), 50));
    EXPECT_FALSE(object.expired()) << "the thread keeps its object";
    EXPECT_EQ(0u, destroyedOn.load());

    ::SetEvent(letGo.Get());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(running.Get(), 10000));
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(::GetExitCodeThread(running.Get(), &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(object.expired());
    EXPECT_EQ(id, destroyedOn.load()) << "released on the thread once its body returned";
}

TEST(QvThread, StopOrLeaveJoinsABodyThatEndsWithinTheLimit) {
    std::atomic<DWORD> destroyedOn{0};
    Tessal::UniqueHandle letGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ::SetEvent(letGo.Get());  // the body returns as soon as it starts
    auto thread = std::make_shared<StubbornThread>(letGo.Get(), &destroyedOn);
    ASSERT_EQ(0u, thread->Start());
    EXPECT_TRUE(CQvThread::StopOrLeave(std::move(thread), 10000));
    EXPECT_EQ(::GetCurrentThreadId(), destroyedOn.load()) << "joined, then released by the caller's share";
    EXPECT_TRUE(CQvThread::StopOrLeave(nullptr, 0));
}

TEST(QvThread, DeletingThroughTheBaseStopsTheThread) {
    std::atomic<bool> destroyed{false};
    CQvThread* thread = new EventThread(EventThread::Body::WaitForStop, &destroyed);
    ASSERT_EQ(0u, thread->Start());
    delete thread;  // the derived destructor signals and waits
    EXPECT_TRUE(destroyed.load());
}

}  // namespace
