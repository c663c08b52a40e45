#include "nuvutil/json/JsonText.h"

#include <cstring>

namespace NuvJson {
namespace {

constexpr std::size_t kBlock = 256;
const unsigned char kByteOrderMark[] = {0xFF, 0xFE};

}  // namespace

bool WriteFile(const Value& value, std::FILE* file) {
    if (file == nullptr) return false;
    std::wstring text;
    if (!ToString(value, text)) return false;
    if (std::fwrite(kByteOrderMark, 1, sizeof kByteOrderMark, file) != sizeof kByteOrderMark) return false;
    // wchar_t is UTF-16LE on every Windows target.
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size() * sizeof(wchar_t);
    for (std::size_t at = 0; at < size; at += kBlock) {
        const std::size_t count = size - at < kBlock ? size - at : kBlock;
        if (std::fwrite(bytes + at, 1, count, file) != count) return false;
    }
    return std::fflush(file) == 0;
}

bool ParseFile(Document& document, std::FILE* file) {
    if (file == nullptr) return false;
    std::string bytes;
    unsigned char block[kBlock];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) != 0;) {
        bytes.append(reinterpret_cast<const char*>(block), n);
    }
    if (std::ferror(file) != 0 || bytes.size() % 2 != 0) return false;
    std::size_t at = 0;
    if (bytes.size() >= 2 && std::memcmp(bytes.data(), kByteOrderMark, 2) == 0) at = 2;
    std::wstring text((bytes.size() - at) / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data() + at, text.size() * sizeof(wchar_t));
    return Parse(document, text);
}

}  // namespace NuvJson
