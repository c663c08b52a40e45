#include "nuvutil/QvThread.h"

#include "nuvutil/com/ComBoundary.h"

#include <process.h>

#include <atomic>

namespace {
std::atomic<QvThreadInternal::BeginThreadFunction> g_beginThread{nullptr};
}  // namespace

QvThreadInternal::BeginThreadFunction QvThreadInternal::SetBeginThreadFunction(BeginThreadFunction function) noexcept {
    return g_beginThread.exchange(function);
}

CQvThread::~CQvThread() = default;

DWORD CQvThread::Start(const wchar_t* name) {
    if (name != nullptr) m_name = name;
    if (m_thread) return ERROR_ALREADY_INITIALIZED;

    const QvThreadInternal::BeginThreadFunction replacement = g_beginThread.load();
    unsigned threadId = 0;
    const uintptr_t thread = replacement != nullptr ? replacement(nullptr, 0, &CQvThread::ThreadStart, this, 0, &threadId)
                                                    : ::_beginthreadex(nullptr, 0, &CQvThread::ThreadStart, this, 0, &threadId);
    if (thread == 0) {
        // _beginthreadex reports some failures through errno only: never answer "success".
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    m_thread.Reset(reinterpret_cast<HANDLE>(thread));
    m_threadId = threadId;
    return ERROR_SUCCESS;
}

void CQvThread::Stop() {
    if (!m_thread) return;
    SignalStop();
    ::WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Reset();
    m_threadId = 0;
}

unsigned __stdcall CQvThread::ThreadStart(void* object) {
    // Nothing may leave a thread entry: what a body lets escape is logged and the thread ends.
    try {
        if (object != nullptr) static_cast<CQvThread*>(object)->Run();
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CQvThread::ThreadStart");
    }
    ::_endthreadex(0);
    return 0;
}
