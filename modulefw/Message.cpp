#include "modulefw/Message.h"

#include "logging/Logging.h"
#include "modulefw/GuardedCall.h"

#include <windows.h>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace Korin {
namespace {

// Every header starts as this; a message built here changes only the total size.
const MessageHeader kTemplate = [] {
    MessageHeader header{};
    header.firstWord = 1;
    header.version = MessageHeader::CurrentVersion;
    header.extension.type = MessageHeader::ExtensionType;
    header.extension.length = MessageHeader::ExtensionLength;
    return header;
}();

// The header plus a 2-byte terminator for each of the three strings.
constexpr std::uint64_t kFixedSize = MessageHeader::Size + 3 * sizeof(wchar_t);

const std::wstring& defaultSender() {
    // Thread-safe once-only initialisation; a throw leaves it to the next caller.
    static const std::wstring sender = getCurrentModuleFileName();
    return sender;
}

// Any address inside this module's image will do to find the module.
const char g_moduleMarker = 0;

}  // namespace

Message::Message(std::wstring name, std::wstring sender, std::wstring payload)
    : m_name(std::move(name)),
      m_sender(std::move(sender)),
      m_payload(std::move(payload)),
      m_header(std::make_unique<MessageHeader>(kTemplate)) {
    const std::uint64_t total =
        2 * (std::uint64_t{m_name.size()} + m_sender.size() + m_payload.size()) + kFixedSize;
    if (total > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("message too large");
    m_header->totalSize = static_cast<std::uint32_t>(total);
}

Message::~Message() = default;

std::shared_ptr<Message> Message::create(const std::wstring& name, const std::wstring& sender,
                                         const std::wstring& payload) {
    const std::wstring& fallback = defaultSender();
    std::shared_ptr<Message> message;
    internal::guardedCall([&] {
        message = std::make_shared<Message>(name, sender.empty() ? fallback : sender, payload);
        return MODULE_STATUS_SUCCESS;
    });
    return message;
}

ModuleStatus Message::createReceived(const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                                     const MessageHeader* header, std::size_t headerSize,
                                     std::shared_ptr<Message>& message) noexcept {
    message.reset();
    if (name == nullptr || sender == nullptr || payload == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Received a message without name, sender or payload. Returning.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    if (header != nullptr && headerSize < MessageHeader::Version1Size) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Received a message header of %lu bytes. Returning.",
                static_cast<unsigned long>(headerSize));
        return MODULE_STATUS_INVALID_BUFFER_SIZE;
    }
    std::shared_ptr<Message> built;
    const ModuleStatus status = internal::guardedCall([&] {
        built = create(name, sender, payload);
        return built ? MODULE_STATUS_SUCCESS : MODULE_STATUS_NO_MEMORY;
    });
    if (status != MODULE_STATUS_SUCCESS) return status;
    setHeader(built->getHeader(), header, headerSize);
    message = std::move(built);
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus Message::setHeader(MessageHeader* destination, const MessageHeader* source) noexcept {
    return setHeader(destination, source, MessageHeader::Size);
}

ModuleStatus Message::setHeader(MessageHeader* destination, const MessageHeader* source,
                                std::size_t sourceSize) noexcept {
    if (destination == nullptr) return MODULE_STATUS_INVALID_PARAMETER;
    *destination = kTemplate;
    if (source == nullptr) return MODULE_STATUS_SUCCESS;
    if (sourceSize < MessageHeader::Version1Size) return MODULE_STATUS_INVALID_BUFFER_SIZE;

    // Byte copies: the fields are unaligned, and a version-1 source may end at byte 100.
    std::uint16_t version = 0;
    std::memcpy(&version, reinterpret_cast<const unsigned char*>(source) + offsetof(MessageHeader, version),
                sizeof(version));
    if (version == MessageHeader::CurrentVersion && sourceSize >= MessageHeader::Size) {
        std::memcpy(destination, source, MessageHeader::Size);
        return MODULE_STATUS_SUCCESS;
    }
    std::memcpy(destination, source, MessageHeader::Version1Size);
    destination->totalSize += MessageHeader::Size - MessageHeader::Version1Size;
    destination->version = MessageHeader::CurrentVersion;
    return MODULE_STATUS_SUCCESS;
}

std::wstring getCurrentModuleFileName() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&g_moduleMarker), &module)) {
        return {};
    }
    return internal::moduleFileName(module, ::GetModuleFileNameW);
}

namespace internal {

std::wstring moduleFileName(HMODULE module, ModuleFileNameFunction getModuleFileName) {
    // Cleared first and judged by the result: success leaves the thread's last error as it was, and
    // a stale value there must not cost the process its sender for good.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = getModuleFileName(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        // Cut to the buffer: try a larger one, up to the longest path Windows has.
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace internal

}  // namespace Korin
