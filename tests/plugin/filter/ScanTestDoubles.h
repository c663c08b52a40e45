#pragma once
// A recording connection for the scan-buffer tests: the host's packets (writable, as the host's
// are), what the buffer hands back (verdicts, injected bytes), the owner's references and the
// scan-work queue.

#include "base/Sync.h"
#include "plugin/filter/ScanBuffer.h"
#include "plugin/services/FilterServices.h"

#include <windows.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace NuvTest {

class RecordingConnection : public IResponseSink, public IScannableParent, public IScanWorkSink {
public:
    // A host packet with its bytes; the name comes back in the record of its verdict.
    BYTE* Packet(const std::string& name, const std::string& bytes) {
        // One byte more, so that even an empty packet has an address of its own.
        auto packet = std::make_unique<std::string>(bytes);
        packet->push_back('\0');
        BYTE* const data = reinterpret_cast<BYTE*>(&(*packet)[0]);
        m_names[data] = name;
        m_packets.push_back({name, std::move(packet)});
        return data;
    }
    BYTE* Packet(const std::string& name, std::size_t size, char fill = 'x') {
        return Packet(name, std::string(size, fill));
    }
    // The bytes of the latest host packet of that name as they are now (the buffer may have
    // written into them).
    std::string BytesOf(const std::string& name) const {
        for (auto packet = m_packets.rbegin(); packet != m_packets.rend(); ++packet) {
            if (packet->name == name) return packet->bytes->substr(0, packet->bytes->size() - 1);
        }
        return {};
    }

    // The bytes the peer gets in one direction, in order: the packets forwarded with an OK verdict
    // as they now are, and the injected bytes.
    std::string Released(bool inbound) {
        const std::string injected = inbound ? "inject in " : "inject out ";
        const std::string forwardedOk = inbound ? " in OK" : " out OK";
        std::string released;
        for (const std::string& call : Calls()) {
            if (call.rfind(injected, 0) == 0) released += call.substr(injected.size());
            if (call.rfind("forward ", 0) == 0 && call.size() > forwardedOk.size() &&
                call.compare(call.size() - forwardedOk.size(), forwardedOk.size(), forwardedOk) == 0) {
                released += BytesOf(call.substr(8, call.find(' ', 8) - 8));
            }
        }
        return released;
    }

    // Some packet of the direction got FAIL: the host ends the connection.
    bool Failed(bool inbound) {
        const std::string failed = inbound ? " in FAIL" : " out FAIL";
        for (const std::string& call : Calls()) {
            if (call.size() > failed.size() && call.compare(call.size() - failed.size(), failed.size(), failed) == 0) return true;
        }
        return false;
    }

    void Forward(BYTE* data, DWORD size, bool inbound, DWORD verdict) override {
        Tessal::CAutoLock lock(m_lock);
        const auto name = m_names.find(data);
        m_calls.push_back("forward " + (name != m_names.end() ? name->second : std::string("?")) + " " +
                          std::to_string(size) + (inbound ? " in " : " out ") + VerdictName(verdict));
    }
    void Inject(const BYTE* data, DWORD size, bool inbound) override {
        Tessal::CAutoLock lock(m_lock);
        m_calls.push_back(std::string("inject ") + (inbound ? "in " : "out ") +
                          std::string(reinterpret_cast<const char*>(data), size));
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_references); }
    ULONG Release() override { return static_cast<ULONG>(--m_references); }
    void PutScanWork(CScanBuffer* buffer) override {
        Tessal::CAutoLock lock(m_lock);
        m_calls.push_back("queued");
        if (buffer != nullptr) buffer->SetQueued(true);  // as the module's queue marks it
    }

    std::vector<std::string> Calls() {
        Tessal::CAutoLock lock(m_lock);
        return m_calls;
    }
    std::vector<std::string> TakeCalls() {
        Tessal::CAutoLock lock(m_lock);
        std::vector<std::string> calls;
        calls.swap(m_calls);
        return calls;
    }
    LONG References() const { return m_references; }

    static std::string VerdictName(DWORD verdict) {
        switch (verdict) {
            case kVerdictOk: return "OK";
            case kVerdictFail: return "FAIL";
            case kVerdictBypass: return "BYPASS";
            case kVerdictDefer: return "DEFER";
            case kVerdictDrop: return "DROP";
            default: return "verdict " + std::to_string(verdict);
        }
    }

private:
    Tessal::CCriticalSection m_lock;
    struct HostPacket {
        std::string name;
        std::unique_ptr<std::string> bytes;  // stable address
    };
    std::vector<HostPacket> m_packets;
    std::map<const BYTE*, std::string> m_names;
    std::vector<std::string> m_calls;
    LONG m_references = 0;
};

// A state that records how the buffer moves it.
class RecordingState : public CScanAlgorithmState {
public:
    void Reset() override { SetPosition(0); }
    void AdjustPosition(LONG delta) noexcept override {
        adjustments.push_back(delta);
        CScanAlgorithmState::AdjustPosition(delta);
    }
    std::vector<LONG> adjustments;
};

}  // namespace NuvTest
