// Blocking work queue: order, null items, the event's state, producers on several threads, a
// waiting consumer, and items still queued when the queue goes away.
#include "nuvutil/WorkQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

void* Item(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

bool IsSignalled(const CWorkQueue& queue) {
    return ::WaitForSingleObject(queue.GetItemsAvailableEvent(), 0) == WAIT_OBJECT_0;
}

TEST(WorkQueue, DeliversInArrivalOrderWithNullItemsInTheirTurn) {
    CWorkQueue queue;
    const std::vector<void*> put{Item(1), Item(2), nullptr, Item(3)};
    for (void* item : put) queue.Put(item);

    std::vector<void*> got;
    for (std::size_t i = 0; i < put.size(); ++i) got.push_back(queue.Get());
    EXPECT_EQ(got, put);
}

TEST(WorkQueue, EventIsSignalledExactlyWhileItemsAreQueued) {
    CWorkQueue queue;
    EXPECT_FALSE(IsSignalled(queue));
    queue.Put(Item(1));
    queue.Put(Item(2));
    EXPECT_TRUE(IsSignalled(queue));
    EXPECT_EQ(queue.Get(), Item(1));
    EXPECT_TRUE(IsSignalled(queue));
    EXPECT_EQ(queue.Get(), Item(2));
    EXPECT_FALSE(IsSignalled(queue));
}

TEST(WorkQueue, WaitingConsumerIsWokenByAPut) {
    CWorkQueue queue;
    auto taken = std::async(std::launch::async, [&] { return queue.Get(); });
    EXPECT_EQ(taken.wait_for(100ms), std::future_status::timeout) << "Get returned from an empty queue";
    queue.Put(Item(7));
    ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(taken.get(), Item(7));
    EXPECT_FALSE(IsSignalled(queue));
}

TEST(WorkQueue, ASignalWithoutAnItemDoesNotEndTheWait) {
    CWorkQueue queue;
    // Nothing queued, yet the event says otherwise: Get must go on waiting, not pop.
    ASSERT_TRUE(::SetEvent(queue.GetItemsAvailableEvent()));
    auto taken = std::async(std::launch::async, [&] { return queue.Get(); });
    EXPECT_EQ(taken.wait_for(100ms), std::future_status::timeout);
    queue.Put(Item(9));
    ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(taken.get(), Item(9));
    EXPECT_FALSE(IsSignalled(queue));
}

TEST(WorkQueue, ItemsOfSeveralProducersArriveCompleteAndInEachProducersOrder) {
    constexpr std::uintptr_t kProducers = 4;
    constexpr std::uintptr_t kItemsEach = 2000;
    CWorkQueue queue;

    std::vector<std::uintptr_t> nextExpected(kProducers, 0);
    std::size_t received = 0;
    bool inOrder = true;
    std::thread consumer([&] {
        // A null item stops the consumer, as in the plug-in's threads.
        while (void* item = queue.Get()) {
            const auto value = reinterpret_cast<std::uintptr_t>(item) - 1;
            const std::uintptr_t producer = value / kItemsEach;
            inOrder = inOrder && producer < kProducers && value % kItemsEach == nextExpected[producer];
            if (producer < kProducers) ++nextExpected[producer];
            ++received;
        }
    });

    std::vector<std::thread> producers;
    for (std::uintptr_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (std::uintptr_t i = 0; i < kItemsEach; ++i) queue.Put(Item(p * kItemsEach + i + 1));
        });
    }
    for (auto& producer : producers) producer.join();
    queue.Put(nullptr);
    consumer.join();

    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, kProducers * kItemsEach);
    EXPECT_FALSE(IsSignalled(queue));
}

struct CountedItem {
    explicit CountedItem(std::atomic<int>& live) : live(live) { ++live; }
    ~CountedItem() { --live; }
    std::atomic<int>& live;
};

TEST(WorkQueue, ItemsStillQueuedAreReleasedAtDestruction) {
    std::atomic<int> live{0};
    int releases = 0;
    void* taken = nullptr;
    {
        CWorkQueue queue([&](void* item) {
            ++releases;
            delete static_cast<CountedItem*>(item);
        });
        queue.Put(new CountedItem(live));
        queue.Put(new CountedItem(live));
        queue.Put(nullptr);  // a stop signal is no item to release
        queue.Put(new CountedItem(live));
        taken = queue.Get();  // the consumer's from now on
        ASSERT_EQ(live, 3);
    }
    EXPECT_EQ(releases, 2);
    EXPECT_EQ(live, 1);
    delete static_cast<CountedItem*>(taken);
    EXPECT_EQ(live, 0);
}

}  // namespace
