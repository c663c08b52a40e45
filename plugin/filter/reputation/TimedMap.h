#pragma once
// A map whose entries expire: a hash map from key to entry and an index by insertion time (equal
// times keep their insertion order), so that the oldest entry is always first. The caller holds
// the lock the map's owner keeps; the map itself has none.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

namespace NNUV {
namespace NNUVInternal {

// The clock of the map: seconds since 1970-01-01 UTC. Tests put another in its place.
template <class Entry>
struct CDefaultTimeFunctor {
    using Override = std::int64_t (*)();
    static inline std::atomic<Override> s_override{nullptr};

    std::int64_t operator()() const {
        const Override clock = s_override.load();
        return clock != nullptr ? clock() : static_cast<std::int64_t>(std::time(nullptr));
    }
};

// Entry: has `std::int64_t insertionTime`. Clock: callable giving the current time in seconds.
template <class Key, class Entry, class Clock>
class CTimedMap {
public:
    explicit CTimedMap(Clock clock = Clock()) : m_clock(std::move(clock)) {}
    virtual ~CTimedMap() = default;

    std::optional<Entry> Find(const Key& key) const {
        const auto found = m_entries.find(key);
        if (found == m_entries.end()) return std::nullopt;
        return found->second;
    }

    // Replaces an entry of the same key; the entry's insertion time is its own.
    void Insert(const Key& key, const Entry& entry) {
        const auto found = m_entries.find(key);
        if (found != m_entries.end()) Erase(found);
        m_byTime.emplace(entry.insertionTime, key);
        m_entries.emplace(key, entry);
    }

    // Drops the oldest entries beyond `maxEntries`, then every entry older than `lifetime`
    // seconds (one `lifetime` old stays). Returns how many went.
    std::size_t RemoveExpired(std::size_t maxEntries, std::int64_t lifetime) {
        const std::int64_t now = m_clock();
        std::size_t removed = 0;
        while (!m_byTime.empty()) {
            const auto oldest = m_byTime.begin();
            if (m_entries.size() <= maxEntries && oldest->first + lifetime >= now) break;
            m_entries.erase(oldest->second);
            m_byTime.erase(oldest);
            ++removed;
        }
        return removed;
    }

    std::size_t Size() const noexcept { return m_entries.size(); }
    void Clear() {
        m_entries.clear();
        m_byTime.clear();
    }
    Clock& GetClock() noexcept { return m_clock; }

private:
    using Entries = std::unordered_map<Key, Entry>;

    void Erase(typename Entries::iterator entry) {
        // The element of this key among those of its time.
        auto range = m_byTime.equal_range(entry->second.insertionTime);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == entry->first) {
                m_byTime.erase(it);
                break;
            }
        }
        m_entries.erase(entry);
    }

    Entries m_entries;
    Clock m_clock;
    std::multimap<std::int64_t, Key> m_byTime;
};

}  // namespace NNUVInternal
}  // namespace NNUV
