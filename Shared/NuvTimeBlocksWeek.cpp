#include "Shared/NuvTimeBlocksWeek.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr BYTE kAllowed = 1;
constexpr BYTE kBlocked = 0;
constexpr DWORD kMinutesPerBlock = 5;
}  // namespace

CNuvTimeBlocksWeek::CNuvTimeBlocksWeek(const wchar_t* text) : m_blocks(new (std::nothrow) BYTE[kBlockCount]) {
    AllowAll();
    if (m_blocks && text != nullptr) Parse(text);
}

CNuvTimeBlocksWeek::~CNuvTimeBlocksWeek() = default;

std::size_t CNuvTimeBlocksWeek::BlockIndex(const SYSTEMTIME& t) noexcept {
    // Seconds and milliseconds do not choose the block, but the time to the next change is
    // computed from them: out of range they would wrap that 32-bit arithmetic.
    if (t.wDayOfWeek > 6 || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) {
        return kBlockCount;
    }
    return t.wDayOfWeek * kBlocksPerDay + (t.wHour * 60u + t.wMinute) / kMinutesPerBlock;
}

bool CNuvTimeBlocksWeek::GetStateAt(const SYSTEMTIME& localTime, DWORD* millisecondsToChange) const noexcept {
    const std::size_t i = BlockIndex(localTime);
    if (!m_blocks || i >= kBlockCount) {
        if (millisecondsToChange != nullptr) *millisecondsToChange = kNoChange;
        return true;
    }
    const BYTE state = m_blocks[i];
    if (millisecondsToChange == nullptr) return state != kBlocked;

    const BYTE* const begin = m_blocks.get();
    const BYTE* const end = begin + kBlockCount;
    const auto differs = [state](BYTE block) { return block != state; };
    DWORD distance = 0;
    const BYTE* change = std::find_if(begin + i + 1, end, differs);
    if (change != end) {
        distance = static_cast<DWORD>(change - (begin + i));
    } else {
        // The week wraps from Saturday night to Sunday morning.
        change = std::find_if(begin, begin + i, differs);
        if (change != begin + i) distance = static_cast<DWORD>(change - begin) + kBlockCount - static_cast<DWORD>(i);
    }

    if (distance == 0) {
        *millisecondsToChange = kNoChange;
    } else {
        *millisecondsToChange = ((distance * kMinutesPerBlock - localTime.wMinute % kMinutesPerBlock) * 60u -
                                 localTime.wSecond) * 1000u - localTime.wMilliseconds;
    }
    return state != kBlocked;
}

bool CNuvTimeBlocksWeek::Parse(const wchar_t* text) noexcept {
    if (!m_blocks || text == nullptr) return false;
    AllowAll();
    for (std::size_t i = 0; i < kBlockCount; ++i) {
        if (text[i] == L'1') {
            m_blocks[i] = kAllowed;
        } else if (text[i] == L'0') {
            m_blocks[i] = kBlocked;
        } else {
            return false;
        }
    }
    return true;
}

bool CNuvTimeBlocksWeek::SetFromText(const wchar_t* text) noexcept {
    if (text == nullptr || *text == L'\0') {
        AllowAll();
        return true;
    }
    return Parse(text);
}

bool CNuvTimeBlocksWeek::ToString(std::wstring& text) const {
    if (!m_blocks) return false;
    text.clear();
    text.reserve(kBlockCount);
    for (std::size_t i = 0; i < kBlockCount; ++i) text.push_back(m_blocks[i] != kBlocked ? L'1' : L'0');
    return true;
}

bool CNuvTimeBlocksWeek::IsUnrestricted() const noexcept {
    if (!m_blocks) return true;
    return std::all_of(m_blocks.get(), m_blocks.get() + kBlockCount, [](BYTE block) { return block == kAllowed; });
}

void CNuvTimeBlocksWeek::AllowAll() noexcept {
    if (m_blocks) std::memset(m_blocks.get(), kAllowed, kBlockCount);
}
