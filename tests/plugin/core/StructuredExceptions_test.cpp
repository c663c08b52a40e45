// Processor exceptions in g++ code: caught whole by a guard (library loads), or thrown as
// CNuvException(-1000) from the faulting instruction so that destructors run and catch blocks
// see them (the plug-in's threads).

#include "plugin/core/StructuredExceptions.h"

#include "base/Format.h"
#include "logging/LoggingIf.h"
#include "plugin/core/InitializationThread.h"
#include "plugin/core/NuvException.h"
#include "tests/plugin/core/ThreadTestDoubles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

using NuvTest::LogLines;

// Faults the compiler cannot see coming: the targets are read at run time.
volatile int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
using Function = void (*)();
volatile std::uintptr_t g_badCode = 0x10;

void WriteNowhere() { *g_nowhere = 1; }
void DivideByZero() { g_zero = 1 / g_zero; }
void CallNowhere() { reinterpret_cast<Function>(g_badCode)(); }
void IllegalInstruction() { asm volatile("ud2"); }

struct Fault {
    const char* name;
    Function function;
    DWORD code;
};
const Fault kFaults[] = {
    {"write through null", &WriteNowhere, EXCEPTION_ACCESS_VIOLATION},
    {"integer division by zero", &DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO},
    {"call into nowhere", &CallNowhere, EXCEPTION_ACCESS_VIOLATION},
    {"illegal instruction", &IllegalInstruction, EXCEPTION_ILLEGAL_INSTRUCTION},
};

// What the guarded body holds when the fault comes.
struct Held {
    std::mutex* lock;
    bool* destroyed;
    Function fault;
};

struct Sentinel {
    bool* destroyed;
    ~Sentinel() { *destroyed = true; }
};

DWORD FaultWhileHolding(void* context) {
    const Held& held = *static_cast<const Held*>(context);
    const std::lock_guard<std::mutex> guard(*held.lock);
    const Sentinel sentinel{held.destroyed};
    held.fault();
    return 7;
}

class StructuredExceptionsTest : public ::testing::Test {
protected:
    void SetUp() override { NuvTest::TakeLoggedLines(); }
    LogLines m_log;
};

TEST_F(StructuredExceptionsTest, TranslatedFaultUnwindsAsCNuvExceptionFromTheFault) {
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        std::mutex lock;
        bool destroyed = false;
        Held held{&lock, &destroyed, fault.function};
        int code = 0;
        std::wstring message;
        try {
            StructuredExceptions::CallTranslated(&FaultWhileHolding, &held);
        } catch (const CNuvException& e) {
            code = e.Code();
            message = e.Message();
        }
        EXPECT_EQ(CNuvException::kProcessorException, code);
        EXPECT_EQ(0u, message.find(Tessal::Format(L"Exception 0x%08X at 0x", static_cast<unsigned>(fault.code))))
            << message;
        EXPECT_TRUE(destroyed) << "destructors between the fault and the catch ran";
        EXPECT_TRUE(lock.try_lock()) << "the lock held at the fault was released";
        lock.unlock();
        EXPECT_EQ(1u, m_log.Count(ETWLogging::LOG_ERROR, L"CNuvException( -1000, " + message + L" )\r\n"));
    }
}

TEST_F(StructuredExceptionsTest, FaultAddressIsTheFaultingInstructionOrTheBadTarget) {
    struct Probe {
        Function fault;
        std::wstring message;
    } probe{&CallNowhere, {}};
    try {
        StructuredExceptions::CallTranslated(
            [](void* p) -> DWORD {
                static_cast<Probe*>(p)->fault();
                return 0;
            },
            &probe);
    } catch (const CNuvException& e) {
        probe.message = e.Message();
    }
    EXPECT_EQ(L"Exception 0xC0000005 at 0x00000010", probe.message);
}

TEST_F(StructuredExceptionsTest, CatchBlockInsideTheGuardedCallSeesTheFault) {
    DWORD result = StructuredExceptions::CallTranslated(
        [](void*) -> DWORD {
            try {
                WriteNowhere();
            } catch (const CNuvException& e) {
                return e.Code() == CNuvException::kProcessorException ? 42 : 1;
            }
            return 0;
        },
        nullptr);
    EXPECT_EQ(42u, result);
    // The guard is reusable, and passes results and C++ exceptions through untouched.
    EXPECT_EQ(5u, StructuredExceptions::CallTranslated([](void*) -> DWORD { return 5; }, nullptr));
    EXPECT_THROW(StructuredExceptions::CallTranslated([](void*) -> DWORD { throw std::runtime_error("plain"); }, nullptr),
                 std::runtime_error);
}

