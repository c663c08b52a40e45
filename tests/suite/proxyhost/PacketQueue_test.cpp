// What leaves a direction and in which order, for every mix of verdicts and injections the plug-in
// can give: a late verdict holds back what follows it, an injection goes after what is already
// released and before what still waits; once the connection fails (sealed) only what could leave
// then still leaves. What the queue holds, for the reader's back-pressure, is what its packets
// take in memory.

#include "suite/proxyhost/PacketQueue.h"
#include "tests/suite/proxyhost/CountingNew.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using QvProxyStandIn::CPacketQueue;
using namespace QvProxyStandIn;

std::unique_ptr<BYTE[]> Bytes(const std::string& text) {
    std::unique_ptr<BYTE[]> bytes(new BYTE[text.size()]);
    std::memcpy(bytes.get(), text.data(), text.size());
    return bytes;
}

// Sends everything that may leave, as the connection does, and returns it.
std::string Drain(CPacketQueue& queue) {
    std::string out;
    CPacketQueue::Chunk chunks[4];
    for (;;) {
        const size_t count = queue.Sendable(chunks, 4);
        if (count == 0) return out;
        size_t total = 0;
        for (size_t i = 0; i < count; ++i) {
            out.append(reinterpret_cast<const char*>(chunks[i].data), chunks[i].size);
            total += chunks[i].size;
        }
        queue.Sent(total);
    }
}

// One step of a table row: a packet arriving, a verdict for packet #n, an injection, or the seal.
struct Step {
    enum Kind { Arrive, Verdict, Inject, Seal } kind;
    std::string text;  // arriving or injected bytes
    int packet = -1;   // for Verdict: index of the arrival
    DWORD verdict = kVerdictOk;
};

TEST(PacketQueue, LeavesInArrivalOrderWithInjectionsBetweenReleasedAndWaiting) {
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::string expected;
    } cases[] = {
        {"verdicts in order", {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 0}, {Step::Verdict, "", 1}}, "ab"},
        {"late first verdict holds the second",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 1}},
         ""},
        {"late first verdict, then both leave in order",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 1}, {Step::Verdict, "", 0}},
         "ab"},
        {"dropped packet leaves nothing",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 0, kVerdictDrop}, {Step::Verdict, "", 1}},
         "b"},
        {"bypass is a release", {{Step::Arrive, "a"}, {Step::Verdict, "", 0, kVerdictBypass}}, "a"},
        {"replacement: injected then the original dropped",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 0}, {Step::Inject, "B'"},
          {Step::Verdict, "", 1, kVerdictDrop}},
         "aB'"},
        {"injection before packets still waiting",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Inject, "page"}, {Step::Verdict, "", 0}, {Step::Verdict, "", 1}},
         "pageab"},
        {"injection after released packets not yet sent",
         {{Step::Arrive, "a"}, {Step::Verdict, "", 0}, {Step::Inject, "x"}, {Step::Arrive, "b"}, {Step::Inject, "y"},
          {Step::Verdict, "", 1}},
         "axyb"},
        {"packets that never waited keep their place",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 1}, {Step::Verdict, "", 0}, {Step::Inject, "z"}},
         "abz"},
        // The block page case: injected, then the request's packets fail.
        {"sealed: released and injected before the seal leave, what waited does not",
         {{Step::Arrive, "a"}, {Step::Verdict, "", 0}, {Step::Arrive, "b"}, {Step::Inject, "page"}, {Step::Seal, ""},
          {Step::Verdict, "", 1}},
         "apage"},
        {"sealed: released packets behind a waiting one never leave",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Verdict, "", 1}, {Step::Seal, ""}, {Step::Verdict, "", 0}},
         ""},
        {"sealed: injections after the seal go nowhere",
         {{Step::Arrive, "a"}, {Step::Verdict, "", 0}, {Step::Arrive, "b"}, {Step::Seal, ""}, {Step::Inject, "late"}},
         "a"},
        {"sealed: a late FAIL or DROP only takes the packet away",
         {{Step::Arrive, "a"}, {Step::Arrive, "b"}, {Step::Inject, "page"}, {Step::Seal, ""},
          {Step::Verdict, "", 1, kVerdictFail}, {Step::Verdict, "", 0, kVerdictDrop}},
         "page"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        CPacketQueue queue;
        std::vector<BYTE*> packets;
        for (const Step& step : row.steps) {
            switch (step.kind) {
                case Step::Arrive:
                    packets.push_back(queue.Add(Bytes(step.text), step.text.size(), true));
                    break;
                case Step::Verdict:
                    EXPECT_EQ(CPacketQueue::Completion::Applied, queue.Complete(packets.at(step.packet), step.verdict));
                    break;
                case Step::Inject:
                    queue.Inject(reinterpret_cast<const BYTE*>(step.text.data()), step.text.size());
                    break;
                case Step::Seal:
                    queue.Seal();
                    break;
            }
        }
        // Sending only at the end is the same as sending after every step: order is fixed on entry.
        EXPECT_EQ(row.expected, Drain(queue));
    }
}

