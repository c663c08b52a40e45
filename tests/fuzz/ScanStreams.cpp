#include "ScanStreams.h"

#include "logging/DefaultLogBuilder.h"
#include "logging/LogManager.h"
#include "logging/Logging.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "tests/support/NullLogger.h"

#include <algorithm>
#include <cwchar>

namespace NuvFuzz {
namespace {

// The process logger stays silent: a million inputs would fill any log.
class QuietLogger : public NuvTest::NullLogger {
public:
    bool IsLevelEnabled(DWORD) override { return false; }
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return 0; }
};
QuietLogger g_quiet;
NuvTest::FixedLogBuilder g_builder(&g_quiet);

}  // namespace

void PrepareScans() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
    ETWLogging::internal::SetLogBuilder(&g_builder);
    CreateScanAlgorithms();
}

std::wstring RandomCuts(Random& random, std::size_t size) {
    std::wstring cuts;
    if (random.OneIn(20)) {
        for (std::size_t at = 1; at < size; ++at) cuts += std::to_wstring(at) + L" ";
        return cuts;
    }
    std::vector<std::size_t> offsets;
    const std::size_t count = random.Below(8);
    for (std::size_t n = 0; n < count && size > 1; ++n) offsets.push_back(1 + random.Below(size - 1));
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    for (const std::size_t at : offsets) cuts += std::to_wstring(at) + L" ";
    return cuts;
}

std::vector<std::size_t> ParseCuts(const std::wstring& text) {
    std::vector<std::size_t> cuts;
    for (const wchar_t* at = text.c_str(); *at != L'\0';) {
        wchar_t* end = nullptr;
        cuts.push_back(std::wcstoul(at, &end, 10));
        if (end == at) break;
        at = *end == L' ' ? end + 1 : end;
    }
    return cuts;
}

}  // namespace NuvFuzz
