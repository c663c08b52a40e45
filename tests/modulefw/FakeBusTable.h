#pragma once
// A bus function table whose entries record their calls and answer what the test sets, for the
// client's error paths and for the exact arguments it hands the bus. One table at a time: the
// entries are plain functions and reach it through a process-wide pointer.

#include "suite/interfaces/HalvexBus.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace NuvTest {

class FakeBusTable {
public:
    struct Publish {
        Halvex::WireHeader header;
        std::wstring name, sender, payload;
        bool variant;
    };
    struct Request {
        Halvex::WireHeader header;
        std::wstring name;
        std::uint64_t replyIndex, timeoutMs;
        void* context;
        Halvex::ReplyCallback callback;
        bool variant;
    };
    struct Subscription {
        std::uint32_t id;
        std::wstring name;
        bool pattern;
        void* context;
        Halvex::MessageCallback callback;
    };

    FakeBusTable() { s_current = this; }
    ~FakeBusTable() { s_current = nullptr; }
    FakeBusTable(const FakeBusTable&) = delete;
    FakeBusTable& operator=(const FakeBusTable&) = delete;

    const Korin::MessageBusFunctions* Table() const { return &s_table; }
    Halvex::BusHandle Handle() const { return const_cast<int*>(&m_handleTarget); }

    // Statuses the next calls return, in order; 0 once they run out. Subscription ids: 0 refuses.
    std::deque<std::uint32_t> publishStatuses, requestStatuses;
    std::deque<std::uint32_t> subscriptionIds;

    std::vector<Publish> publishes;
    std::vector<Request> requests;
    std::vector<Subscription> subscriptions;
    std::vector<std::uint32_t> unsubscribed;
    int replyCallbackReleases = 0;
    // open answers this (and writes the handle when it is 0); release answers releaseStatus.
    std::uint32_t openStatus = 0, releaseStatus = 0;
    int releases = 0;

private:
    static std::uint32_t Next(std::deque<std::uint32_t>& statuses, std::uint32_t otherwise) {
        if (statuses.empty()) return otherwise;
        const std::uint32_t status = statuses.front();
        statuses.pop_front();
        return status;
    }
    static Halvex::WireHeader Copy(const void* header) {
        Halvex::WireHeader copy;
        std::memcpy(&copy, header, sizeof(copy));
        return copy;
    }
    static std::uint32_t Open(Halvex::BusHandle* handle) {
        if (s_current->openStatus == 0) *handle = s_current->Handle();
        return s_current->openStatus;
    }
    static std::uint32_t Release(Halvex::BusHandle handle) {
        if (handle == s_current->Handle()) ++s_current->releases;
        return s_current->releaseStatus;
    }
    static std::uint32_t DoPublish(bool variant, const void* header, const wchar_t* name, const wchar_t* sender,
                                   const wchar_t* payload) {
        std::lock_guard<std::mutex> lock(s_current->m_lock);
        s_current->publishes.push_back({Copy(header), name, sender, payload, variant});
        return Next(s_current->publishStatuses, 0);
    }
    static std::uint32_t DoRequest(bool variant, std::uint64_t index, void* context, Halvex::ReplyCallback callback,
                                   const void* header, const wchar_t* name, std::uint64_t timeoutMs) {
        std::lock_guard<std::mutex> lock(s_current->m_lock);
        s_current->requests.push_back({Copy(header), name, index, timeoutMs, context, callback, variant});
        return Next(s_current->requestStatuses, 0);
    }
    static std::uint32_t DoSubscribe(bool pattern, void* context, Halvex::MessageCallback callback,
                                     const wchar_t* name) {
        std::lock_guard<std::mutex> lock(s_current->m_lock);
        const std::uint32_t id = Next(s_current->subscriptionIds, ++s_current->m_lastId);
        s_current->subscriptions.push_back({id, name, pattern, context, callback});
        return id;
    }

    std::mutex m_lock;
    std::uint32_t m_lastId = 100;
    int m_handleTarget = 0;

    static inline FakeBusTable* s_current = nullptr;
    static inline const Korin::MessageBusFunctions s_table = {
        &Open,
        &Release,
        [](Halvex::BusHandle, const void* h, const wchar_t* n, const wchar_t* s, const wchar_t* p) {
            return DoPublish(false, h, n, s, p);
        },
        [](Halvex::BusHandle, std::uint64_t i, void* c, Halvex::ReplyCallback cb, const void* h, const wchar_t* n,
           const wchar_t*, const wchar_t*, std::uint64_t t) { return DoRequest(false, i, c, cb, h, n, t); },
        [](Halvex::BusHandle, void* c, Halvex::MessageCallback cb, const wchar_t* n) {
            return DoSubscribe(false, c, cb, n);
        },
        [](Halvex::BusHandle, void* c, Halvex::MessageCallback cb, const wchar_t* n) {
            return DoSubscribe(true, c, cb, n);
        },
        [](Halvex::BusHandle, std::uint32_t id) -> std::uint32_t {
            std::lock_guard<std::mutex> lock(s_current->m_lock);
            s_current->unsubscribed.push_back(id);
            return 0;
        },
        [](Halvex::BusHandle, Halvex::ReplyCallback) -> std::uint32_t {
            std::lock_guard<std::mutex> lock(s_current->m_lock);
            ++s_current->replyCallbackReleases;
            return 0;
        },
        [](Halvex::BusHandle, const void* h, const wchar_t* n, const wchar_t* s, const wchar_t* p) {
            return DoPublish(true, h, n, s, p);
        },
        [](Halvex::BusHandle, std::uint64_t i, void* c, Halvex::ReplyCallback cb, const void* h, const wchar_t* n,
           const wchar_t*, const wchar_t*, std::uint64_t t) { return DoRequest(true, i, c, cb, h, n, t); },
    };

};

}  // namespace NuvTest