DWORD RaiseSoftwareException(void*) {
    ::RaiseException(0xE0425554, 0, 0, nullptr);
    return 0;
}

void* TranslatedRaise(void*) {
    StructuredExceptions::CallTranslated(&RaiseSoftwareException, nullptr);
    return nullptr;
}

void* TranslatedFault(void*) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(StructuredExceptions::CallTranslated(
        [](void*) -> DWORD {
            DWORD inner = 0;
            StructuredExceptions::CatchAll(
                [](void*) -> void* {
                    WriteNowhere();
                    return nullptr;
                },
                nullptr, &inner);
            return inner;
        },
        nullptr)));
}

TEST_F(StructuredExceptionsTest, OnlyProcessorExceptionsAreTranslatedAndNearerHandlersComeFirst) {
    // A software exception passes the translator and reaches the next handler out.
    DWORD code = 0;
    EXPECT_EQ(nullptr, StructuredExceptions::CatchAll(&TranslatedRaise, nullptr, &code));
    EXPECT_EQ(0xE0425554u, code);
    // A guard nearer the fault takes it before the translator sees it.
    code = 0;
    void* const inner = StructuredExceptions::CatchAll(&TranslatedFault, nullptr, &code);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(static_cast<std::uintptr_t>(EXCEPTION_ACCESS_VIOLATION), reinterpret_cast<std::uintptr_t>(inner));
    EXPECT_TRUE(m_log.All().empty()) << "nothing was translated";
}

void* Twice(void* context) { return static_cast<char*>(context) + 2; }

TEST_F(StructuredExceptionsTest, CatchAllPassesResultsThroughAndIsReusable) {
    char buffer[4] = {};
    DWORD code = 0xDEADBEEF;
    EXPECT_EQ(buffer + 2, StructuredExceptions::CatchAll(&Twice, buffer, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(nullptr, StructuredExceptions::CatchAll(&TranslatedRaise, nullptr, &code));
    EXPECT_EQ(0xE0425554u, code);
    EXPECT_EQ(buffer + 2, StructuredExceptions::CatchAll(&Twice, buffer, &code));
    EXPECT_EQ(0u, code);
}

// --- The plug-in's threads ------------------------------------------------------------------------

class FaultingThread : public CThread {
public:
    FaultingThread() : CThread(CREATE_SUSPENDED) { Resume(); }
    ~FaultingThread() override { ::WaitForSingleObject(GetHandle(), 5000); }
    DWORD run() override {
        WriteNowhere();
        return 0;
    }
};

class FaultingInit : public IInitializationCallback {
public:
    HRESULT OnInitialize() override {
        const std::lock_guard<std::mutex> guard(m_lock);
        DivideByZero();
        return S_OK;
    }
    std::mutex m_lock;
};

DWORD ExitCodeAfterEnd(HANDLE thread) {
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 5000));
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeThread(thread, &code);
    return code;
}

TEST_F(StructuredExceptionsTest, FaultInAThreadEndsTheThreadNotTheProcess) {
    FaultingThread thread;
    EXPECT_EQ(CThread::kUnhandledExceptionExitCode, ExitCodeAfterEnd(thread.GetHandle()));
    bool logged = false;
    for (const auto& line : m_log.All()) {
        logged |= line.level == ETWLogging::LOG_CRITICAL &&
                  line.text.find(L"Unhandled exception in thread") == 0 &&
                  line.text.find(L": Exception 0xC0000005 at 0x") != std::wstring::npos;
    }
    EXPECT_TRUE(logged);
}

TEST_F(StructuredExceptionsTest, FaultDuringStartUpFailsTheStartUpAndReleasesItsLocks) {
    FaultingInit init;
    CInitializationThread thread(&init);
    EXPECT_EQ(CInitializationThread::kFailedExitCode, ExitCodeAfterEnd(thread.GetHandle()));
    EXPECT_TRUE(m_log.Has(ETWLogging::LOG_CRITICAL, L"Failed to initialize NUV\r\n"));
    EXPECT_TRUE(init.m_lock.try_lock());
    init.m_lock.unlock();
}

}  // namespace
