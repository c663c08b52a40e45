#include "plugin/core/SiteListIndex.h"

#include <algorithm>
#include <numeric>

namespace {

// Host names are ASCII; a locale-dependent case mapping has no business deciding a match.
char LowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Offset of the last of the non-overlapping occurrences found from the start; npos for none.
std::size_t FindLastNonOverlapping(std::string_view text, std::string_view needle) {
    std::size_t last = std::string_view::npos;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) {
        last = at;
    }
    return last;
}

}  // namespace

bool SiteEntryEndsAtLabel(std::string_view candidate, std::string_view entry) {
    const std::size_t at = FindLastNonOverlapping(candidate, entry);
    if (at == std::string_view::npos) return false;
    if (entry.size() == candidate.size()) return true;
    return entry.size() < candidate.size() && at > 0 && candidate[at - 1] == '.';
}

bool SiteEntryEqualsNoCase(std::string_view candidate, std::string_view entry) noexcept {
    if (candidate.size() != entry.size()) return false;
    for (std::size_t i = 0; i < candidate.size(); ++i) {
        if (LowerAscii(candidate[i]) != LowerAscii(entry[i])) return false;
    }
    return true;
}

std::size_t CSiteListIndex::NoCaseHash::operator()(std::string_view text) const noexcept {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(LowerAscii(c));
        hash *= 1099511628211ull;
    }
    return static_cast<std::size_t>(hash);
}

CSiteListIndex::CSiteListIndex(const std::vector<const std::string*>& texts) {
    std::unordered_map<std::string_view, std::size_t> seen;  // views into the entries, only while building
    for (std::size_t position = 0; position < texts.size(); ++position) {
        const std::string* prepared = texts[position];
        if (prepared == nullptr) {
            m_unprepared.push_back(position);
        } else if (!prepared->empty() && seen.emplace(*prepared, position).second) {
            m_texts.push_back(*prepared);
            m_firstOf.push_back(position);
            m_longest = std::max(m_longest, prepared->size());
        }
    }
    // In list order, so that of the texts equal without case the first one's position stays.
    for (std::size_t n = 0; n < m_texts.size(); ++n) m_firstNoCase.emplace(m_texts[n], m_firstOf[n]);
    BuildTrie();
}

// Breadth first over the sorted texts: each node stands for the run of texts sharing its prefix,
// and its edges are made together, so that they lie side by side in byte order. No recursion: a
// text may be tens of thousands of characters long.
void CSiteListIndex::BuildTrie() {
    std::vector<std::size_t> sorted(m_texts.size());
    std::iota(sorted.begin(), sorted.end(), std::size_t{0});
    std::sort(sorted.begin(), sorted.end(), [this](std::size_t a, std::size_t b) { return m_texts[a] < m_texts[b]; });
    const auto byteAt = [&](std::size_t n, std::size_t depth) {
        return static_cast<unsigned char>(m_texts[sorted[n]][depth]);
    };

    struct Run {
        std::size_t lo, hi, depth;
    };
    std::vector<Run> runs{{0, sorted.size(), 0}};
    m_nodes.emplace_back();
    for (std::size_t node = 0; node < runs.size(); ++node) {
        Run run = runs[node];
        // A text sorts before those it begins; texts are distinct, so at most one ends here.
        if (run.lo < run.hi && m_texts[sorted[run.lo]].size() == run.depth) {
            m_nodes[node].first = m_firstOf[sorted[run.lo++]];
        }
        m_nodes[node].edgeBegin = static_cast<std::uint32_t>(m_edges.size());
        while (run.lo < run.hi) {
            const unsigned char byte = byteAt(run.lo, run.depth);
            std::size_t end = run.lo + 1;
            while (end < run.hi && byteAt(end, run.depth) == byte) ++end;
            m_edges.push_back(Edge{byte, static_cast<std::uint32_t>(runs.size())});
            runs.push_back(Run{run.lo, end, run.depth + 1});
            m_nodes.emplace_back();
            run.lo = end;
        }
        m_nodes[node].edgeEnd = static_cast<std::uint32_t>(m_edges.size());
    }
}

std::uint32_t CSiteListIndex::Child(std::uint32_t node, unsigned char byte) const noexcept {
    const Edge* first = m_edges.data() + m_nodes[node].edgeBegin;
    const Edge* last = m_edges.data() + m_nodes[node].edgeEnd;
    const Edge* at =
        std::lower_bound(first, last, byte, [](const Edge& edge, unsigned char b) { return edge.byte < b; });
    return at != last && at->byte == byte ? at->child : 0;
}

std::size_t CSiteListIndex::FirstDomainMatch(std::string_view candidate, std::size_t before) const {
    std::size_t best = before;
    std::vector<std::uint32_t> refuted;  // texts found whose last occurrence has no '.' in front
    // Only the whole candidate or a text behind a '.' can pass; the walk from each such start
    // meets every text that occurs there.
    for (std::size_t start = 0; start < candidate.size();) {
        std::uint32_t node = 0;
        for (std::size_t end = start; end < candidate.size();) {
            node = Child(node, static_cast<unsigned char>(candidate[end++]));
            if (node == 0) break;
            const std::size_t first = m_nodes[node].first;
            if (first >= best || (start == 0 && end != candidate.size())) continue;
            if (std::find(refuted.begin(), refuted.end(), node) != refuted.end()) continue;
            // Where it occurs last decides, and that may lie elsewhere.
            if (SiteEntryEndsAtLabel(candidate, candidate.substr(start, end - start))) {
                best = first;
            } else {
                refuted.push_back(node);
            }
        }
        const std::size_t dot = candidate.find('.', start);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return best;
}

std::size_t CSiteListIndex::FirstExactMatch(std::string_view candidate, std::size_t before) const {
    if (candidate.size() > m_longest) return before;
    const auto found = m_firstNoCase.find(candidate);
    return found != m_firstNoCase.end() && found->second < before ? found->second : before;
}
