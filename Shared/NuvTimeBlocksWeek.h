#pragma once
// A user's weekly internet schedule: 7 days of 288 five-minute blocks, 1 = allowed, 0 = blocked.
// Block 0 is Sunday 00:00-00:05, block 2015 Saturday 23:55-24:00. Text form: one '1' or '0'
// per block, in block order.

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

class CNuvTimeBlocksWeek {
public:
    static constexpr std::size_t kBlocksPerDay = 288;
    static constexpr std::size_t kBlockCount = 7 * kBlocksPerDay;  // 2016
    static constexpr DWORD kNoChange = 0xFFFFFFFF;

    // All blocks allowed; a non-null text is then parsed (a short or bad text still gives a
    // usable week). Never throws: when the blocks cannot be allocated the week holds none and
    // answers as an unrestricted week.
    explicit CNuvTimeBlocksWeek(const wchar_t* text = nullptr);
    virtual ~CNuvTimeBlocksWeek();
    // Callers copy a week through its text (ToString, SetFromText).
    CNuvTimeBlocksWeek(const CNuvTimeBlocksWeek&) = delete;
    CNuvTimeBlocksWeek& operator=(const CNuvTimeBlocksWeek&) = delete;

    // Whether the block of `localTime` is allowed; `millisecondsToChange` (optional) receives the
    // exact time to the start of the next block of the other state, kNoChange when the whole
    // week has one state. A moment outside the week (day, hour, minute, second or millisecond
    // out of range) answers allowed with kNoChange. Allocation-free.
    bool GetStateAt(const SYSTEMTIME& localTime, DWORD* millisecondsToChange = nullptr) const noexcept;

    // Every block allowed, then one block per character until the first that is neither '1'
    // nor '0' (the terminator of a short text included): false then, the later blocks stay
    // allowed. Characters after the 2016th are ignored. False and no change without blocks or
    // without text.
    bool Parse(const wchar_t* text) noexcept;
    // A null or empty text allows every block; anything else is parsed (its result returned).
    bool SetFromText(const wchar_t* text) noexcept;
    // Replaces `text` with the 2016-character form; false (text untouched) without blocks.
    bool ToString(std::wstring& text) const;
    // True without blocks or when every block is allowed.
    bool IsUnrestricted() const noexcept;
    void AllowAll() noexcept;

    // The block of a moment, or kBlockCount when the moment lies outside the week.
    static std::size_t BlockIndex(const SYSTEMTIME& localTime) noexcept;

private:
    std::unique_ptr<BYTE[]> m_blocks;  // kBlockCount bytes, null only when allocation failed
};
