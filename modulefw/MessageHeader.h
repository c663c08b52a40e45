#pragma once
// The fixed header that travels with every bus message. The bus library reads and writes it by
// address, so its layout is a wire format: packed, little-endian, 108 bytes, fields at odd offsets.
// A version-1 header is only the first 100 bytes (no extension).

#include <cstddef>
#include <cstdint>

namespace Korin {

#pragma pack(push, 1)

// From header version 2 on: the sender's Windows session id (0 = none).
struct MessageHeaderExtension {
    std::uint16_t type;
    std::uint16_t length;
    std::uint32_t sessionId;
};

struct MessageHeader {
    static constexpr std::size_t Size = 108;
    static constexpr std::size_t Version1Size = 100;
    static constexpr std::uint16_t CurrentVersion = 2;
    static constexpr std::uint16_t ExtensionType = 11;
    static constexpr std::uint16_t ExtensionLength = 8;
    // Flag bit of a reply; the other bits belong to the bus client or pass through unchanged.
    static constexpr unsigned ReplyFlag = 0;

    std::uint16_t firstWord;
    std::uint32_t totalSize;  // bytes of header and the three terminated strings
    std::uint32_t flags;
    std::uint16_t version;
    std::uint8_t reserved[80];  // the bus's; carried unchanged
    std::uint64_t replyIndex;   // the request a reply answers
    MessageHeaderExtension extension;

    // Bit n of the flags, n taken modulo 32.
    bool isFlagSet(unsigned n) const noexcept { return (flags & bit(n)) != 0; }
    void setFlag(unsigned n) noexcept { flags |= bit(n); }
    void clearFlag(unsigned n) noexcept { flags &= ~bit(n); }
    void clearReplyIndex() noexcept { replyIndex = 0; }

    // The extension when version 2 is asked for and this header is one; null otherwise.
    MessageHeaderExtension* getExtension(std::uint16_t askedVersion) noexcept {
        return askedVersion == CurrentVersion && version == CurrentVersion ? &extension : nullptr;
    }
    const MessageHeaderExtension* getExtension(std::uint16_t askedVersion) const noexcept {
        return askedVersion == CurrentVersion && version == CurrentVersion ? &extension : nullptr;
    }

private:
    static constexpr std::uint32_t bit(unsigned n) noexcept { return std::uint32_t{1} << (n % 32); }
};

#pragma pack(pop)

static_assert(sizeof(MessageHeaderExtension) == 8, "extension is 8 bytes");
static_assert(offsetof(MessageHeaderExtension, type) == 0, "extension type at 0");
static_assert(offsetof(MessageHeaderExtension, length) == 2, "extension length at 2");
static_assert(offsetof(MessageHeaderExtension, sessionId) == 4, "session id 4 bytes into the extension");

static_assert(sizeof(MessageHeader) == MessageHeader::Size, "header is 108 bytes");
static_assert(alignof(MessageHeader) == 1, "header is packed");
static_assert(offsetof(MessageHeader, firstWord) == 0, "first word at 0");
static_assert(offsetof(MessageHeader, totalSize) == 2, "total size at 2");
static_assert(offsetof(MessageHeader, flags) == 6, "flags at 6");
static_assert(offsetof(MessageHeader, version) == 10, "version at 10");
static_assert(offsetof(MessageHeader, reserved) == 12, "reserved bytes at 12");
static_assert(offsetof(MessageHeader, replyIndex) == 92, "reply index at 92");
static_assert(offsetof(MessageHeader, extension) == MessageHeader::Version1Size, "extension at 100");
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, type) == 100,
              "extension type at 100");
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, length) == 102,
              "extension length at 102");
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, sessionId) == 104,
              "session id at 104");

}  // namespace Korin
