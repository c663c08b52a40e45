// Stream data: fields written and read back in order, exact growth, every block zeroed before it
// is given back, allocation failures and sizes that would pass 32 bits leave the buffer alone.
#include "nuvutil/StreamData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Sees every block as it is given back and can refuse the next allocation.
class RecordingMemory : public CStreamDataMemory {
public:
    void* Allocate(std::size_t size) noexcept override {
        ++allocations;
        if (failNext) {
            failNext = false;
            return nullptr;
        }
        return CStreamDataMemory::Allocate(size);
    }
    void Release(void* block, std::size_t size) noexcept override {
        const auto* bytes = static_cast<const unsigned char*>(block);
        released.push_back(size);
        if (std::any_of(bytes, bytes + size, [](unsigned char b) { return b != 0; })) ++releasedDirty;
        CStreamDataMemory::Release(block, size);
    }

    int allocations = 0;
    bool failNext = false;
    std::vector<std::size_t> released;
    int releasedDirty = 0;
};

class StreamDataTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetStreamDataMemory(&memory); }
    void TearDown() override { SetStreamDataMemory(previous_); }

    static std::string Contents(const CStreamData& stream) {
        return std::string(reinterpret_cast<const char*>(stream.GetData()), stream.GetSize());
    }

    RecordingMemory memory;

private:
    CStreamDataMemory* previous_ = nullptr;
};

TEST_F(StreamDataTest, FieldsWrittenOneAfterAnotherReadBackInTheSameOrder) {
    const DWORD id = 0xCAFEF00D;
    const std::string name = "example.com/path";
    const DWORD nameLength = static_cast<DWORD>(name.size());
    const double seconds = 1234.5;
    const WORD flags = 0x8001;

    CStreamData writer;
    ASSERT_TRUE(writer.WriteDataToStream(&id, sizeof id));
    ASSERT_TRUE(writer.WriteDataToStream(&nameLength, sizeof nameLength));
    ASSERT_TRUE(writer.WriteDataToStream(name.data(), nameLength));
    ASSERT_TRUE(writer.WriteDataToStream(&seconds, sizeof seconds));
    ASSERT_TRUE(writer.WriteDataToStream(&flags, sizeof flags));
    ASSERT_EQ(writer.GetSize(), sizeof id + sizeof nameLength + name.size() + sizeof seconds + sizeof flags);

    // The reader sizes its buffer once, fills it, then takes the fields off the front.
    CStreamData reader;
    ASSERT_TRUE(reader.Allocate(writer.GetSize()));
    std::memcpy(reader.GetData(), writer.GetData(), writer.GetSize());
    DWORD readId = 0, readLength = 0;
    double readSeconds = 0;
    WORD readFlags = 0;
    ASSERT_TRUE(reader.ReadDataFromStream(&readId, sizeof readId));
    ASSERT_TRUE(reader.ReadDataFromStream(&readLength, sizeof readLength));
    ASSERT_EQ(readLength, nameLength);
    std::string readName(readLength, '\0');
    ASSERT_TRUE(reader.ReadDataFromStream(&readName[0], readLength));
    ASSERT_TRUE(reader.ReadDataFromStream(&readSeconds, sizeof readSeconds));
    ASSERT_TRUE(reader.ReadDataFromStream(&readFlags, sizeof readFlags));
    EXPECT_EQ(readId, id);
    EXPECT_EQ(readName, name);
    EXPECT_EQ(readSeconds, seconds);
    EXPECT_EQ(readFlags, flags);

    BYTE extra = 0;
    EXPECT_FALSE(reader.ReadDataFromStream(&extra, 1));
}

TEST_F(StreamDataTest, WritesGrowToExactlyTheBytesFilledAndKeepThePositionBehindThem) {
    CStreamData stream;
    ASSERT_TRUE(stream.WriteDataToStream("abcd", 4));
    ASSERT_TRUE(stream.WriteDataToStream("ef", 2));
    EXPECT_EQ(stream.GetSize(), 6u);
    EXPECT_EQ(Contents(stream), "abcdef");
    // The position is 6 bytes behind the start: the next byte lands at index 6.
    ASSERT_TRUE(stream.WriteDataToStream("g", 1));
    EXPECT_EQ(Contents(stream), "abcdefg");
}

