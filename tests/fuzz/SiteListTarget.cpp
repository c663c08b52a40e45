// The allowed and blocked site lists of a user's settings: parsed from the stored text, then
// matched against the URLs the filter sees.
#include "Targets.h"

#include "plugin/core/SiteListMatch.h"
#include "plugin/core/UserSettings.h"

#include <cstring>

namespace NuvFuzz {
namespace {

std::wstring SiteWord(Random& random) {
    static const wchar_t* const kParts[] = {L"www.", L"example", L".com", L".", L":", L":8080", L"/", L"/path",
                                           L"?q=", L"http://", L"https://", L"mail", L"..", L"::", L"%", L"\u0436"};
    std::wstring word;
    const std::size_t parts = random.Below(6);
    for (std::size_t n = 0; n < parts; ++n) {
        word += random.OneIn(4) ? random.RandomWideText(20) : std::wstring(kParts[random.Below(16)]);
    }
    return word;
}

// texts[0]: the stored list; the others: URLs.
void GenerateSites(Random& random, Input& input) {
    std::wstring list;
    const std::size_t words = random.Below(10);
    for (std::size_t n = 0; n < words; ++n) {
        list += SiteWord(random);
        list += std::wstring(random.Below(3), random.OneIn(3) ? L'\t' : L' ');
    }
    if (random.OneIn(50)) list += std::wstring(70000, L'a');  // past the narrow strings' limit
    input.texts.push_back(list);
    const std::size_t urls = 1 + random.Below(4);
    for (std::size_t n = 0; n < urls; ++n) input.texts.push_back(SiteWord(random) + SiteWord(random));
    for (const std::wstring& text : input.texts) {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(text.c_str());
        input.bytes.insert(input.bytes.end(), raw, raw + (text.size() + 1) * sizeof(wchar_t));
    }
}

void StoreSites(const Scratch&, const Input&) {}

int ReadSites(const Scratch&, const Input& input) {
    CSiteList list;
    CUserSettings::ParseSiteList(input.texts[0].c_str(), list);
    int matches = 0;
    for (std::size_t n = 1; n < input.texts.size(); ++n) {
        CSafeStringW matched;
        matches += MatchSiteList(input.texts[n].c_str(), list, matched) ? 1 : 0;
    }
    return matches;
}

}  // namespace

extern const Target kSiteListTarget = {"site-lists", "site lists of the settings (ParseSiteList, MatchSiteList)",
                                       GenerateSites, StoreSites, ReadSites};

}  // namespace NuvFuzz