TEST(PacketQueue, FailAndUnknownVerdictsAskToFailTheConnection) {
    for (const DWORD verdict : {static_cast<DWORD>(kVerdictFail), static_cast<DWORD>(kVerdictDefer), 7ul}) {
        SCOPED_TRACE(verdict);
        CPacketQueue queue;
        BYTE* const packet = queue.Add(Bytes("a"), 1, true);
        EXPECT_EQ(CPacketQueue::Completion::Fail, queue.Complete(packet, verdict));
        EXPECT_EQ("", Drain(queue)) << "a failed packet never leaves";
    }
}

TEST(PacketQueue, AVerdictForNoWaitingPacketChangesNothing) {
    CPacketQueue queue;
    BYTE* const first = queue.Add(Bytes("a"), 1, true);
    queue.Add(Bytes("b"), 1, false);
    EXPECT_EQ(CPacketQueue::Completion::Applied, queue.Complete(first, kVerdictOk));
    EXPECT_EQ(CPacketQueue::Completion::Unknown, queue.Complete(first, kVerdictDrop)) << "given twice";
    BYTE stranger = 0;
    EXPECT_EQ(CPacketQueue::Completion::Unknown, queue.Complete(&stranger, kVerdictOk));
    EXPECT_EQ("ab", Drain(queue));
}

TEST(PacketQueue, PartialSendsAndTheHeldByteCount) {
    CPacketQueue queue;
    queue.Add(Bytes("hello"), 5, false);
    BYTE* const waiting = queue.Add(Bytes("world"), 5, true);
    EXPECT_EQ(10u, queue.Bytes());
    EXPECT_TRUE(queue.HasWaiting());
    const size_t held = queue.Held();
    queue.Sent(3);
    EXPECT_EQ(7u, queue.Bytes());
    EXPECT_EQ(held, queue.Held()) << "a packet's block is freed only once all of it has left";
    EXPECT_EQ("lo", queue.PeekSendable(100)) << "the unsent rest, and nothing past the waiting packet";
    queue.Complete(waiting, kVerdictOk);
    EXPECT_EQ("lowo", queue.PeekSendable(4));
    queue.Discard(4);
    EXPECT_EQ("rld", Drain(queue));
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(0u, queue.Bytes());
}

TEST(PacketQueue, DiscardNeverTakesWaitingPackets) {
    CPacketQueue queue;
    queue.Add(Bytes("sent"), 4, false);
    BYTE* const waiting = queue.Add(Bytes("held"), 4, true);
    queue.Discard(queue.Bytes());
    EXPECT_FALSE(queue.Empty()) << "the plug-in still owns the waiting packet's bytes";
    EXPECT_EQ(4u, queue.Bytes());
    EXPECT_EQ(0, std::memcmp(waiting, "held", 4));
    EXPECT_EQ(CPacketQueue::Completion::Applied, queue.Complete(waiting, kVerdictDrop));
    EXPECT_TRUE(queue.Empty());
}

