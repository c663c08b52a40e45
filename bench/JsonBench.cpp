// Parsing and serialising through the product's JSON classes beside RapidJSON used directly on the
// same text, in the same run: a per-user control-data payload as the module receives it, and a
// 1 MiB document. MB/s count the UTF-16 text's bytes; the best of five rounds is kept.
#include "modulefw/JSONFormatter.h"
#include "modulefw/JSONParser.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace {

std::wstring ControlData(int user) {
    std::wstring text = L"{\"user\":\"S-1-5-21-3623811015-3361044348-30300820-" + std::to_wstring(1001 + user) +
                        L"\",\"required\":{\"age_range\":\"9-12\",\"blocked\":[";
    const wchar_t* const categories[] = {L"Adult content", L"Gambling", L"Violence", L"Weapons", L"Drugs",
                                         L"Chat and forums", L"Social networking", L"Web mail"};
    for (int n = 0; n < 8; ++n) text += (n ? L",\"" : L"\"") + std::wstring(categories[n]) + L"\"";
    text += L"]},\"optional\":{\"blockpotential\":true,\"optionalsites\":[";
    for (int n = 0; n < 12; ++n) {
        text += (n ? L"," : L"") + std::wstring(L"{\"website\":\"www.site") + std::to_wstring(n) +
                L".example/path\",\"allowed\":" + (n % 3 ? L"true" : L"false") + L"}";
    }
    text += L"]},\"usertimes\":{\"alltimes\":false,\"schedule\":[";
    const wchar_t* const days[] = {L"Su", L"Mo", L"Tu", L"We", L"Th", L"Fr", L"Sa"};
    for (int n = 0; n < 7; ++n) {
        text += (n ? L"," : L"") + std::wstring(L"{\"day\":\"") + days[n] + L"\",\"start\":\"7:30 AM\",\"end\":\"8:00 PM\"}";
    }
    return text + L"]}}";
}

// Users' control data with numbers, escapes and non-ASCII text mixed in, up to 1 MiB of UTF-16.
std::wstring MegabyteDocument() {
    std::wstring text = L"{\"users\":[";
    for (int n = 0; text.size() * sizeof(wchar_t) < (1u << 20) - 4096; ++n) {
        text += (n ? L"," : L"") + ControlData(n);
        text += L",{\"id\":" + std::to_wstring(n * 7919) + L",\"ratio\":" + std::to_wstring(n / 7.0) +
                L",\"note\":\"Gr\u00fc\u00dfe \\\"quoted\\\" \\u2028 line\\nbreak\"}";
    }
    return text + L"]}";
}

double BestMegabytesPerSecond(std::size_t bytes, const std::function<void()>& run) {
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        int times = 0;
        const auto start = std::chrono::steady_clock::now();
        double seconds = 0;
        do {
            run();
            ++times;
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } while (seconds < 0.2);
        const double rate = static_cast<double>(bytes) * times / seconds / 1e6;
        if (rate > best) best = rate;
    }
    return best;
}

void Row(const char* what, double ours, double direct) {
    std::printf("%-44s %10.1f %10.1f %7.2f\n", what, ours, direct, ours / direct);
}

void Measure(const char* name, const std::wstring& text) {
    const std::size_t bytes = text.size() * sizeof(wchar_t);
    std::printf("\n%s: %zu bytes of UTF-16\n%-44s %10s %10s %7s\n", name, bytes, "", "MB/s", "RapidJSON", "ratio");

    const double direct = BestMegabytesPerSecond(bytes, [&] {
        NuvJson::Document document;
        document.Parse(text.c_str());
        if (document.HasParseError()) std::printf("(direct parse failed)\n");
    });
    Row("parse, JSONParser::parse", BestMegabytesPerSecond(bytes, [&] {
            Korin::JSONParser parser;
            if (!parser.parse(text)) std::printf("(parse failed)\n");
        }), direct);
    Row("parse, JSONFormatter::parse", BestMegabytesPerSecond(bytes, [&] {
            Korin::JSONFormatter formatter;
            if (!formatter.parse(text)) std::printf("(parse failed)\n");
        }), direct);

    NuvJson::Document document;
    document.Parse(text.c_str());
    Korin::JSONParser parser;
    parser.parse(text);
    Korin::JSONFormatter formatter;
    formatter.parse(text);
    const double written = BestMegabytesPerSecond(bytes, [&] {
        rapidjson::GenericStringBuffer<NuvJson::Encoding> buffer;
        rapidjson::Writer<rapidjson::GenericStringBuffer<NuvJson::Encoding>, NuvJson::Encoding, NuvJson::Encoding> writer(buffer);
        document.Accept(writer);
        std::wstring out(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
        if (out.empty()) std::printf("(nothing written)\n");
    });
    Row("serialise, JSONParser::toString", BestMegabytesPerSecond(bytes, [&] {
            if (parser.toString().empty()) std::printf("(nothing written)\n");
        }), written);
    Row("serialise, JSONFormatter::toString", BestMegabytesPerSecond(bytes, [&] {
            if (formatter.toString().empty()) std::printf("(nothing written)\n");
        }), written);
}

}  // namespace

int main() {
    Measure("control data of one user", ControlData(0));
    Measure("1 MiB document", MegabyteDocument());
    return 0;
}
