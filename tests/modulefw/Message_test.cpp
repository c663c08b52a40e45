#include "modulefw/Message.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/FailingNew.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Korin::Message;
using Korin::MessageHeader;

using HeaderBytes = std::array<std::uint8_t, 108>;

HeaderBytes BytesOf(const MessageHeader* header) {
    HeaderBytes bytes{};
    std::memcpy(bytes.data(), header, bytes.size());
    return bytes;
}

// The header of a message built here, written out byte by byte; only the total size (offset 2)
// depends on the strings.
HeaderBytes BuiltHeader(std::uint32_t totalSize) {
    HeaderBytes bytes{};
    bytes[0] = 0x01;  // first word
    bytes[2] = static_cast<std::uint8_t>(totalSize);
    bytes[3] = static_cast<std::uint8_t>(totalSize >> 8);
    bytes[4] = static_cast<std::uint8_t>(totalSize >> 16);
    bytes[5] = static_cast<std::uint8_t>(totalSize >> 24);
    bytes[10] = 0x02;   // version
    bytes[100] = 0x0B;  // extension type
    bytes[102] = 0x08;  // extension length
    return bytes;
}

// A header as the bus might send it: every byte distinct, then the version field set.
HeaderBytes ReceivedHeader(std::uint16_t version) {
    HeaderBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x30 + i);
    bytes[10] = static_cast<std::uint8_t>(version);
    bytes[11] = static_cast<std::uint8_t>(version >> 8);
    return bytes;
}

std::uint32_t U32At(const HeaderBytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes[offset], sizeof(value));
    return value;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(::towlower(c));
    return text;
}

const wchar_t kProgramName[] = L"modulefw_message_tests.exe";

TEST(Message, CreateBuildsTheHeaderByteForByte) {
    const auto message = Message::create(L"ab", L"NUV", L"xy");
    ASSERT_TRUE(message);
    EXPECT_EQ(L"ab", message->getName());
    EXPECT_EQ(L"NUV", message->getSender());
    EXPECT_EQ(L"xy", message->getPayload());
    // 2 x (2 + 3 + 2) + 114
    EXPECT_EQ(BuiltHeader(128), BytesOf(message->getHeader()));
}

TEST(Message, TotalSizeCountsUtf16UnitsHeaderAndTerminators) {
    struct Case {
        const wchar_t* name;
        const wchar_t* sender;
        const wchar_t* payload;
        std::uint32_t totalSize;
    };
    const Case cases[] = {
        {L"", L"", L"", 114},
        {L"ab", L"NUV", L"xy", 128},
        {L"Core.ParentalControls.State", L"NUV", L"{}", 2 * (27 + 3 + 2) + 114},
        {L"\U0001F600", L"", L"", 118},  // one character outside the BMP: two code units
        {L"", L"", L"{\"a\":1}", 2 * 7 + 114},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "name length " << std::wcslen(c.name));
        const Message message(c.name, c.sender, c.payload);
        EXPECT_EQ(BuiltHeader(c.totalSize), BytesOf(message.getHeader()));
    }
}

TEST(Message, EmptySenderBecomesThisModulesFileName) {
    const auto message = Message::create(L"n", L"", L"p");
    ASSERT_TRUE(message);
    EXPECT_EQ(kProgramName, Lower(message->getSender()));
    EXPECT_EQ(2u * (1 + std::wcslen(kProgramName) + 1) + 114, message->getHeader()->totalSize);
}

TEST(Message, ModuleFileNameSurvivesAStaleLastError) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(kProgramName, Lower(Korin::getCurrentModuleFileName()));
}

// Windows' GetModuleFileNameW: success leaves the last error alone; a short buffer gets the path
// cut, its size back and ERROR_INSUFFICIENT_BUFFER. (Wine clears the last error on success, so only
// this stand-in shows a stale one.)
const std::wstring* g_modulePath = nullptr;  // null: the call fails

DWORD WINAPI WindowsGetModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    if (g_modulePath == nullptr) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (g_modulePath->size() < size) {
        std::memcpy(buffer, g_modulePath->c_str(), (g_modulePath->size() + 1) * sizeof(wchar_t));
        return static_cast<DWORD>(g_modulePath->size());
    }
    std::memcpy(buffer, g_modulePath->c_str(), (size - 1) * sizeof(wchar_t));
    buffer[size - 1] = L'\0';
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

