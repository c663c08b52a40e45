// The hosts of "http://" links in body pieces, with links cut between pieces.
#include "plugin/filter/InboundEmbeddedUrlScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingLinks : public IInboundEmbeddedUrlScanCallback {
public:
    void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) override {
        hosts.push_back(std::string(host, length) + "@" + requestHost.m_pBuffer);
    }
    std::vector<std::string> hosts;
};

// Runs the scan over the pieces as the response scan does: the bytes the scan is not done with
// are kept and come again in front of the next piece.
std::vector<std::string> Hosts(const std::vector<std::string>& pieces, std::vector<LONG>* positions = nullptr) {
    RecordingLinks links;
    CInboundEmbeddedUrlScan scan;
    CInboundEmbeddedUrlScan::CState state(&links);
    state.m_strRequestHost.Assign("page.example");
    std::string kept;
    for (std::size_t n = 0; n < pieces.size(); ++n) {
        const std::string text = kept + pieces[n];
        if (text.empty()) continue;
        state.SetPiece(text.data(), text.data() + text.size() - 1);
        state.SetFlag(n + 1 < pieces.size());
        scan.Scan(state);
        if (positions != nullptr) positions->push_back(state.GetPosition());
        kept = text.substr(static_cast<std::size_t>(state.GetPosition()));
    }
    return links.hosts;
}

TEST(EmbeddedUrlScan, ReportsTheHostsOfHttpLinks) {
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> hosts;
    } cases[] = {
        {"host up to the path, twice for two links",
         {"<a href=\"http://cdn.example.com/a.js\">x</a><img src='http://cdn.example.com/i.png'>"},
         {"cdn.example.com@page.example", "cdn.example.com@page.example"}},
        {"scheme in upper case, host case kept", {"HTTP://Mixed-Case.Example.ORG:80/"}, {"Mixed-Case.Example.ORG@page.example"}},
        {"https is not reported", {"https://secure.example.com/"}, {}},
        {"no host after the scheme: goes on after it", {"http:///x http://ok.example"}, {"ok.example@page.example"}},
        {"a host cut between pieces", {"see http://cdn.exa", "mple.com/lib.js"}, {"cdn.example.com@page.example"}},
        {"the scheme cut between pieces", {"see htt", "p://cdn.example.com/"}, {"cdn.example.com@page.example"}},
        {"the last piece ends with part of the scheme", {"text http:/"}, {}},
        {"the last piece ends with a host", {"a", "http://end.example"}, {"end.example@page.example"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.hosts, Hosts(c.pieces)) << c.name;
}

TEST(EmbeddedUrlScan, KeepsTheStartOfAnUnfinishedLink) {
    std::vector<LONG> positions;
    Hosts({"0123 http://cdn.exa", "mple.com/ rest"}, &positions);
    ASSERT_EQ(2u, positions.size());
    EXPECT_EQ(5, positions[0]) << "done with the bytes before the link";
    EXPECT_EQ(static_cast<LONG>(std::string("http://cdn.example.com/ rest").size()), positions[1]);
}

}  // namespace
