#pragma once
// Splitting a text at a separator text.

#include "nuvutil/NoCaseLess.h"

#include <cstdint>
#include <string>

class CStringTokenizer {
public:
    // A null text or separator counts as empty.
    CStringTokenizer(const wchar_t* text, const wchar_t* separator);
    CStringTokenizer(std::wstring text, std::wstring separator);

    // The next token; empty once the text is exhausted. Runs of separators count as one, a
    // separator at the start gives an empty first token, one at the end no empty last token.
    std::wstring NextToken();

private:
    std::int64_t SkipSeparators(std::size_t index) const;

    std::wstring m_text;
    std::wstring m_separator;
    std::int64_t m_position = 0;  // -1 once the text is exhausted
};
