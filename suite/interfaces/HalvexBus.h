#pragma once
// Binary contract of the suite's message-bus library "Halvex.dll": its four exports, the function
// table CreateObject(2001000) returns, the callbacks the table takes, the 108-byte header every
// message carries and the statuses the bus returns. Both the bus and its clients include this.
//
// Where a process finds the library: HKLM "SOFTWARE\OBERIX\PLEXAN", value "Install Dir"
// ("Install Dir32" for a 32-bit process on a 64-bit system).
//
// Header. The bus reads 108 bytes when the version field is 2, else the first 100 (version 1).
// A header whose total size is below 106 (a version-1 header with three empty strings) cannot be
// a header at all: refused with kStatusInvalidBufferSize. Every header the bus delivers is a
// version-2 header whose total size fits the delivered strings, whose session id is the Windows
// session of the publishing process, and whose other bytes are the publisher's.
//
// Requests and replies. The table has no reply entry, and a reply index belongs to the client that
// made the request, so the bus marks every request it delivers:
//   - the delivered header has the reply flag clear, the requester's reply index at offset 92 and
//     a requester stamp (RequesterStamp) in reserved bytes 12 to 27; the other reserved bytes are
//     the requester's;
//   - a responder answers by publishing its reply with that header (copied byte for byte, as a
//     client's setHeader does) and the reply flag (bit 0) set. The bus hands such a publish only to
//     the requester's reply callback, with the requester's reply index and status 0, in whatever
//     process the requester lives; subscribers of the reply's name never see it.
//   - a reply whose stamp is missing gets kStatusNotFound; a reply to a request of this process
//     that is no longer pending (answered, timed out, released) also gets kStatusNotFound; a reply
//     for another process is accepted and dropped there when late.
//   - every accepted request gets exactly one reply callback: the first reply, or kStatusTimeout
//     with empty strings when the time-out passes first. releaseReplyCallback and the release of
//     the handle drop the requests still pending with no callback.
//   - the publish of the same header with the reply flag clear (a client's "non-reply copy") is a
//     plain message: it reaches the subscribers of its name like any other.
//
// Delivery. One router per process serves every handle; messages and replies are delivered on the
// bus's own threads, never on the caller's. The messages of one subscription are delivered one at
// a time in the order they were published; different subscriptions run concurrently. Exact
// subscriptions compare names code unit for code unit; pattern subscriptions take an ECMAScript
// expression that must match the whole name (an invalid one: subscription id 0). Between processes
// of the same session messages and replies go straight into each process's inbox in shared
// memory; a broker process (beside the library, started by the first process) tells the processes
// about each other over a named pipe and notices the ones that end. Without the broker the bus
// works in one process alone. Known limit: a message over 2 MB stays within its process.
//
// Lifetime. The bus's threads start with a process's first open handle. The last release returns
// once everything accepted before it has been delivered (to another process: written into its
// inbox, so it arrives even when this process ends at once) and the threads are joined. unsubscribe
// and releaseReplyCallback return once no callback of theirs runs on another thread (called from
// that callback, they do not wait for it); calling them again changes nothing.
//
// Bad input: a null or released handle gets kStatusInvalidHandle; a null header, name, sender,
// payload or reply callback kStatusInvalidParameter; nothing is delivered.

#include <cstddef>
#include <cstdint>