TEST(Message, ModuleFileNameIsJudgedByTheResultNotByAStaleLastError) {
    struct Case {
        const char* what;
        std::wstring path;
        bool fails;
        std::wstring fileName;
    };
    const Case cases[] = {
        {"module in a folder", L"C:\\Program Files\\Suite\\NuvModule.dll", false, L"NuvModule.dll"},
        {"no folder", L"NuvModule.dll", false, L"NuvModule.dll"},
        {"longer than MAX_PATH", L"C:\\" + std::wstring(600, L'd') + L"\\Deep.dll", false, L"Deep.dll"},
        {"longer than any path", L"C:\\" + std::wstring(40000, L'd') + L"\\Deep.dll", false, L""},
        {"call fails", L"", true, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_modulePath = c.fails ? nullptr : &c.path;
        ::SetLastError(ERROR_FILE_NOT_FOUND);  // left over from earlier work on this thread
        EXPECT_EQ(c.fileName, Korin::internal::moduleFileName(nullptr, WindowsGetModuleFileName));
    }
    g_modulePath = nullptr;
}

// The default sender is computed once per process, so only a process of its own shows its first
// use: this case runs the disabled one below alone in a child.
TEST(Message, DefaultSenderComputedAfterAStaleLastErrorInAFreshProcess) {
    const auto child = NuvTest::RunChild(L"\"" + NuvTest::ExeFolder() + L"\\" + kProgramName +
                                         L"\" --gtest_also_run_disabled_tests "
                                         L"--gtest_filter=Message.DISABLED_FirstUseOfTheDefaultSender");
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[  PASSED  ] 1 test")) << child.output;
}

TEST(Message, DISABLED_FirstUseOfTheDefaultSender) {
    // Many threads meet the first use at once, each with a stale error left from earlier work.
    constexpr int kThreads = 8;
    std::vector<std::wstring> senders(kThreads);
    std::vector<std::thread> threads;
    HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, start);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(start, 10000);
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            const auto message = Message::create(L"n", L"", L"p");
            if (message) senders[i] = message->getSender();
        });
    }
    ::SetEvent(start);
    for (auto& t : threads) t.join();
    ::CloseHandle(start);
    for (const auto& sender : senders) EXPECT_EQ(kProgramName, Lower(sender));
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    const auto later = Message::create(L"n", L"", L"p");
    ASSERT_TRUE(later);
    EXPECT_EQ(kProgramName, Lower(later->getSender()));
}

TEST(Message, CreateAnswersAFailedAllocationWithAnEmptyPointer) {
    Message::create(L"n", L"", L"p");  // the default sender exists from here on
    const std::wstring large(1 << 20, L'x');
    NuvTest::FailLargeAllocation fail(large.size() * sizeof(wchar_t));
    std::shared_ptr<Message> message;
    EXPECT_NO_THROW(message = Message::create(large, L"NUV", L"{}"));
    EXPECT_TRUE(fail.Failed());
    EXPECT_FALSE(message);
}

TEST(MessageSetHeader, VersionTwoSourceIsCopiedWhole) {
    const HeaderBytes source = ReceivedHeader(2);
    Message message(L"n", L"s", L"p");
    ASSERT_EQ(Korin::MODULE_STATUS_SUCCESS,
              Message::setHeader(message.getHeader(), reinterpret_cast<const MessageHeader*>(source.data())));
    EXPECT_EQ(source, BytesOf(message.getHeader()));
    EXPECT_NE(0u, message.getHeader()->extension.sessionId);
}

TEST(MessageSetHeader, OtherVersionsAreWidenedFromTheirFirstHundredBytes) {
    for (std::uint16_t version : {1, 0, 3, 0xFFFF}) {
        SCOPED_TRACE(version);
        const HeaderBytes source = ReceivedHeader(version);
        Message message(L"n", L"s", L"p");
        ASSERT_EQ(Korin::MODULE_STATUS_SUCCESS,
                  Message::setHeader(message.getHeader(), reinterpret_cast<const MessageHeader*>(source.data())));
        const HeaderBytes widened = BytesOf(message.getHeader());

        HeaderBytes expected = source;
        const std::uint32_t size = U32At(source, 2) + 8;
        std::memcpy(&expected[2], &size, sizeof(size));
        expected[10] = 0x02;
        expected[11] = 0x00;
        const std::uint8_t extension[8] = {0x0B, 0x00, 0x08, 0x00, 0, 0, 0, 0};
        std::memcpy(&expected[100], extension, sizeof(extension));
        EXPECT_EQ(expected, widened);
    }
}

