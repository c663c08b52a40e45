// The scan buffer against a recording connection: what the host gets back for each packet, in
// which order, with which bytes, as the scans consume, pass, drop and edit the data.

#include "plugin/filter/ScanBuffer.h"

#include "logging/LoggingIf.h"
#include "nuvutil/SafeString.h"
#include "tests/plugin/filter/ScanTestDoubles.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <cstring>

#include <memory>
#include <string>
#include <vector>

namespace {

using NuvTest::LoggedLine;
using NuvTest::RecordingConnection;
using NuvTest::RecordingState;
using Calls = std::vector<std::string>;

class ScanBufferTest : public ::testing::Test {
protected:
    void SetUp() override { NuvTest::TakeLoggedLines(); }

    // The buffer of the outbound direction, with a state so that it is queued like a scanned one.
    std::unique_ptr<CScanBuffer> Make(bool withState = true) {
        auto buffer = std::make_unique<CScanBuffer>(&m_host, 77, &m_host, &m_host);
        if (withState) {
            auto state = std::make_unique<RecordingState>();
            m_state = state.get();
            buffer->SetState(std::move(state));
        }
        return buffer;
    }
    void Add(CScanBuffer& buffer, const std::string& name, const std::string& bytes, bool inbound = false) {
        Tessal::CAutoLock lock(buffer.GetLock());
        EXPECT_TRUE(buffer.AddData(m_host.Packet(name, bytes), static_cast<DWORD>(bytes.size()), inbound));
    }
    // The processed packets as the host receives them.
    Calls Release(CScanBuffer& buffer) {
        m_host.TakeCalls();
        buffer.ReleaseProcessedPackets();
        return m_host.TakeCalls();
    }
    static std::string Data(const CScanBuffer& buffer) {
        return buffer.GetData() ? std::string(buffer.GetData(), buffer.GetLength()) : std::string();
    }
    static bool Logged(DWORD level, const std::wstring& text) {
        for (const LoggedLine& line : NuvTest::TakeLoggedLines()) {
            if (line.level == level && line.text == text) return true;
        }
        return false;
    }