namespace Halvex {

inline constexpr wchar_t kLibraryName[] = L"Halvex.dll";
inline constexpr wchar_t kInstallKey[] = L"SOFTWARE\\OBERIX\\PLEXAN";
inline constexpr wchar_t kInstallValue[] = L"Install Dir";
inline constexpr wchar_t kInstallValue32[] = L"Install Dir32";

inline constexpr uint32_t kInterfaceVersion = 2001000;  // CreateObject's only accepted version
inline constexpr char kVersionText[] = "2.1.0";

// Statuses (32-bit; every failure has the top bit set).
inline constexpr uint32_t kStatusSuccess = 0x00000000;
inline constexpr uint32_t kStatusUnsuccessful = 0x80000002;
inline constexpr uint32_t kStatusInvalidBufferSize = 0x80000005;
inline constexpr uint32_t kStatusInvalidHandle = 0x80000007;
inline constexpr uint32_t kStatusInvalidParameter = 0x80000008;
inline constexpr uint32_t kStatusNoMemory = 0x80000009;
inline constexpr uint32_t kStatusNotFound = 0x8000000A;
inline constexpr uint32_t kStatusTimeout = 0x8000000D;
inline constexpr uint32_t kStatusUnknownException = 0x8000000F;

#pragma pack(push, 1)
struct WireHeader {
    uint16_t firstWord;       // 1
    uint32_t totalSize;       // 2 * (name + sender + payload code units) + 114
    uint32_t flags;           // bit 0: reply
    uint16_t version;         // 2: the extension below is present
    uint8_t reserved[80];
    uint64_t replyIndex;      // the request a reply answers
    uint16_t extensionType;   // 11
    uint16_t extensionLength; // 8
    uint32_t sessionId;       // Windows session of the publisher; 0 = none
};

// Written by the bus into reserved bytes 12 to 27 of every request it delivers.
struct RequesterStamp {
    uint32_t magic;          // kStampMagic
    uint32_t processId;      // the requester's process
    uint64_t requestSerial;  // the request, unique in that process
};
#pragma pack(pop)

static_assert(offsetof(WireHeader, firstWord) == 0);
static_assert(offsetof(WireHeader, totalSize) == 2);
static_assert(offsetof(WireHeader, flags) == 6);
static_assert(offsetof(WireHeader, version) == 10);
static_assert(offsetof(WireHeader, reserved) == 12);
static_assert(offsetof(WireHeader, replyIndex) == 92);
static_assert(offsetof(WireHeader, extensionType) == 100);
static_assert(offsetof(WireHeader, extensionLength) == 102);
static_assert(offsetof(WireHeader, sessionId) == 104);
static_assert(sizeof(WireHeader) == 108);
static_assert(sizeof(RequesterStamp) == 16);

inline constexpr size_t kHeaderSizeV1 = 100;
inline constexpr size_t kHeaderSizeV2 = 108;
inline constexpr uint16_t kHeaderVersion2 = 2;
inline constexpr uint16_t kExtensionType = 11;
inline constexpr uint16_t kExtensionLength = 8;
inline constexpr uint32_t kTotalSizeOverhead = 114;  // 108 header bytes + three terminators
inline constexpr uint32_t kMinimumTotalSize = 106;   // 100 header bytes + three terminators
inline constexpr uint32_t kFlagReply = 1u << 0;
inline constexpr size_t kStampOffset = 12;
inline constexpr uint32_t kStampMagic = 0x58564C48;  // "HLVX"

using BusHandle = void*;

// The callbacks a client hands to the bus; both return a status the bus ignores.
using ReplyCallback = uint32_t (*)(void* context, uint64_t replyIndex, const void* header, const wchar_t* name,
                                   const wchar_t* sender, const wchar_t* payload, uint32_t status);
using MessageCallback = uint32_t (*)(void* context, const void* header, const wchar_t* name, const wchar_t* sender,
                                     const wchar_t* payload);

// The four exports.
using CreateObjectFunction = void* (*)(uint32_t interfaceVersion);  // the table, or null
using ReleaseObjectFunction = void (*)(void* object);
using GetVersionStrFunction = const char* (*)();
using GetVersionNumFunction = uint32_t (*)();

}  // namespace Halvex

namespace Korin {

// Returned by CreateObject(2001000). Every entry but open takes the handle first.
struct MessageBusFunctions {
    uint32_t (*open)(Halvex::BusHandle* handle);
    uint32_t (*release)(Halvex::BusHandle handle);
    uint32_t (*publish)(Halvex::BusHandle handle, const void* header, const wchar_t* name, const wchar_t* sender,
                        const wchar_t* payload);
    uint32_t (*request)(Halvex::BusHandle handle, uint64_t replyIndex, void* context, Halvex::ReplyCallback callback,
                        const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                        uint64_t timeoutMs);
    // Subscription id, 0 on failure.
    uint32_t (*subscribe)(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                          const wchar_t* name);
    uint32_t (*subscribeFilter)(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                                const wchar_t* pattern);
    // Returns once no call of that subscription runs on another thread; unknown ids are ignored.
    uint32_t (*unsubscribe)(Halvex::BusHandle handle, uint32_t subscriptionId);
    // Returns once that callback runs on no other thread and is called no more.
    uint32_t (*releaseReplyCallback)(Halvex::BusHandle handle, Halvex::ReplyCallback callback);
    uint32_t (*publishVariant)(Halvex::BusHandle handle, const void* header, const wchar_t* name,
                               const wchar_t* sender, const wchar_t* payload);
    uint32_t (*requestVariant)(Halvex::BusHandle handle, uint64_t replyIndex, void* context,
                               Halvex::ReplyCallback callback, const void* header, const wchar_t* name,
                               const wchar_t* sender, const wchar_t* payload, uint64_t timeoutMs);
};

static_assert(offsetof(MessageBusFunctions, open) == 0x00);
static_assert(offsetof(MessageBusFunctions, release) == 0x08);
static_assert(offsetof(MessageBusFunctions, publish) == 0x10);
static_assert(offsetof(MessageBusFunctions, request) == 0x18);
static_assert(offsetof(MessageBusFunctions, subscribe) == 0x20);
static_assert(offsetof(MessageBusFunctions, subscribeFilter) == 0x28);
static_assert(offsetof(MessageBusFunctions, unsubscribe) == 0x30);
static_assert(offsetof(MessageBusFunctions, releaseReplyCallback) == 0x38);
static_assert(offsetof(MessageBusFunctions, publishVariant) == 0x40);
static_assert(offsetof(MessageBusFunctions, requestVariant) == 0x48);
static_assert(sizeof(MessageBusFunctions) == 0x50);

}  // namespace Korin
