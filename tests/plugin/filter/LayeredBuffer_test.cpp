// The de-chunked view of a chunked body over a recording edit interface: offsets both ways, the
// overwrite written through to the chunks' bytes below, consuming and the cap.

#include "plugin/filter/LayeredBuffer.h"

#include "logging/LoggingIf.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The underlying data: a plain text whose overwrites are recorded.
class UnderlyingText : public IReplacementSink {
public:
    explicit UnderlyingText(std::string text) : m_text(std::move(text)) {}
    char* GetBase() override { return &m_text[0]; }
    void Replace(char* at, DWORD len, const char* src, DWORD srcLen) override {
        const auto offset = static_cast<std::size_t>(at - &m_text[0]);
        replaces.push_back(std::to_string(offset) + ":" + std::string(src, srcLen));
        m_text.replace(offset, len, src, len);
    }
    void Insert(char*, DWORD, const char*, DWORD) override { replaces.push_back("insert"); }
    const std::string& Text() const { return m_text; }
    std::vector<std::string> replaces;

private:
    std::string m_text;
};

// "5\r\nhello\r\n3\r\nabc\r\n": the chunk contents lie at 3 and 13.
const std::string kChunked = "5\r\nhello\r\n3\r\nabc\r\n";

void AddChunks(CLayeredBuffer& view, UnderlyingText& under) {
    ASSERT_TRUE(view.AddChunk(3, under.GetBase() + 3, 5));
    ASSERT_TRUE(view.AddChunk(13, under.GetBase() + 13, 3));
}

TEST(LayeredBufferTest, MapsOffsetsBothWays) {
    UnderlyingText under(std::string(40, '.'));
    CLayeredBuffer view(&under);
    EXPECT_EQ(0u, view.ToLayeredOffset(7)) << "no chunks";
    EXPECT_EQ(CLayeredBuffer::kNoOffset, view.ToUnderlyingOffset(0));
    ASSERT_TRUE(view.AddChunk(10, under.GetBase() + 10, 5));
    ASSERT_TRUE(view.AddChunk(20, under.GetBase() + 20, 8));
    struct Case {
        DWORD layered;
        DWORD underlying;
    } toUnderlying[] = {{0, 10}, {3, 13}, {5, 20}, {7, 22}, {13, 28}, {14, CLayeredBuffer::kNoOffset}};
    for (const Case& c : toUnderlying) EXPECT_EQ(c.underlying, view.ToUnderlyingOffset(c.layered)) << c.layered;
    struct Back {
        DWORD underlying;
        DWORD layered;
    } toLayered[] = {{0, 0}, {12, 2}, {15, 5}, {17, 5}, {20, 5}, {25, 10}, {28, 13}, {40, 13}};
    for (const Back& c : toLayered) EXPECT_EQ(c.layered, view.ToLayeredOffset(c.underlying)) << c.underlying;
}

TEST(LayeredBufferTest, ReplaceWritesThroughToEachChunksBytes) {
    struct Case {
        const char* name;
        DWORD at;
        DWORD len;
        std::string src;
        std::string view;
        std::string underlying;
        std::vector<std::string> replaces;
    } cases[] = {
        {"two-byte source over five", 0, 5, "ab", "ababaabc", "5\r\nababa\r\n3\r\nabc\r\n", {"3:ababa"}},
        {"across the chunk boundary", 3, 4, "WXYZ", "helWXYZc", "5\r\nhelWX\r\n3\r\nYZc\r\n", {"6:WX", "13:YZ"}},
        {"longer source is cut", 6, 2, "123456", "helloa12", "5\r\nhello\r\n3\r\na12\r\n", {"14:12"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnderlyingText under(kChunked);
        CLayeredBuffer view(&under);
        AddChunks(view, under);
        view.Replace(view.GetData() + c.at, c.len, c.src.data(), static_cast<DWORD>(c.src.size()));
        EXPECT_EQ(c.view, std::string(view.GetData(), view.GetLength()));
        EXPECT_EQ(c.underlying, under.Text());
        EXPECT_EQ(c.replaces, under.replaces);
    }
}

TEST(LayeredBufferTest, InvalidReplacementChangesNothing) {
    NuvTest::TakeLoggedLines();
    UnderlyingText under(kChunked);
    CLayeredBuffer view(&under);
    AddChunks(view, under);
    view.Replace(view.GetData() + 6, 3, "zzz", 3);  // one byte beyond the view
    view.Replace(view.GetData(), 2, nullptr, 2);
    view.Replace(view.GetData(), 2, "z", 0);
    EXPECT_EQ("helloabc", std::string(view.GetData(), view.GetLength()));
    EXPECT_EQ(kChunked, under.Text());
    const auto lines = NuvTest::TakeLoggedLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[0].text.find(L"Invalid Layered replacement at 0x"));
    EXPECT_EQ(0u, lines[1].text.find(L"Invalid source for Layered replacement at 0x"));
    EXPECT_EQ(0u, lines[2].text.find(L"Invalid source for Layered replacement at 0x"));
}

TEST(LayeredBufferTest, ConsumeDropsWhatTheUnderlyingBufferReleased) {
    struct Case {
        const char* name;
        DWORD count;
        std::string view;
        std::vector<CLayeredBuffer::Chunk> chunks;
    } cases[] = {
        {"framing only", 2, "helloabc", {{0, 1, 5}, {5, 11, 3}}},
        {"into the first chunk", 5, "lloabc", {{0, 0, 3}, {3, 8, 3}}},
        {"the whole first chunk", 10, "abc", {{0, 3, 3}}},
        {"everything", 18, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnderlyingText under(kChunked);
        CLayeredBuffer view(&under);
        AddChunks(view, under);
        view.Consume(c.count);
        EXPECT_EQ(c.view, std::string(view.GetData(), view.GetLength()));
        ASSERT_EQ(c.chunks.size(), view.Chunks().size());
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(c.chunks[i].layeredOffset, view.Chunks()[i].layeredOffset) << i;
            EXPECT_EQ(c.chunks[i].underlyingOffset, view.Chunks()[i].underlyingOffset) << i;
            EXPECT_EQ(c.chunks[i].size, view.Chunks()[i].size) << i;
        }
    }
}

TEST(LayeredBufferTest, ShiftMovesEveryChunkAndTheCapRefusesAChunk) {
    UnderlyingText under(kChunked);
    CLayeredBuffer view(&under);
    AddChunks(view, under);
    view.ShiftUnderlying(4);
    EXPECT_EQ(7u, view.Chunks()[0].underlyingOffset);
    EXPECT_EQ(17u, view.Chunks()[1].underlyingOffset);
    view.ShiftUnderlying(-4);
    EXPECT_EQ(3u, view.Chunks()[0].underlyingOffset);

    NuvTest::TakeLoggedLines();
    const std::string big(CLayeredBuffer::kMaxSize, 'b');
    EXPECT_FALSE(view.AddChunk(100, big.data(), static_cast<DWORD>(big.size())));
    EXPECT_EQ(2u, view.Chunks().size());
    EXPECT_EQ(8u, view.GetLength());
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        logged |= line.text == L"Failed to grow the Layered buffer from 131072 bytes to 3145736 bytes!\r\n";
    }
    EXPECT_TRUE(logged);
    EXPECT_TRUE(view.AddChunk(100, big.data(), CLayeredBuffer::kMaxSize - 8)) << "up to the cap fits";
}

}  // namespace