TEST(MessageSetHeader, NullSourceLeavesTheTemplate) {
    Message message(L"name", L"NUV", L"{}");
    message.getHeader()->setFlag(0);
    ASSERT_EQ(Korin::MODULE_STATUS_SUCCESS, Message::setHeader(message.getHeader(), nullptr));
    EXPECT_EQ(BuiltHeader(0), BytesOf(message.getHeader()));
}

// A version-1 header may be all the bus has: its 100 bytes end at the edge of a page that cannot
// be read, so any read past them faults.
class ShortHeaderAtPageEnd : public testing::Test {
protected:
    void SetUp() override {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        m_page = info.dwPageSize;
        m_block = static_cast<std::uint8_t*>(
            ::VirtualAlloc(nullptr, 2 * m_page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(nullptr, m_block);
        DWORD old = 0;
        ASSERT_TRUE(::VirtualProtect(m_block + m_page, m_page, PAGE_NOACCESS, &old));
    }
    void TearDown() override {
        if (m_block != nullptr) ::VirtualFree(m_block, 0, MEM_RELEASE);
    }

    // `size` bytes of `bytes` placed so that the last one is the last readable byte.
    const MessageHeader* Place(const HeaderBytes& bytes, std::size_t size) {
        std::uint8_t* at = m_block + m_page - size;
        std::memcpy(at, bytes.data(), size);
        return reinterpret_cast<const MessageHeader*>(at);
    }

    DWORD m_page = 0;
    std::uint8_t* m_block = nullptr;
};

TEST_F(ShortHeaderAtPageEnd, SizeDecidesHowMuchIsRead) {
    struct Case {
        std::uint16_t version;
        std::size_t size;
        Korin::ModuleStatus status;
        bool widened;
    };
    const Case cases[] = {
        {1, 100, Korin::MODULE_STATUS_SUCCESS, true},
        {2, 100, Korin::MODULE_STATUS_SUCCESS, true},  // claims an extension it does not carry
        {2, 107, Korin::MODULE_STATUS_SUCCESS, true},
        {2, 108, Korin::MODULE_STATUS_SUCCESS, false},
        {1, 99, Korin::MODULE_STATUS_INVALID_BUFFER_SIZE, false},
        {2, 12, Korin::MODULE_STATUS_INVALID_BUFFER_SIZE, false},
        {1, 0, Korin::MODULE_STATUS_INVALID_BUFFER_SIZE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << ", " << c.size << " bytes");
        const HeaderBytes source = ReceivedHeader(c.version);
        Message message(L"n", L"s", L"p");
        EXPECT_EQ(c.status, Message::setHeader(message.getHeader(), Place(source, c.size), c.size));
        const HeaderBytes result = BytesOf(message.getHeader());
        if (c.status != Korin::MODULE_STATUS_SUCCESS) {
            EXPECT_EQ(BuiltHeader(0), result);
        } else if (c.widened) {
            EXPECT_EQ(0, std::memcmp(&source[12], &result[12], 88));  // reserved and reply index
            EXPECT_EQ(U32At(source, 2) + 8, U32At(result, 2));
            EXPECT_EQ(2u, message.getHeader()->version);
            EXPECT_EQ(0u, message.getHeader()->extension.sessionId);
        } else {
            EXPECT_EQ(source, result);
        }
    }
}

TEST_F(ShortHeaderAtPageEnd, CreateReceivedBuildsOrRefusesWithAStatus) {
    const HeaderBytes version1 = ReceivedHeader(1);
    const MessageHeader* header = Place(version1, 100);
    std::shared_ptr<Message> message;

    ASSERT_EQ(Korin::MODULE_STATUS_SUCCESS, Message::createReceived(L"n", L"NUV", L"{}", header, 100, message));
    ASSERT_TRUE(message);
    EXPECT_EQ(L"n", message->getName());
    EXPECT_EQ(U32At(version1, 2) + 8, message->getHeader()->totalSize);
    EXPECT_EQ(2u, message->getHeader()->version);

    ASSERT_EQ(Korin::MODULE_STATUS_SUCCESS, Message::createReceived(L"n", L"", L"{}", nullptr, 0, message));
    ASSERT_TRUE(message);
    EXPECT_EQ(kProgramName, Lower(message->getSender()));
    EXPECT_EQ(BuiltHeader(0), BytesOf(message->getHeader()));

    struct Case {
        const wchar_t* name;
        const wchar_t* sender;
        const wchar_t* payload;
        std::size_t headerSize;
        Korin::ModuleStatus status;
    };
    const Case refused[] = {
        {nullptr, L"NUV", L"{}", 100, Korin::MODULE_STATUS_INVALID_PARAMETER},
        {L"n", nullptr, L"{}", 100, Korin::MODULE_STATUS_INVALID_PARAMETER},
        {L"n", L"NUV", nullptr, 100, Korin::MODULE_STATUS_INVALID_PARAMETER},
        {L"n", L"NUV", L"{}", 99, Korin::MODULE_STATUS_INVALID_BUFFER_SIZE},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - refused));
        message = std::make_shared<Message>(L"old", L"old", L"old");
        EXPECT_EQ(c.status, Message::createReceived(c.name, c.sender, c.payload, Place(version1, c.headerSize),
                                                    c.headerSize, message));
        EXPECT_FALSE(message);
    }
}