    RecordingConnection m_host;
    RecordingState* m_state = nullptr;
};

// --- Growth ------------------------------------------------------------------------------------

TEST_F(ScanBufferTest, GrowsInStepsWithHeadroomUpToTheCap) {
    struct Case {
        const char* name;
        std::vector<DWORD> packets;  // sizes, added in order
        DWORD capacity;
        std::size_t parked;
    } cases[] = {
        {"first packet of 100 bytes", {100}, 131072, 0},
        {"need of 65537", {65536}, 196608, 0},
        {"need of exactly 4 MiB", {4194303}, 4194304, 0},
        {"need one over", {4194303, 1}, 4194304, 1},
        {"behind a waiting packet every packet waits", {4194000, 1000, 1}, 4194304, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = Make();
        int n = 0;
        for (const DWORD size : c.packets) Add(*buffer, "p" + std::to_string(n++), std::string(size, 'x'));
        EXPECT_EQ(c.capacity, buffer->GetCapacity());
        EXPECT_EQ(c.parked, buffer->UnbufferedPacketCount());
        EXPECT_EQ(c.parked != 0,
                  Logged(ETWLogging::LOG_WARNING, L"Request would cause ScanBuffer to exceed the maximum allowed size\r\n"));
        EXPECT_EQ('\0', buffer->GetData()[buffer->GetLength()]) << "the data stays 0-terminated";
        buffer->PassAll();
        buffer->ReleaseProcessedPackets();
    }
}

TEST_F(ScanBufferTest, ParkedPacketEntersWhenTheScanConsumesAndTheBufferIsQueuedAgain) {
    auto buffer = Make();
    Add(*buffer, "big", std::string(4194303, 'b'));
    Add(*buffer, "next", "NEXT");
    ASSERT_EQ(1u, buffer->UnbufferedPacketCount());
    EXPECT_EQ(Calls({"queued"}), m_host.TakeCalls()) << "queued once for the first packet";
    buffer->SetQueued(false);  // the scan thread took it

    {
        Tessal::CAutoLock lock(buffer->GetLock());
        buffer->Consume(4194302);  // not the whole packet: nothing leaves
        EXPECT_EQ(1u, buffer->UnbufferedPacketCount());
        buffer->Consume(4194303);
    }
    EXPECT_EQ(0u, buffer->UnbufferedPacketCount());
    EXPECT_EQ("NEXT", Data(*buffer));
    EXPECT_EQ(Calls({"queued"}), m_host.TakeCalls()) << "the entered packet is scanned";
    EXPECT_EQ(Calls({"forward big 4194303 out OK"}), Release(*buffer));
}

TEST_F(ScanBufferTest, PacketThatCouldNeverFitPassesWithWhatCameBeforeIt) {
    auto buffer = Make();
    Add(*buffer, "a", "GET / HTTP/1.1\r\n");
    Add(*buffer, "huge", std::string(CScanBuffer::kMaxSize, 'h'));
    Add(*buffer, "after", "Host: x\r\n");
    EXPECT_TRUE(Logged(ETWLogging::LOG_WARNING,
                       L"A packet of 4194304 bytes cannot be scanned; passing it and what came before it unscanned\r\n"));
    EXPECT_EQ("Host: x\r\n", Data(*buffer)) << "the connection goes on behind it";
    EXPECT_EQ(0, m_state->GetPosition());
    EXPECT_EQ(Calls({"forward a 16 out OK", "forward huge 4194304 out OK"}), Release(*buffer));
}

// --- Consume and the release of verdicts -------------------------------------------------------

TEST_F(ScanBufferTest, ConsumeReleasesWholePacketsAndMovesTheState) {
    auto buffer = Make();
    Add(*buffer, "one", "aaa");
    Add(*buffer, "two", "bbbb");
    Add(*buffer, "three", "cc");
    m_state->SetPosition(8);
    {
        Tessal::CAutoLock lock(buffer->GetLock());
        buffer->Consume(2);  // less than the oldest packet
        EXPECT_EQ(3u, buffer->PendingPacketCount());
        buffer->Consume(8);  // "one" and "two", one byte into "three"
    }
    EXPECT_EQ("cc", Data(*buffer));
    EXPECT_EQ(std::vector<LONG>({-3, -4}), m_state->adjustments);
    EXPECT_EQ(1, m_state->GetPosition());
    EXPECT_EQ(Calls({"forward one 3 out OK", "forward two 4 out OK"}), Release(*buffer));
    EXPECT_EQ(Calls(), Release(*buffer)) << "each packet is handed back once";
}

TEST_F(ScanBufferTest, ReleaseInjectsReplacementsAndFailsEverythingWhenTimeBlocked) {
    for (const bool timeBlocked : {false, true}) {
        SCOPED_TRACE(timeBlocked);
        auto buffer = Make();
        Add(*buffer, "first", "q=cats");
        Add(*buffer, "second", "&x=1");
        {
            Tessal::CAutoLock lock(buffer->GetLock());
            buffer->Insert(buffer->GetData() + 6, 0, "&safe=on", 8);
            buffer->Consume(buffer->GetLength());
        }
        if (timeBlocked) buffer->SetTimeBlocked();
        const std::string last = timeBlocked ? "FAIL" : "OK";
        EXPECT_EQ(Calls({"inject out q=cats&safe=on", "forward first 6 out " + (timeBlocked ? last : "DROP"),
                         "forward second 4 out " + last}),
                  Release(*buffer));
    }
}

// A block page goes out after what was released before the block and before the dropped rest.
TEST_F(ScanBufferTest, QueuedInjectionsKeepTheirPlaceAmongReleasedPackets) {
    auto buffer = Make();
    Add(*buffer, "allowed", "HTTP/1.1 200 OK");
    Add(*buffer, "blocked", "HTTP/1.1 200 OK");
    {
        Tessal::CAutoLock lock(buffer->GetLock());
        buffer->Consume(15);
    }
    const std::string page = "PAGE";
    buffer->QueueInjection(reinterpret_cast<const BYTE*>(page.data()), 4, true);
    buffer->QueueInjection(nullptr, 0, true);  // nothing to send
    buffer->DropAll();
    EXPECT_EQ(Calls({"forward allowed 15 out OK", "inject in PAGE", "forward blocked 15 out DROP"}), Release(*buffer));
}

TEST_F(ScanBufferTest, PassAllAndDropAllHandBackEveryPacketInArrivalOrder) {
    for (const bool drop : {false, true}) {
        SCOPED_TRACE(drop);
        auto buffer = Make();
        Add(*buffer, "big", std::string(4194300, 'b'));
        Add(*buffer, "parked", "12345");
        Add(*buffer, "parked2", "6");
        m_state->SetPosition(100);
        drop ? buffer->DropAll() : buffer->PassAll();
        EXPECT_EQ(0u, buffer->GetLength());
        EXPECT_EQ(0, m_state->GetPosition());
        const std::string verdict = drop ? "DROP" : "OK";
        EXPECT_EQ(Calls({"forward big 4194300 out " + verdict, "forward parked 5 out " + verdict,
                         "forward parked2 1 out " + verdict}),
                  Release(*buffer));
    }
}

// A block of the request that starts at `offset`: what the scan passed before it still leaves, a
// packet holding both goes as its passed part, everything from the offset on is dropped.
TEST_F(ScanBufferTest, DropFromLetsThePassedPartLeave) {
    const Calls parked = {"forward big 4194300 out DROP", "forward parked 1 out DROP"};
    const struct {
        DWORD offset;
        Calls expected;
    } cases[] = {
        {0, {"forward one 4 out DROP", "forward two 6 out DROP"}},
        {4, {"forward one 4 out OK", "forward two 6 out DROP"}},
        {7, {"forward one 4 out OK", "inject out abc", "forward two 6 out DROP"}},
        {10, {"forward one 4 out OK", "forward two 6 out OK"}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.offset);
        auto buffer = Make();
        Add(*buffer, "one", "1234");
        Add(*buffer, "two", "abcdef");
        // Too big to join the data yet: it and what follows wait outside it, and are dropped.
        Add(*buffer, "big", std::string(4194300, 'b'));
        Add(*buffer, "parked", "z");
        m_state->SetPosition(9);
        buffer->DropFrom(row.offset);
        EXPECT_EQ(0u, buffer->GetLength());
        EXPECT_EQ(0, m_state->GetPosition());
        Calls expected = row.expected;
        expected.insert(expected.end(), parked.begin(), parked.end());
        EXPECT_EQ(expected, Release(*buffer));
    }
}

// An answer in a request's place ends the connection: the passed part, the answer, then FAIL for
// the rest; parked, the failed packets wait until the answer has left the other direction.
TEST_F(ScanBufferTest, FailFromAnswersThenFailsAndCanWaitForTheAnswer) {
    const struct {
        DWORD offset;
        const char* answer;
        bool park;
        Calls now, later;
    } cases[] = {
        {0, "", false, {"forward one 4 in FAIL", "forward two 6 in FAIL"}, {}},
        {7, "PAGE", false, {"forward one 4 in OK", "inject in abc", "inject in PAGE", "forward two 6 in FAIL"}, {}},
        {4, "", true, {"forward one 4 in OK"}, {"forward two 6 in FAIL"}},
        {10, "", true, {"forward one 4 in OK", "forward two 6 in OK"}, {}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.offset);
        auto buffer = Make();
        Add(*buffer, "one", "1234", true);
        Add(*buffer, "two", "abcdef", true);
        m_host.TakeCalls();
        buffer->FailFrom(row.offset, reinterpret_cast<const BYTE*>(row.answer), static_cast<DWORD>(std::strlen(row.answer)),
                         row.park);
        EXPECT_EQ(0u, buffer->GetLength());
        EXPECT_EQ(row.now, Release(*buffer));
        EXPECT_EQ(Calls(), Release(*buffer)) << "parked until the answer has left";
        buffer->ReleaseParkedSoon();
        EXPECT_EQ(Calls({"queued"}), m_host.TakeCalls()) << "a pass hands them over";
        EXPECT_EQ(row.later, Release(*buffer));
    }
}

// --- Queueing ----------------------------------------------------------------------------------

TEST_F(ScanBufferTest, QueuedOnlyWithAStateAndNeitherQueuedNorHeld) {
    auto stateless = Make(false);
    Add(*stateless, "a", "x");
    stateless->QueueIfHasData();
    EXPECT_EQ(Calls(), m_host.TakeCalls()) << "a buffer without a state is never queued";

    auto held = Make();
    held->Hold();
    Add(*held, "b", "y");
    EXPECT_EQ(Calls(), m_host.TakeCalls()) << "a held buffer waits for the sign-in";
    held->Resume();
    EXPECT_EQ(Calls({"queued"}), m_host.TakeCalls());
    Add(*held, "c", "z");
    EXPECT_EQ(Calls(), m_host.TakeCalls()) << "already queued";
    held->SetQueued(false);
    held->QueueIfHasData();
    EXPECT_EQ(Calls({"queued"}), m_host.TakeCalls());

    auto empty = Make();
    empty->Hold();
    empty->Resume();
    empty->QueueIfHasData();
    EXPECT_EQ(Calls(), m_host.TakeCalls()) << "nothing to scan";
}

// --- Edits -------------------------------------------------------------------------------------

TEST_F(ScanBufferTest, ReplaceRepeatsTheTextAndWritesEachPacketItsOwnPart) {
    struct Case {
        const char* name;
        std::vector<std::string> packets;
        DWORD at;
        DWORD len;
        std::string text;
        std::string data;
        std::vector<std::string> hostBytes;
    } cases[] = {
        {"shorter text repeats", {"0123456789"}, 2, 5, "ab", "01ababa789", {"01ababa789"}},
        {"longer text is cut", {"0123456789"}, 0, 3, "abcdef", "abc3456789", {"abc3456789"}},
        {"across two packets", {"xyz", "uv", "w"}, 0, 5, "ab", "ababaw", {"aba", "ba", "w"}},
        {"ends in the middle of the second", {"xyz", "uvw"}, 1, 3, "--", "x---vw", {"x--", "-vw"}},
        {"empty range", {"xyz"}, 1, 0, "ab", "xyz", {"xyz"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = Make();
        for (std::size_t i = 0; i < c.packets.size(); ++i) Add(*buffer, "p" + std::to_string(i), c.packets[i]);
        buffer->Replace(buffer->GetData() + c.at, c.len, CSafeStringA(c.text.c_str()));
        EXPECT_EQ(c.data, Data(*buffer));
        for (std::size_t i = 0; i < c.hostBytes.size(); ++i) {
            EXPECT_EQ(c.hostBytes[i], m_host.BytesOf("p" + std::to_string(i))) << "packet " << i;
        }
        buffer->PassAll();
        buffer->ReleaseProcessedPackets();
    }
}

TEST_F(ScanBufferTest, ReplaceOutsideTheDataChangesNothing) {
    auto buffer = Make();
    Add(*buffer, "p", "hello");
    const char* const text = "zz";
    struct Case {
        const char* name;
        char* at;
        DWORD len;
        const char* src;
        DWORD srcLen;
    } cases[] = {
        {"one byte beyond the data", buffer->GetData() + 1, 5, text, 2},
        {"at the end", buffer->GetData() + 5, 1, text, 2},
        {"before the data", buffer->GetData() - 1, 1, text, 2},
        {"empty text for a range", buffer->GetData(), 2, text, 0},
        {"no text", buffer->GetData(), 2, nullptr, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NuvTest::TakeLoggedLines();
        buffer->Replace(c.at, c.len, c.src, c.srcLen);
        EXPECT_EQ("hello", Data(*buffer));
        EXPECT_EQ("hello", m_host.BytesOf("p"));
        const std::vector<LoggedLine> lines = NuvTest::TakeLoggedLines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].text.find(L"Invalid replacement at 0x"));
        EXPECT_EQ(static_cast<DWORD>(ETWLogging::LOG_WARNING), lines[0].level);
    }
}

TEST_F(ScanBufferTest, InsertChangesOnePacketsLengthAndKeepsTheCountsInStep) {
    struct Case {
        const char* name;
        std::vector<std::string> packets;
        DWORD at;
        DWORD len;
        std::string text;
        std::string data;
        std::vector<std::string> released;  // after everything is consumed
    } cases[] = {
        {"6 bytes at 10 of a 100-byte packet", {std::string(100, 'a')}, 10, 0, "SAFE=1",
         std::string(10, 'a') + "SAFE=1" + std::string(90, 'a'),
         {"inject out " + std::string(10, 'a') + "SAFE=1" + std::string(90, 'a'), "forward p0 100 out DROP"}},
        {"in the second packet", {"GET /?", "q=x HTTP"}, 9, 0, "&s=1", "GET /?q=x&s=1 HTTP",
         {"forward p0 6 out OK", "inject out q=x&s=1 HTTP", "forward p1 8 out DROP"}},
        {"shrinks", {"Cookie: A=1; B=2"}, 8, 5, "", "Cookie: B=2", {"inject out Cookie: B=2", "forward p0 16 out DROP"}},
        {"replaces a range of other length", {"abc", "def"}, 3, 2, "XYZ", "abcXYZf",
         {"forward p0 3 out OK", "inject out XYZf", "forward p1 3 out DROP"}},
        {"behind the last byte", {"abc"}, 3, 0, "!", "abc!", {"inject out abc!", "forward p0 3 out DROP"}},
        {"twice into one packet", {"abc"}, 1, 0, "12", "a12bc", {"inject out a12bc", "forward p0 3 out DROP"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = Make();
        for (std::size_t i = 0; i < c.packets.size(); ++i) Add(*buffer, "p" + std::to_string(i), c.packets[i]);
        {
            Tessal::CAutoLock lock(buffer->GetLock());
            if (std::string(c.name) == "twice into one packet") {
                buffer->Insert(buffer->GetData() + 1, 0, "1", 1);
                buffer->Insert(buffer->GetData() + 2, 0, "2", 1);
            } else {
                buffer->Insert(buffer->GetData() + c.at, c.len, c.text.data(), static_cast<DWORD>(c.text.size()));
            }
            EXPECT_EQ(c.data, Data(*buffer));
            EXPECT_EQ('\0', buffer->GetData()[buffer->GetLength()]);
            // The data is the packets back to back: consuming its length releases all of them.
            buffer->Consume(buffer->GetLength());
            EXPECT_EQ(0u, buffer->PendingPacketCount());
            EXPECT_EQ(0u, buffer->GetLength());
        }
        EXPECT_EQ(c.released, Release(*buffer));
    }
}

TEST_F(ScanBufferTest, InsertAcrossPacketsOrOutsideTheDataIsRefused) {
    auto buffer = Make();
    Add(*buffer, "p0", "abc");
    Add(*buffer, "p1", "def");
    struct Case {
        const char* name;
        DWORD at;
        DWORD len;
        const wchar_t* line;
    } cases[] = {
        {"spans two packets", 2, 2, L"Refusing an insertion at 0x"},
        {"beyond the data", 5, 2, L"Invalid insertion at 0x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NuvTest::TakeLoggedLines();
        buffer->Insert(buffer->GetData() + c.at, c.len, "ZZZZ", 4);
        EXPECT_EQ("abcdef", Data(*buffer));
        const std::vector<LoggedLine> lines = NuvTest::TakeLoggedLines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].text.find(c.line)) << std::string(lines[0].text.begin(), lines[0].text.end());
    }
    buffer->PassAll();
    EXPECT_EQ(Calls({"forward p0 3 out OK", "forward p1 3 out OK"}), Release(*buffer)) << "no replacement was made";
}

// --- Destruction -------------------------------------------------------------------------------

TEST_F(ScanBufferTest, DestroyedBufferAnswersEveryPacketItStillHolds) {
    struct Case {
        const char* name;
        int pending;
        bool parked;
        bool timeBlocked;
        std::vector<std::string> calls;
        const wchar_t* line;
    } cases[] = {
        {"two pending", 2, false, false, {"forward p0 1 out OK", "forward p1 1 out OK"},
         L"Ignoring 2 unprocessed packets\r\n"},
        {"one pending", 1, false, false, {"forward p0 1 out OK"}, L"Ignoring 1 unprocessed packet \r\n"},
        {"time-blocked", 1, false, true, {"forward p0 1 out FAIL"}, L"Ignoring 1 unprocessed packet \r\n"},
        {"parked behind a full buffer", 0, true, false,
         {"forward big 4194303 out OK", "forward parked 1 out OK"}, L"Ignoring 1 unprocessed & unbuffered packet \r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_host.TakeCalls();
        {
            auto buffer = Make();
            for (int i = 0; i < c.pending; ++i) Add(*buffer, "p" + std::to_string(i), "x");
            if (c.parked) {
                Add(*buffer, "big", std::string(4194303, 'b'));
                Add(*buffer, "parked", "y");
            }
            if (c.timeBlocked) buffer->SetTimeBlocked();
            m_host.TakeCalls();
            NuvTest::TakeLoggedLines();
        }
        EXPECT_EQ(c.calls, m_host.TakeCalls());
        EXPECT_TRUE(Logged(ETWLogging::LOG_WARNING, c.line));
    }
}

TEST_F(ScanBufferTest, PacketsFinishedButNotYetReleasedAreAnsweredWithTheirVerdict) {
    {
        auto buffer = Make();
        Add(*buffer, "dropped", "a");
        buffer->DropAll();
        Add(*buffer, "waiting", "b");
        m_host.TakeCalls();
    }
    EXPECT_EQ(Calls({"forward dropped 1 out DROP", "forward waiting 1 out OK"}), m_host.TakeCalls());
}

TEST_F(ScanBufferTest, OwnerReferenceFollowsTheQueue) {
    auto buffer = Make();
    buffer->AddRefOwner();
    EXPECT_EQ(1, m_host.References());
    buffer->ReleaseOwner();
    EXPECT_EQ(0, m_host.References());
}

}  // namespace