TEST_F(StreamDataTest, EveryBlockIsZeroedBeforeItIsGivenBack) {
    {
        CStreamData stream;
        ASSERT_TRUE(stream.WriteDataToStream("secret", 6));
        ASSERT_TRUE(stream.WriteDataToStream("key", 3));  // grows: a new block, the old one released
        EXPECT_EQ(memory.allocations, 2);
        EXPECT_EQ(memory.released, (std::vector<std::size_t>{6}));
        EXPECT_EQ(Contents(stream), "secretkey");

        ASSERT_TRUE(stream.Allocate(4));  // shrinks: the dropped tail goes with the zeroed block
        EXPECT_EQ(Contents(stream), "secr");
        stream.Free();
        ASSERT_TRUE(stream.WriteDataToStream("more", 4));
    }  // the destructor gives back the last block
    EXPECT_EQ(memory.released, (std::vector<std::size_t>{6, 9, 4, 4}));
    EXPECT_EQ(memory.releasedDirty, 0);
}

TEST_F(StreamDataTest, FreeForgetsTheCapacity) {
    CStreamData stream;
    ASSERT_TRUE(stream.WriteDataToStream("12345678", 8));
    stream.Free();
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.GetData(), nullptr);
    BYTE byte = 0;
    EXPECT_FALSE(stream.ReadDataFromStream(&byte, 1));
    ASSERT_TRUE(stream.WriteDataToStream("ab", 2));
    EXPECT_EQ(stream.GetSize(), 2u);
    EXPECT_EQ(Contents(stream), "ab");
}

TEST_F(StreamDataTest, FailedAllocationsLeaveTheBufferAsItWas) {
    CStreamData stream;
    memory.failNext = true;
    EXPECT_FALSE(stream.WriteDataToStream("abc", 3));
    EXPECT_EQ(stream.GetData(), nullptr);
    EXPECT_EQ(stream.GetSize(), 0u);

    ASSERT_TRUE(stream.WriteDataToStream("abc", 3));
    memory.failNext = true;
    EXPECT_FALSE(stream.WriteDataToStream("def", 3));
    memory.failNext = true;
    EXPECT_FALSE(stream.Allocate(10));
    EXPECT_EQ(Contents(stream), "abc");
    // Still usable, and the position did not move.
    ASSERT_TRUE(stream.WriteDataToStream("d", 1));
    EXPECT_EQ(Contents(stream), "abcd");
}

TEST_F(StreamDataTest, ReadsNeedTheWholeCountBeforeTheEndAndOtherwiseKeepThePosition) {
    CStreamData stream;
    BYTE out[16] = {};
    EXPECT_FALSE(stream.ReadDataFromStream(out, 1));  // nothing allocated yet

    ASSERT_TRUE(stream.Allocate(10));
    std::memcpy(stream.GetData(), "0123456789", 10);
    ASSERT_TRUE(stream.ReadDataFromStream(out, 8));
    EXPECT_FALSE(stream.ReadDataFromStream(out, 4));
    ASSERT_TRUE(stream.ReadDataFromStream(out, 2));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "89");
}

TEST_F(StreamDataTest, CountsThatWouldWrapPastThirtyTwoBitsAreRefused) {
    CStreamData stream;
    ASSERT_TRUE(stream.Allocate(10));
    std::memcpy(stream.GetData(), "0123456789", 10);
    BYTE out[4] = {};
    ASSERT_TRUE(stream.ReadDataFromStream(out, 4));
    // 4 + 0xFFFFFFFD wraps to 1 in 32 bits, which would look like a read within the buffer.
    EXPECT_FALSE(stream.ReadDataFromStream(out, 0xFFFFFFFDu));
    ASSERT_TRUE(stream.ReadDataFromStream(out, 1));
    EXPECT_EQ(out[0], '4');

    // Position 5 + 0xFFFFFFFF bytes cannot be a 32-bit capacity: refused before any allocation.
    const int allocationsBefore = memory.allocations;
    EXPECT_FALSE(stream.WriteDataToStream(out, MAXDWORD));
    EXPECT_EQ(memory.allocations, allocationsBefore);
    EXPECT_EQ(stream.GetSize(), 10u);
    EXPECT_EQ(Contents(stream), "0123456789");
}

TEST_F(StreamDataTest, AWriteFromNoSourceLeavesZerosAndMovesOn) {
    CStreamData stream;
    ASSERT_TRUE(stream.WriteDataToStream("ab", 2));
    EXPECT_TRUE(stream.WriteDataToStream(nullptr, 3));
    ASSERT_TRUE(stream.WriteDataToStream("c", 1));
    EXPECT_EQ(Contents(stream), std::string("ab\0\0\0c", 6));
}

}  // namespace
