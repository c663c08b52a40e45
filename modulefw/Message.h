#pragma once
// A bus message: name, sender and payload (JSON by convention, not read here) with the header that
// crosses into the bus library beside them. Always held through shared pointers; the strings do not
// change after construction, the header is changed in place (setHeader, the publishing client).

#include "modulefw/MessageHeader.h"
#include "modulefw/ModuleStatus.h"

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Korin {

class Message {
public:
    // An empty sender becomes the default sender: the file name of the module holding this code.
    // Only computing that name the first time in the process can throw; after that a failure
    // (memory) gives an empty pointer, which the caller must test.
    static std::shared_ptr<Message> create(const std::wstring& name, const std::wstring& sender,
                                           const std::wstring& payload);

    // A message out of what the bus hands over by address: zero-terminated texts and a header of
    // `headerSize` readable bytes (null: the template). A null text or a header shorter than
    // version 1 is refused with a status and nothing is built.
    static ModuleStatus createReceived(const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                                       const MessageHeader* header, std::size_t headerSize,
                                       std::shared_ptr<Message>& message) noexcept;

    // Header from the template, total size computed from the three lengths. Throws std::length_error
    // when that size does not fit its 32 bits.
    Message(std::wstring name, std::wstring sender, std::wstring payload);
    virtual ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    const std::wstring& getName() const noexcept { return m_name; }
    const std::wstring& getSender() const noexcept { return m_sender; }
    const std::wstring& getPayload() const noexcept { return m_payload; }
    MessageHeader* getHeader() const noexcept { return m_header.get(); }

    // Replaces `destination` with a header received from the bus: the template first; then all of
    // a version-2 source, or the first 100 bytes of any other version widened to version 2 (total
    // size + 8, the template's extension). A null source leaves the template (total size 0).
    // The short form trusts the source's version field; the long one also knows its size and
    // refuses one below 100 bytes with MODULE_STATUS_INVALID_BUFFER_SIZE (destination: template).
    static ModuleStatus setHeader(MessageHeader* destination, const MessageHeader* source) noexcept;
    static ModuleStatus setHeader(MessageHeader* destination, const MessageHeader* source,
                                  std::size_t sourceSize) noexcept;

private:
    std::wstring m_name;
    std::wstring m_sender;
    std::wstring m_payload;
    std::unique_ptr<MessageHeader> m_header;
};

// The file name, without folder, of the module image holding this code; empty when it cannot be had.
std::wstring getCurrentModuleFileName();

namespace internal {

// The file name part of `module`'s path, read through a function with GetModuleFileNameW's contract;
// empty when it fails.
using ModuleFileNameFunction = DWORD(WINAPI*)(HMODULE module, LPWSTR buffer, DWORD size);
std::wstring moduleFileName(HMODULE module, ModuleFileNameFunction getModuleFileName);

}  // namespace internal

}  // namespace Korin
