#include "suite/bus/BrokerLink.h"

#include <set>

namespace HalvexBus {
namespace {

constexpr DWORD kConnectMs = 10000;

std::wstring ThisLibraryFolder() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ThisLibraryFolder), &self)) {
        return {};
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

bool StartBroker(const std::wstring& pipeName) {
    const std::wstring exe = ThisLibraryFolder() + L"\\" + kBrokerFileName;
    std::wstring commandLine = L"\"" + exe + L"\" " + pipeName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Inherits no handle: the broker outlives this process and must not hold its pipes open.
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

HANDLE ConnectPipe(const std::wstring& name) {
    const ULONGLONG end = ::GetTickCount64() + kConnectMs;
    bool started = false;
    for (;;) {
        HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        const DWORD error = ::GetLastError();
        if (::GetTickCount64() > end) return nullptr;
        if (error == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(name.c_str(), 200);
        } else if (error == ERROR_FILE_NOT_FOUND) {
            // Two processes may both start one: the second broker finds the pipe taken and ends.
            if (!started && !StartBroker(name)) return nullptr;
            started = true;
            ::Sleep(10);
        } else {
            return nullptr;
        }
    }
}

}  // namespace

BrokerLink::~BrokerLink() { Stop(); }

bool BrokerLink::Start(Receiver receiver) {
    m_receiver = std::move(receiver);
    const uint32_t self = ::GetCurrentProcessId();
    m_inbox = std::make_unique<InboxReader>();
    if (!m_inbox->Create(self)) return false;
    const std::wstring name = BrokerPipeName();
    // A broker that was just ending (its last process left) drops the connection before its
    // welcome: the next attempt starts a new one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        HANDLE pipe = ConnectPipe(name);
        if (pipe == nullptr) return false;
        auto channel = std::make_unique<PipeChannel>(pipe);
        Frame hello;
        hello.type = FrameType::Hello;
        hello.processId = self;
        Frame welcome;
        if (!channel->Write(EncodeFrame(hello)) || !channel->ReadFrame(welcome) ||
            welcome.type != FrameType::Welcome) {
            continue;
        }
        UpdatePeers(welcome.processes);
        m_channel = std::move(channel);
        m_stop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_control = std::thread([this] { ControlLoop(); });
        m_reader = std::thread([this] {
            m_inbox->Run(m_stop.Get(), [this](const std::string& body) {
                Frame frame;
                if (DecodeFrame(body, frame)) m_receiver(std::move(frame));
            });
        });
        return true;
    }
    return false;
}

void BrokerLink::Send(const Frame& frame, uint32_t toProcess) {
    const std::string bytes = EncodeFrame(frame);
    std::lock_guard<std::mutex> lock(m_peersLock);
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if ((toProcess == 0 || it->first == toProcess) && !it->second->Write(bytes)) {
            it = m_peers.erase(it);  // ended; the broker will say so too
        } else {
            ++it;
        }
    }
}

void BrokerLink::Stop() {
    if (!m_channel) return;
    ::SetEvent(m_stop.Get());
    m_channel->Cancel();
    if (m_control.joinable()) m_control.join();
    if (m_reader.joinable()) m_reader.join();
    m_channel.reset();
    m_inbox.reset();
    std::lock_guard<std::mutex> lock(m_peersLock);
    m_peers.clear();
    m_othersPresent = false;
}

void BrokerLink::UpdatePeers(const std::vector<uint32_t>& processes) {
    const std::set<uint32_t> current(processes.begin(), processes.end());
    std::lock_guard<std::mutex> lock(m_peersLock);
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        it = current.count(it->first) == 0 ? m_peers.erase(it) : std::next(it);
    }
    for (uint32_t process : current) {
        if (m_peers.count(process) != 0) continue;
        auto writer = std::make_unique<InboxWriter>();
        if (writer->Open(process)) m_peers.emplace(process, std::move(writer));
    }
    m_othersPresent = !m_peers.empty();
}

void BrokerLink::ControlLoop() {
    Frame frame;
    while (m_channel->ReadFrame(frame)) {
        if (frame.type != FrameType::Peers) continue;
        UpdatePeers(frame.processes);
        Frame acknowledgement;
        acknowledgement.type = FrameType::PeersAck;
        acknowledgement.processId = frame.processId;
        if (!m_channel->Write(EncodeFrame(acknowledgement))) break;
    }
    // The broker is gone: nobody says who joins, so the bus stays with the processes known now.
}

}  // namespace HalvexBus
