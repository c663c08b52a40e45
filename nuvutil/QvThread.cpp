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

    HMODULE module = nullptr;
    if (m_moduleHold == ModuleHold::kWhileRunning &&
        !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&CQvThread::ThreadStart),
                              &module)) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND;
    }
    {
        Tessal::CAutoLock lock(m_leaveLock);
        m_bodyEnded = false;
    }
    m_module = module;  // read by the new thread before its body

    const QvThreadInternal::BeginThreadFunction replacement = g_beginThread.load();
    unsigned threadId = 0;
    const uintptr_t thread = replacement != nullptr ? replacement(nullptr, 0, &CQvThread::ThreadStart, this, 0, &threadId)
                                                    : ::_beginthreadex(nullptr, 0, &CQvThread::ThreadStart, this, 0, &threadId);
    if (thread == 0) {
        // _beginthreadex reports some failures through errno only: never answer "success".
        const DWORD error = ::GetLastError();
        m_module = nullptr;
        if (module != nullptr) ::FreeLibrary(module);
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
    Release();
}

bool CQvThread::Stop(DWORD timeoutMs) {
    if (!m_thread) return true;
    SignalStop();
    if (::WaitForSingleObject(m_thread.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
    Release();
    return true;
}

bool CQvThread::StopOrLeave(std::shared_ptr<CQvThread> thread, DWORD timeoutMs) {
    if (!thread) return true;
    CQvThread& object = *thread;
    if (object.Stop(timeoutMs)) return true;
    {
        Tessal::CAutoLock lock(object.m_leaveLock);
        if (!object.m_bodyEnded) {
            object.m_leftBehind = std::move(thread);
            return false;
        }
    }
    // The body returned just past the limit: only the thread's exit is left to wait for.
    object.Stop();
    return true;
}

void CQvThread::Release() noexcept {
    m_thread.Reset();
    m_threadId = 0;
}

void CQvThread::BodyEnded() noexcept {
    std::shared_ptr<CQvThread> last;
    {
        Tessal::CAutoLock lock(m_leaveLock);
        m_bodyEnded = true;
        if (!m_leftBehind) return;
        last = std::move(m_leftBehind);
        // Nobody waits for this thread any more: the destructor's Stop finds none.
        Release();
    }
    // `last` goes here, and with it this object, on its own thread.
}

unsigned __stdcall CQvThread::ThreadStart(void* object) {
    auto* const self = static_cast<CQvThread*>(object);
    // Read before the body: a thread left behind may see its object go when the body returns.
    const HMODULE module = self != nullptr ? self->m_module : nullptr;
    // Nothing may leave a thread entry: what a body lets escape is logged and the thread ends.
    try {
        if (self != nullptr) self->Run();
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CQvThread::ThreadStart");
    }
    if (self != nullptr) self->BodyEnded();
    // The module goes back with the last instruction, so no code of it runs after.
    if (module != nullptr) ::FreeLibraryAndExitThread(module, 0);
    ::_endthreadex(0);
    return 0;
}
