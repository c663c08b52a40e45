#include "suite/bus/PipeFrames.h"

#include <cstring>

namespace HalvexBus {
namespace {

void PutU32(std::string& out, uint32_t value) { out.append(reinterpret_cast<const char*>(&value), sizeof(value)); }

void PutText(std::string& out, const std::wstring& text) {
    PutU32(out, static_cast<uint32_t>(text.size()));
    out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

class Reader {
public:
    explicit Reader(const std::string& data) : m_data(data) {}
    bool Bytes(void* out, size_t size) {
        if (m_data.size() - m_offset < size) return false;
        memcpy(out, m_data.data() + m_offset, size);
        m_offset += size;
        return true;
    }
    bool U32(uint32_t& value) { return Bytes(&value, sizeof(value)); }
    bool Text(std::wstring& text) {
        uint32_t length = 0;
        if (!U32(length) || (m_data.size() - m_offset) / sizeof(wchar_t) < length) return false;
        text.assign(reinterpret_cast<const wchar_t*>(m_data.data() + m_offset), length);
        m_offset += length * sizeof(wchar_t);
        return true;
    }
    bool AtEnd() const { return m_offset == m_data.size(); }

private:
    const std::string& m_data;
    size_t m_offset = 0;
};

bool CarriesMessage(FrameType type) { return type == FrameType::Publish || type == FrameType::Reply; }
bool CarriesProcesses(FrameType type) { return type == FrameType::Welcome || type == FrameType::Peers; }

}  // namespace

std::string EncodeFrame(const Frame& frame) {
    std::string out(4, '\0');  // length, filled in below
    out.push_back(static_cast<char>(frame.type));
    PutU32(out, frame.processId);
    if (CarriesMessage(frame.type)) {
        out.append(reinterpret_cast<const char*>(frame.header.data()), frame.header.size());
        PutText(out, frame.name);
        PutText(out, frame.sender);
        PutText(out, frame.payload);
    } else if (CarriesProcesses(frame.type)) {
        PutU32(out, static_cast<uint32_t>(frame.processes.size()));
        for (uint32_t process : frame.processes) PutU32(out, process);
    }
    const uint32_t length = static_cast<uint32_t>(out.size() - 4);
    memcpy(&out[0], &length, sizeof(length));
    return out;
}

bool DecodeFrame(const std::string& body, Frame& frame) {
    Reader reader(body);
    uint8_t type = 0;
    if (!reader.Bytes(&type, 1) || type < 1 || type > 8 || type == 5 || type == 6) return false;
    frame.type = static_cast<FrameType>(type);
    if (!reader.U32(frame.processId)) return false;
    if (CarriesMessage(frame.type)) {
        if (!reader.Bytes(frame.header.data(), frame.header.size()) || !reader.Text(frame.name) ||
            !reader.Text(frame.sender) || !reader.Text(frame.payload)) {
            return false;
        }
    } else if (CarriesProcesses(frame.type)) {
        uint32_t count = 0;
        if (!reader.U32(count) || count > 65536) return false;
        frame.processes.resize(count);
        for (uint32_t& process : frame.processes) {
            if (!reader.U32(process)) return false;
        }
    }
    return reader.AtEnd();
}

std::wstring BusScopeName() {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    wchar_t scope[128] = {};
    const DWORD length = ::GetEnvironmentVariableW(kScopeVariable, scope, ARRAYSIZE(scope));
    std::wstring name = L"HalvexBus-" + std::to_wstring(session) + L"-";
    name += (length > 0 && length < ARRAYSIZE(scope)) ? scope : L"default";
    return name;
}

std::wstring BrokerPipeName() { return L"\\\\.\\pipe\\" + BusScopeName(); }

PipeChannel::PipeChannel(HANDLE pipe)
    : m_pipe(pipe),
      m_readEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_writeEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

bool PipeChannel::Transfer(bool read, char* data, DWORD size) {
    while (size > 0) {
        if (m_cancelled.load()) return false;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = read ? m_readEvent.Get() : m_writeEvent.Get();
        ::ResetEvent(overlapped.hEvent);
        DWORD done = 0;
        const BOOL ok = read ? ::ReadFile(m_pipe.Get(), data, size, &done, &overlapped)
                             : ::WriteFile(m_pipe.Get(), data, size, &done, &overlapped);
        if (!ok) {
            if (::GetLastError() != ERROR_IO_PENDING) return false;
            // Cancel() may run before the wait: it then aborts this operation too.
            if (m_cancelled.load()) ::CancelIoEx(m_pipe.Get(), &overlapped);
            if (!::GetOverlappedResult(m_pipe.Get(), &overlapped, &done, TRUE)) return false;
        }
        if (done == 0 && read) return false;
        data += done;
        size -= done;
    }
    return true;
}

bool PipeChannel::ReadFrame(Frame& frame) {
    uint32_t length = 0;
    if (!Transfer(true, reinterpret_cast<char*>(&length), sizeof(length))) return false;
    if (length == 0 || length > kMaxFrameBytes) return false;
    std::string body(length, '\0');
    if (!Transfer(true, &body[0], length)) return false;
    return DecodeFrame(body, frame);
}

bool PipeChannel::Write(const std::string& bytes) {
    // Transfer only reads from the buffer when writing.
    return Transfer(false, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

void PipeChannel::Cancel() {
    m_cancelled.store(true);
    ::CancelIoEx(m_pipe.Get(), nullptr);
}

}  // namespace HalvexBus