TEST(MessageHeader, FlagBitsAreTakenModulo32) {
    struct Case {
        unsigned bit;
        std::uint32_t word;
    };
    const Case cases[] = {{0, 0x1}, {3, 0x8}, {4, 0x10}, {31, 0x80000000}, {32, 0x1}, {35, 0x8}, {63, 0x80000000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bit);
        Message message(L"n", L"s", L"p");
        MessageHeader* header = message.getHeader();
        header->flags = 0x00F00000;  // bits of others, carried unchanged
        EXPECT_FALSE(header->isFlagSet(c.bit));
        header->setFlag(c.bit);
        EXPECT_EQ(0x00F00000u | c.word, header->flags);
        EXPECT_TRUE(header->isFlagSet(c.bit));
        EXPECT_TRUE(header->isFlagSet(c.bit + 32));
        header->clearFlag(c.bit + 64);
        EXPECT_EQ(0x00F00000u, header->flags);
        EXPECT_FALSE(header->isFlagSet(c.bit));
    }
}

TEST(MessageHeader, FlagsAndReplyIndexLiveAtTheirWireOffsets) {
    Message message(L"n", L"s", L"p");
    MessageHeader* header = message.getHeader();
    header->setFlag(MessageHeader::ReplyFlag);
    header->replyIndex = 0x1122334455667788ull;
    HeaderBytes bytes = BytesOf(header);
    EXPECT_EQ(0x01, bytes[6]);
    const std::uint8_t index[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(0, std::memcmp(index, &bytes[92], sizeof(index)));

    header->clearReplyIndex();
    bytes = BytesOf(header);
    EXPECT_EQ(0, std::memcmp(HeaderBytes{}.data(), &bytes[92], 8));
    EXPECT_TRUE(header->isFlagSet(MessageHeader::ReplyFlag));
}

TEST(MessageHeader, ExtensionOnlyForVersionTwoAskedAndPresent) {
    struct Case {
        std::uint16_t headerVersion;
        std::uint16_t asked;
        bool present;
    };
    const Case cases[] = {{2, 2, true}, {1, 2, false}, {3, 2, false}, {2, 1, false}, {1, 1, false}, {2, 3, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "header " << c.headerVersion << ", asked " << c.asked);
        HeaderBytes bytes = ReceivedHeader(c.headerVersion);
        const std::uint32_t session = 7;
        std::memcpy(&bytes[104], &session, sizeof(session));
        auto* header = reinterpret_cast<MessageHeader*>(bytes.data());
        auto* extension = header->getExtension(c.asked);
        if (!c.present) {
            EXPECT_EQ(nullptr, extension);
            continue;
        }
        ASSERT_EQ(static_cast<void*>(bytes.data() + 100), static_cast<void*>(extension));
        EXPECT_EQ(7u, extension->sessionId);
    }
}

}  // namespace