TEST(PacketQueue, ASealedQueueEmptiesAsTheLateVerdictsCome) {
    CPacketQueue queue;
    queue.Add(Bytes("head"), 4, false);
    BYTE* const waiting = queue.Add(Bytes("held"), 4, true);
    queue.Add(Bytes("behind"), 6, false);
    queue.Seal();
    EXPECT_EQ(8u, queue.Bytes()) << "what was behind the waiting packet is gone";
    EXPECT_EQ("head", Drain(queue));
    EXPECT_FALSE(queue.Empty()) << "the plug-in still owns the waiting packet's bytes";
    EXPECT_EQ(CPacketQueue::Completion::Applied, queue.Complete(waiting, kVerdictOk));
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(0u, queue.Bytes());
    EXPECT_EQ("", Drain(queue));
}

// Whether the plug-in's own answer was the last to leave: a FAIL right after it closes behind it.
TEST(PacketQueue, KnowsWhetherTheLastBytesSentWereInjected) {
    CPacketQueue queue;
    EXPECT_FALSE(queue.LastSentInjected());
    queue.Inject(reinterpret_cast<const BYTE*>("page"), 4);
    queue.Sent(2);
    EXPECT_TRUE(queue.LastSentInjected()) << "partly sent";
    queue.Sent(2);
    EXPECT_TRUE(queue.LastSentInjected());
    BYTE* const packet = queue.Add(Bytes("response"), 8, true);
    queue.Complete(packet, kVerdictOk);
    EXPECT_TRUE(queue.LastSentInjected()) << "released is not sent yet";
    queue.Sent(8);
    EXPECT_FALSE(queue.LastSentInjected());
    queue.Inject(reinterpret_cast<const BYTE*>("x"), 1);
    queue.Discard(1);
    EXPECT_FALSE(queue.LastSentInjected()) << "discarded bytes never left";
}

// Packets are right-sized copies of what was read (the receive buffer is read into again at once),
// and Held counts what they take: their blocks and their places in the queue. A flood of one-byte
// packets weighs what it costs, not one byte each.
TEST(PacketQueue, HeldIsWhatThePacketsTakeInMemory) {
    constexpr size_t kCount = 256;
    // The allocator's header of a block, which operator new does not see.
    constexpr long long kMostUncounted = 64 * kCount;
    std::vector<BYTE> receiveBuffer(64 * 1024);
    for (const size_t size : {size_t{1}, size_t{100}, size_t{1500}, size_t{64 * 1024}}) {
        SCOPED_TRACE(size);
        std::string expected;
        for (size_t i = 0; i < kCount; ++i) expected.append(size, static_cast<char>('a' + i % 26));
        CPacketQueue queue;
        const long long before = QvProxyTest::LiveBytes();
        for (size_t i = 0; i < kCount; ++i) {
            std::memset(receiveBuffer.data(), 'a' + i % 26, size);
            ASSERT_NE(nullptr, queue.Add(receiveBuffer.data(), size, false));
        }
        const long long allocated = QvProxyTest::LiveBytes() - before;
        EXPECT_EQ(kCount * size, queue.Bytes());
        EXPECT_LE(allocated, static_cast<long long>(queue.Held())) << "held counts less than the packets take";
        EXPECT_LE(static_cast<long long>(queue.Held()), allocated + kMostUncounted)
            << "held counts more than the packets take";

        std::memset(receiveBuffer.data(), 'z', receiveBuffer.size());
        EXPECT_TRUE(Drain(queue) == expected) << "the packets are not copies of what was read";
        EXPECT_EQ(0u, queue.Held());
    }
}

}  // namespace
