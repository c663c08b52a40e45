// The bus broker: keeps the list of the processes on the bus of one session and scope. The first
// process that opens the bus starts it; every process connects over a named pipe (local clients
// only), and learns from it who else is there; messages then go straight from process to process
// (SharedInbox.h). A newcomer is welcomed once every process already there has acknowledged it. A
// process that goes away (released, crashed or killed) breaks its pipe and is dropped, and the
// others are told. The broker ends when no process has been connected for a little while.

#include "suite/bus/PipeFrames.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace HalvexBus;

constexpr DWORD kFirstConnectMs = 10000;
constexpr DWORD kLingerMs = 1000;
constexpr DWORD kPipeBufferBytes = 64 * 1024;
// A process that does not acknowledge a newcomer in this time is not waited for any longer.
constexpr ULONGLONG kAckMs = 2000;

struct Peer {
    std::unique_ptr<PipeChannel> channel;
    uint32_t processId = 0;
    bool registered = false;  // welcomed: one of the processes on the bus
    // Said hello, waits until the processes in `awaiting` have acknowledged the announcement
    // `announcement` (or a later one).
    bool joining = false;
    ULONGLONG joinedAt = 0;
    uint32_t announcement = 0;
    std::set<Peer*> awaiting;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::string> outbox;
    bool down = false;
};

class Broker {
public:
    int Serve(const std::wstring& pipeName);

private:
    void AddPeer(HANDLE pipe);
    void ReadFrom(const std::shared_ptr<Peer>& peer);
    void WriteTo(const std::shared_ptr<Peer>& peer);
    static void Send(Peer& peer, const std::string& bytes);
    bool Idle();
    // With m_lock held.
    void Welcome(Peer& peer);
    void Acknowledged(Peer* by, uint32_t announcement);
    std::vector<uint32_t> Others(const Peer& peer) const;
    uint32_t AnnouncePeers();
    void WelcomeOverdue();

    std::mutex m_lock;  // guards the list and every peer's joining state
    std::vector<std::shared_ptr<Peer>> m_peers;
    ULONGLONG m_emptySince = 0;
    DWORD m_allowedIdleMs = kFirstConnectMs;
    uint32_t m_announcements = 0;
};

void Broker::Send(Peer& peer, const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(peer.lock);
        if (peer.down) return;
        peer.outbox.push_back(bytes);
    }
    peer.wake.notify_one();
}

void Broker::AddPeer(HANDLE pipe) {
    auto peer = std::make_shared<Peer>();
    peer->channel = std::make_unique<PipeChannel>(pipe);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_peers.push_back(peer);
    }
    // Detached: a peer's threads end on their own when its pipe breaks.
    std::thread([this, peer] { ReadFrom(peer); }).detach();
    std::thread([this, peer] { WriteTo(peer); }).detach();
}

void Broker::ReadFrom(const std::shared_ptr<Peer>& peer) {
    Frame frame;
    while (peer->channel->ReadFrame(frame)) {
        std::lock_guard<std::mutex> lock(m_lock);
        switch (frame.type) {
        case FrameType::Hello: {
            peer->processId = frame.processId;
            peer->joining = true;
            peer->joinedAt = ::GetTickCount64();
            for (const auto& other : m_peers) {
                if (other->registered) peer->awaiting.insert(other.get());
            }
            if (peer->awaiting.empty()) {
                Welcome(*peer);
            } else {
                peer->announcement = AnnouncePeers();
            }
            break;
        }
        case FrameType::PeersAck:
            Acknowledged(peer.get(), frame.processId);
            break;
        default:
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(peer->lock);
        peer->down = true;
        peer->outbox.clear();
    }
    peer->wake.notify_one();
    std::lock_guard<std::mutex> lock(m_lock);
    m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), peer), m_peers.end());
    Acknowledged(peer.get(), UINT32_MAX);  // nobody waits for a process that is gone
    if (peer->registered || peer->joining) AnnouncePeers();
    if (m_peers.empty()) {
        m_emptySince = ::GetTickCount64();
        m_allowedIdleMs = kLingerMs;
    }
}

