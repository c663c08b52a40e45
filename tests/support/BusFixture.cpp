#include "tests/support/BusFixture.h"

#include "base/UniqueHandle.h"
#include "tests/support/TestPaths.h"

#include <chrono>
#include <cstring>

namespace NuvTest {

BusHeader MakeBusHeader(const std::wstring& name, const std::wstring& sender, const std::wstring& payload) {
    Halvex::WireHeader header = {};
    header.firstWord = 1;
    header.totalSize =
        static_cast<uint32_t>(2 * (name.size() + sender.size() + payload.size()) + Halvex::kTotalSizeOverhead);
    header.version = Halvex::kHeaderVersion2;
    header.extensionType = Halvex::kExtensionType;
    header.extensionLength = Halvex::kExtensionLength;
    BusHeader bytes;
    memcpy(bytes.data(), &header, bytes.size());
    return bytes;
}

std::wstring StandInBus::Folder() { return ExeFolder() + L"\\halvex"; }

StandInBus::StandInBus(bool registerFolder) {
    // Named after the process that set it first; children keep their parent's.
    wchar_t scope[64] = {};
    if (::GetEnvironmentVariableW(L"HALVEX_BUS_SCOPE", scope, ARRAYSIZE(scope)) == 0) {
        const std::wstring own = L"nuvtest-" + std::to_wstring(::GetCurrentProcessId());
        ::SetEnvironmentVariableW(L"HALVEX_BUS_SCOPE", own.c_str());
    }
    const std::wstring folder = Folder();
    if (registerFolder) {
        Tessal::UniqueHKey key;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Halvex::kInstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              key.Put(), nullptr) == ERROR_SUCCESS) {
            ::RegSetValueExW(key.Get(), Halvex::kInstallValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
        }
    }
    m_module = ::LoadLibraryW((folder + L"\\" + Halvex::kLibraryName).c_str());
    if (m_module == nullptr) return;
    auto create = reinterpret_cast<Halvex::CreateObjectFunction>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "CreateObject")));
    if (create != nullptr) {
        m_functions = static_cast<const Korin::MessageBusFunctions*>(create(Halvex::kInterfaceVersion));
    }
}

StandInBus::~StandInBus() {
    if (m_module != nullptr) ::FreeLibrary(m_module);
}

OpenBus::OpenBus(const StandInBus& bus) : m_functions(bus.Functions()) {
    if (m_functions.open(&m_handle) != Halvex::kStatusSuccess) m_handle = nullptr;
}

uint32_t OpenBus::Release() {
    if (m_handle == nullptr) return Halvex::kStatusSuccess;
    const uint32_t status = m_functions.release(m_handle);
    m_handle = nullptr;
    return status;
}

uint32_t OpenBus::Publish(const std::wstring& name, const std::wstring& payload, const std::wstring& sender) {
    const BusHeader header = MakeBusHeader(name, sender, payload);
    return m_functions.publish(m_handle, header.data(), name.c_str(), sender.c_str(), payload.c_str());
}

uint32_t OpenBus::Reply(const BusHeader& requestHeader, const std::wstring& name, const std::wstring& payload,
                        const std::wstring& sender) {
    BusHeader header = requestHeader;
    reinterpret_cast<Halvex::WireHeader*>(header.data())->flags |= Halvex::kFlagReply;
    return m_functions.publish(m_handle, header.data(), name.c_str(), sender.c_str(), payload.c_str());
}

namespace {

// What every delivery carries, as the bus thread that delivers it sees it.
RecordedMessage Delivered(const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload) {
    RecordedMessage message;
    if (header != nullptr) memcpy(message.header.data(), header, message.header.size());
    message.name = name;
    message.sender = sender;
    message.payload = payload;
    message.threadId = ::GetCurrentThreadId();
    return message;
}

}  // namespace

uint32_t RecordingSubscriber::OnMessage(void* context, const void* header, const wchar_t* name, const wchar_t* sender,
                                        const wchar_t* payload) {
    RecordedMessage message = Delivered(header, name, sender, payload);
    static_cast<RecordingSubscriber*>(context)->Record(std::move(message));
    return 0;
}

uint32_t RecordingSubscriber::OnReply(void* context, uint64_t replyIndex, const void* header, const wchar_t* name,
                                      const wchar_t* sender, const wchar_t* payload, uint32_t status) {
    RecordedMessage message = Delivered(header, name, sender, payload);
    message.context = context;
    message.replyIndex = replyIndex;
    message.status = status;
    static_cast<RecordingSubscriber*>(context)->Record(std::move(message));
    return 0;
}

void RecordingSubscriber::SetAction(std::function<void(const RecordedMessage&)> action) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_action = std::move(action);
}

void RecordingSubscriber::Record(RecordedMessage message) {
    std::function<void(const RecordedMessage&)> action;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_messages.push_back(message);
        action = m_action;
    }
    m_arrived.notify_all();
    if (action) action(message);
}

size_t RecordingSubscriber::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_messages.size();
}

std::vector<RecordedMessage> RecordingSubscriber::Messages() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_messages;
}

bool RecordingSubscriber::WaitForCount(size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_messages.size() >= count; });
}

}  // namespace NuvTest
