#include "nuvutil/ByteBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
}

std::vector<std::uint8_t> Held(const CByteBuffer& buffer) {
    if (buffer.GetData() == nullptr) return {};
    return {buffer.GetData(), buffer.GetData() + buffer.GetSize()};
}

TEST(ByteBufferTest, ConstructorAllocatesUnlessToldNotTo) {
    struct Case {
        int initialSize;
        bool noAllocate;
        bool hasBlock;
    };
    for (const Case& c : {Case{256, false, true}, Case{256, true, false}, Case{0, false, false}, Case{-5, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.initialSize << " noAllocate=" << c.noAllocate);
        CByteBuffer buffer(c.initialSize, c.noAllocate);
        EXPECT_EQ(buffer.GetData() != nullptr, c.hasBlock);
        EXPECT_EQ(buffer.GetCapacity(), c.hasBlock ? static_cast<std::uint32_t>(c.initialSize) : 0u);
        EXPECT_EQ(buffer.GetSize(), 0u);
    }
}

TEST(ByteBufferTest, BlockGrowsToInitialSizeOrData) {
    CByteBuffer buffer(256, true);
    const auto small = Pattern(10);
    ASSERT_EQ(buffer.SetData(small.data(), 10), 1);
    EXPECT_EQ(buffer.GetCapacity(), 256u);  // never below the initial size
    EXPECT_EQ(Held(buffer), small);

    const std::uint8_t* block = buffer.GetData();
    const auto medium = Pattern(200);
    ASSERT_EQ(buffer.SetData(medium.data(), 200), 1);
    EXPECT_EQ(buffer.GetData(), block);  // fits: the block is reused
    EXPECT_EQ(Held(buffer), medium);

    const auto large = Pattern(300);
    ASSERT_EQ(buffer.SetData(large.data(), 300), 1);
    EXPECT_EQ(buffer.GetCapacity(), 300u);
    EXPECT_EQ(Held(buffer), large);
}

TEST(ByteBufferTest, EmptyDataKeepsBlockWhileFreeReleasesIt) {
    CByteBuffer buffer(64);
    const auto bytes = Pattern(20);
    ASSERT_EQ(buffer.SetData(bytes.data(), 20), 1);
    const std::uint8_t* block = buffer.GetData();

    EXPECT_EQ(buffer.SetData(bytes.data(), 0), 1);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetData(), block);
    ASSERT_EQ(buffer.SetData(bytes.data(), 20), 1);
    EXPECT_EQ(buffer.SetData(nullptr, 20), 1);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetData(), block);

    ASSERT_EQ(buffer.SetData(bytes.data(), 20), 1);
    buffer.Free(false);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetCapacity(), 64u);
    buffer.Free(true);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_EQ(buffer.GetCapacity(), 0u);
}

TEST(ByteBufferTest, AllocateReplacesBlockAndForgetsData) {
    CByteBuffer buffer(16);
    const auto bytes = Pattern(16);
    ASSERT_EQ(buffer.SetData(bytes.data(), 16), 1);
    ASSERT_TRUE(buffer.Allocate(1000));
    EXPECT_EQ(buffer.GetCapacity(), 1000u);
    EXPECT_EQ(buffer.GetSize(), 0u);
    ASSERT_NE(buffer.GetData(), nullptr);
}

TEST(ByteBufferTest, CopiesOwnTheirBytes) {
    CByteBuffer source(0, true);
    const auto bytes = Pattern(40);
    ASSERT_EQ(source.SetData(bytes.data(), 40), 1);

    CByteBuffer copy(source);
    CByteBuffer assigned(128);
    assigned = source;
    for (CByteBuffer* target : {&copy, &assigned}) {
        EXPECT_EQ(Held(*target), bytes);
        EXPECT_NE(target->GetData(), source.GetData());
    }
    EXPECT_EQ(assigned.GetCapacity(), 128u);  // the target's own initial size still applies

    assigned = assigned;  // self-assignment keeps the bytes
    EXPECT_EQ(Held(assigned), bytes);

    CByteBuffer empty(0, true);
    assigned = empty;
    EXPECT_EQ(assigned.GetSize(), 0u);
}

}  // namespace