void Broker::WriteTo(const std::shared_ptr<Peer>& peer) {
    std::unique_lock<std::mutex> lock(peer->lock);
    for (;;) {
        peer->wake.wait(lock, [&] { return peer->down || !peer->outbox.empty(); });
        if (peer->down) break;
        std::string bytes = std::move(peer->outbox.front());
        peer->outbox.pop_front();
        while (!peer->outbox.empty() && bytes.size() < 256 * 1024) {
            bytes += peer->outbox.front();
            peer->outbox.pop_front();
        }
        lock.unlock();
        const bool written = peer->channel->Write(bytes);
        lock.lock();
        if (!written) {
            // A peer that cannot take more (gone, or stuck) is dropped, not waited for.
            peer->down = true;
            peer->outbox.clear();
            break;
        }
    }
    lock.unlock();
    peer->channel->Cancel();  // ends the reader, which removes the peer
}

std::vector<uint32_t> Broker::Others(const Peer& peer) const {
    std::vector<uint32_t> others;
    for (const auto& other : m_peers) {
        if (other.get() != &peer && (other->registered || other->joining)) others.push_back(other->processId);
    }
    return others;
}

void Broker::Welcome(Peer& peer) {
    Frame welcome;
    welcome.type = FrameType::Welcome;
    welcome.processes = Others(peer);
    peer.joining = false;
    peer.awaiting.clear();
    peer.registered = true;
    Send(peer, EncodeFrame(welcome));
}

void Broker::Acknowledged(Peer* by, uint32_t announcement) {
    // An acknowledgement of an earlier announcement says nothing about a later newcomer.
    for (const auto& peer : m_peers) {
        if (peer->joining && announcement >= peer->announcement && peer->awaiting.erase(by) > 0 &&
            peer->awaiting.empty()) {
            Welcome(*peer);
        }
    }
}

uint32_t Broker::AnnouncePeers() {
    const uint32_t announcement = ++m_announcements;
    for (const auto& peer : m_peers) {
        if (!peer->registered) continue;
        Frame peers;
        peers.type = FrameType::Peers;
        peers.processId = announcement;
        peers.processes = Others(*peer);
        Send(*peer, EncodeFrame(peers));
    }
    return announcement;
}

void Broker::WelcomeOverdue() {
    std::lock_guard<std::mutex> lock(m_lock);
    const ULONGLONG now = ::GetTickCount64();
    for (const auto& peer : m_peers) {
        if (peer->joining && now - peer->joinedAt > kAckMs) Welcome(*peer);
    }
}

bool Broker::Idle() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_peers.empty() && ::GetTickCount64() - m_emptySince > m_allowedIdleMs;
}

int Broker::Serve(const std::wstring& pipeName) {
    m_emptySince = ::GetTickCount64();
    Tessal::UniqueHandle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool first = true;
    for (;;) {
        const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        HANDLE pipe = ::CreateNamedPipeW(pipeName.c_str(), openMode,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            if (first) return 0;  // another broker serves this pipe
            ::Sleep(50);
            continue;
        }
        first = false;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connected.Get();
        ::ResetEvent(overlapped.hEvent);
        bool isConnected = ::ConnectNamedPipe(pipe, &overlapped) != FALSE;
        if (!isConnected) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                isConnected = true;
            } else if (error == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                while (::WaitForSingleObject(overlapped.hEvent, 200) != WAIT_OBJECT_0) {
                    WelcomeOverdue();
                    if (!Idle()) continue;
                    // A client may connect just now: its connection wins over ending.
                    ::CancelIoEx(pipe, &overlapped);
                    if (::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE)) break;
                    ::CloseHandle(pipe);
                    return 0;
                }
                isConnected = ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
            }
        }
        if (isConnected) {
            AddPeer(pipe);
        } else {
            ::CloseHandle(pipe);
        }
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    std::wstring pipeName = commandLine != nullptr ? commandLine : L"";
    while (!pipeName.empty() && pipeName.back() == L' ') pipeName.pop_back();
    if (pipeName.rfind(L"\\\\.\\pipe\\", 0) != 0) return 2;
    Broker broker;
    const int code = broker.Serve(pipeName);
    // Peers' threads may still be parked; nothing of theirs needs an orderly end.
    ::ExitProcess(static_cast<UINT>(code));
}
