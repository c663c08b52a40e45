#pragma once
// Lookup tables over the prepared entries of a site list, so that a URL meets the entries it can
// match without a test of every entry: a trie of the texts for the domain test (an entry found
// behind a '.' of the candidate, or the whole candidate, is then checked with the test itself) and
// a table without case for the host and path tests. Built once from the list and never changed, so
// any number of threads may look up at once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The tests of one prepared entry against one spelling of the URL; the walk of one entry and the
// index use the same.
// Domain test: the entry is the whole candidate, or the last of its non-overlapping occurrences
// found from the start has a '.' in front. Case counts. The entry is not empty.
bool SiteEntryEndsAtLabel(std::string_view candidate, std::string_view entry);
// Host and path tests: the same text, ASCII letters compared without case.
bool SiteEntryEqualsNoCase(std::string_view candidate, std::string_view entry) noexcept;

class CSiteListIndex {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The prepared text of each entry of the list, in list order; null for an entry that is not
    // prepared, which is left to the caller (Unprepared). Empty texts match nothing and are left
    // out. The texts are copied.
    explicit CSiteListIndex(const std::vector<const std::string*>& prepared);
    CSiteListIndex(const CSiteListIndex&) = delete;
    CSiteListIndex& operator=(const CSiteListIndex&) = delete;

    // The lowest list position below `before` of a prepared entry that passes the domain test
    // with the candidate (SiteEntryEndsAtLabel); `before` when there is none.
    std::size_t FirstDomainMatch(std::string_view candidate, std::size_t before) const;
    // The same for the host and path tests (SiteEntryEqualsNoCase).
    std::size_t FirstExactMatch(std::string_view candidate, std::size_t before) const;

    // Positions of the entries that are not prepared, ascending: each match converts them.
    const std::vector<std::size_t>& Unprepared() const noexcept { return m_unprepared; }

private:
    struct Node {
        std::size_t first = kNone;  // position of the first entry whose text ends here
        std::uint32_t edgeBegin = 0;
        std::uint32_t edgeEnd = 0;
    };
    struct Edge {
        unsigned char byte;
        std::uint32_t child;
    };
    struct NoCaseHash {
        std::size_t operator()(std::string_view text) const noexcept;
    };
    struct NoCaseEqual {
        bool operator()(std::string_view a, std::string_view b) const noexcept { return SiteEntryEqualsNoCase(a, b); }
    };

    void BuildTrie();
    // The child of `node` along `byte`; 0 (the root, never a child) when there is none.
    std::uint32_t Child(std::uint32_t node, unsigned char byte) const noexcept;

    std::vector<std::string> m_texts;      // distinct prepared texts, by their first position
    std::vector<std::size_t> m_firstOf;    // that first position, for each text
    std::size_t m_longest = 0;             // length of the longest text
    std::vector<Node> m_nodes;             // m_nodes[0] is the root
    std::vector<Edge> m_edges;             // each node's edges together, by byte
    // Views into m_texts, which does not change once built.
    std::unordered_map<std::string_view, std::size_t, NoCaseHash, NoCaseEqual> m_firstNoCase;
    std::vector<std::size_t> m_unprepared;
};
