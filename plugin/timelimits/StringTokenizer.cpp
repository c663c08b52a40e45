#include "plugin/timelimits/StringTokenizer.h"

#include <cwchar>
#include <utility>

CStringTokenizer::CStringTokenizer(const wchar_t* text, const wchar_t* separator)
    : m_text(text != nullptr ? text : L""), m_separator(separator != nullptr ? separator : L"") {}

CStringTokenizer::CStringTokenizer(std::wstring text, std::wstring separator)
    : m_text(std::move(text)), m_separator(std::move(separator)) {}

std::wstring CStringTokenizer::NextToken() {
    if (m_position < 0) return std::wstring();
    const std::size_t start = static_cast<std::size_t>(m_position);
    // An empty separator would match everywhere without ever moving on: it never splits.
    const std::size_t found = m_separator.empty() ? std::wstring::npos : m_text.find(m_separator, start);
    if (found == std::wstring::npos) {
        m_position = -1;
        return start < m_text.size() ? m_text.substr(start) : std::wstring();
    }
    std::wstring token = m_text.substr(start, found - start);
    m_position = SkipSeparators(found);
    return token;
}

std::int64_t CStringTokenizer::SkipSeparators(std::size_t index) const {
    while (index < m_text.size() && m_text.compare(index, m_separator.size(), m_separator) == 0) {
        index += m_separator.size();
    }
    return index < m_text.size() ? static_cast<std::int64_t>(index) : -1;
}
