// Bus payloads: the bus library's JSON parser (and the formatter beside it) on random, mutated and
// deeply nested texts, then every getter on every member that parsed, the setters that take JSON
// text, and a round trip of the serialised text.
#include "Targets.h"

#include "modulefw/JSONFormatter.h"
#include "modulefw/JSONParser.h"

#include <string>
#include <vector>

namespace NuvFuzz {
namespace {

// Fragments of real payloads, so that random joins often parse and reach the getters.
const char* const kFragments[] = {
    "{", "}", "[", "]", ",", ":", "\"user\"", "\"required\"", "\"age_range\":\"9-12\"", "\"blocked\":[\"a\",\"b\"]",
    "\"optionalsites\":[{\"website\":\"x.test\",\"allowed\":true}]", "\"alltimes\":false", "\"schedule\":[]", "null",
    "true", "false", "0", "-1", "5.0", "1e308", "1e309", "-0", "3000000000", "18446744073709551615",
    "18446744073709551616", "-9223372036854775809", "\"\\u0000\"", "\"\\ud800\"", "\"\\udc00\\ud800\"", "\"\\/\"",
    "\"a\\\"b\"", "\"\xC3\xA9\"", " ", "\t\r\n", "\"", "\\", "\"k\":", "0.1e-400",
};

std::string Payload(Random& random) {
    std::string text;
    const std::size_t fragments = random.Below(40);
    for (std::size_t n = 0; n < fragments; ++n) {
        text += random.OneIn(8) ? random.RandomText(12) : kFragments[random.Below(sizeof kFragments / sizeof kFragments[0])];
    }
    return text;
}

// A well-formed value, so that most inputs reach the getters with members of every kind.
void Value(Random& random, std::size_t depth, std::string& text) {
    static const char* const kScalars[] = {"null", "true", "false", "0", "-1", "5", "5.0", "2.5e-3", "3000000000",
                                           "-9223372036854775808", "18446744073709551615", "1e300", "\"\"",
                                           "\"x\"", "\"a\\u0000b\"", "\"\\ud83d\\ude00\"", "\"\\udc00\""};
    static const char* const kKeys[] = {"\"user\"", "\"k\"", "\"n\"", "\"website\"", "\"\"", "\"k\\u0000x\""};
    const std::size_t kind = depth >= 6 ? 0 : random.Below(4);
    if (kind <= 1) {
        text += kScalars[random.Below(sizeof kScalars / sizeof kScalars[0])];
        return;
    }
    const bool array = kind == 2;
    text += array ? '[' : '{';
    const std::size_t count = random.Below(5);
    for (std::size_t n = 0; n < count; ++n) {
        if (n != 0) text += ',';
        if (!array) {
            text += kKeys[random.Below(sizeof kKeys / sizeof kKeys[0])];
            text += ':';
        }
        Value(random, depth + 1, text);
    }
    text += array ? ']' : '}';
}

// texts[0]: the payload (bytes as UTF-16 code units, high bytes and NULs included).
void Generate(Random& random, Input& input) {
    std::string text;
    switch (random.Below(9)) {
        case 0: text = Payload(random); break;
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
            text = "{";
            Value(random, 0, text);
            text = random.OneIn(3) ? text.substr(1) : "{\"k\":" + text.substr(1) + "}";
            if (random.OneIn(4)) random.Mutate(text);
            break;
        case 1:
            text = "{\"user\":\"u\",\"required\":{\"age_range\":\"9-12\",\"blocked\":[\"c1\",\"c2\"]},"
                   "\"optional\":{\"blockpotential\":true,\"optionalsites\":[{\"website\":\"a.test\",\"allowed\":false}]},"
                   "\"usertimes\":{\"alltimes\":false,\"schedule\":[{\"day\":\"Mo\",\"start\":\"9:30 AM\",\"end\":\"1130\"}]},"
                   "\"n\":[1,-2,3000000000,2.5,null,{\"k\":[[]]}]}";
            random.Mutate(text);
            break;
        case 2: {
            // Deep nesting around the parser's limit, sometimes far past it.
            const std::size_t depth = random.OneIn(10) ? 50000 + random.Below(100000) : 200 + random.Below(120);
            const char* const open = random.OneIn(2) ? "[" : "{\"k\":";
            for (std::size_t n = 0; n < depth; ++n) text += open;
            Value(random, 0, text);
            if (!random.OneIn(4)) text += std::string(depth, open[0] == '[' ? ']' : '}');
            break;
        }
        default: text = Payload(random); random.Mutate(text); break;
    }
    std::wstring wide(text.begin(), text.end());
    // Now and then a wide character (surrogates and noncharacters among them) in place of a byte.
    for (std::size_t n = random.OneIn(4) ? 1 + random.Below(2) : 0; n > 0 && !wide.empty(); --n) {
        static const wchar_t kWide[] = {0xD800, 0xDC00, 0xFFFF, 0xFEFF, 0x00E9, 0x2028, 0x0000};
        wide[random.Below(wide.size())] = kWide[random.Below(sizeof kWide / sizeof kWide[0])];
    }
    input.texts.push_back(wide);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(wide.c_str());
    input.bytes.assign(raw, raw + wide.size() * sizeof(wchar_t));
}

void Store(const Scratch&, const Input&) {}

// Every getter on one key; none may touch a root or member of the wrong kind.
void ReadEverything(const Korin::JSONParser& parser, const std::wstring& key) {
    bool flag;
    int i;
    unsigned u;
    std::int64_t i64;
    std::uint64_t u64;
    double d;
    std::wstring text;
    std::vector<std::wstring> texts;
    std::vector<int> numbers;
    parser.getBool(key, flag);
    parser.getString(key, text);
    parser.getInt(key, i);
    parser.getUint(key, u);
    parser.getInt64(key, i64);
    parser.getUint64(key, u64);
    parser.getDouble(key, d);
    parser.getValueAsString(key, text);
    parser.getStringArray(key, texts);
    parser.getStringArray(key, texts, L"website");
    parser.getObjectArray(key, texts);
    parser.getIntArray(key, numbers);
    parser.getIntArray(key, numbers, L"k");
}

void ReadEverything(const Korin::JSONFormatter& formatter, const std::wstring& key) {
    bool flag;
    int i;
    unsigned u;
    std::int64_t i64;
    std::uint64_t u64;
    double d;
    std::wstring text;
    std::vector<std::wstring> texts;
    std::vector<Korin::JSONFormatter> objects;
    Korin::JSONFormatter object;
    formatter.getBool(key, flag);
    formatter.getString(key, text);
    formatter.getInt(key, i);
    formatter.getUint(key, u);
    formatter.getInt64(key, i64);
    formatter.getUint64(key, u64);
    formatter.getDouble(key, d);
    formatter.getStringArray(key, texts);
    formatter.getObject(key, object);
    formatter.getObjectArray(key, objects);
    for (const auto& element : objects) element.toString();
}

// The member names of an object text, read through the parser itself.
std::vector<std::wstring> Keys(const std::wstring& text) {
    std::vector<std::wstring> keys = {L"user", L"k", L"n", L""};
    NuvJson::Document document;
    if (NuvJson::Parse(document, text) && document.IsObject()) {
        for (const auto& member : document.GetObject()) keys.emplace_back(member.name.GetString(), member.name.GetStringLength());
    }
    return keys;
}

int Read(const Scratch&, const Input& input) {
    const std::wstring& text = input.texts[0];
    Korin::JSONParser parser;
    const bool parsed = parser.parse(text);
    const std::vector<std::wstring> keys = Keys(parser.toString());
    for (const std::wstring& key : keys) ReadEverything(parser, key);
    parser.isEmpty();

    // A parsed text always writes back to a text that parses to the same text.
    const std::wstring written = parser.toString();
    Korin::JSONParser again;
    if (!again.parse(written) || again.toString() != written) return kFinding;

    for (const std::wstring& key : keys) {
        std::wstring member;
        if (parser.getValueAsString(key, member)) {
            parser.setJson(key.c_str(), member.c_str());
            parser.appendJson(key.c_str(), member.c_str());
        }
        parser.appendToArray(key, L"v", L"website");
    }
    parser.setJson(L"whole", text.c_str());
    parser.appendJson(L"list", text.c_str());
    parser.setBool(L"flag", true);
    for (const std::wstring& key : Keys(parser.toString())) ReadEverything(parser, key);
    parser.clear();

    Korin::JSONFormatter formatter;
    const bool object = formatter.parse(text);
    for (const std::wstring& key : keys) ReadEverything(formatter, key);
    formatter.appendString(L"k", L"v");
    formatter.setObject(L"self", formatter);
    formatter.toString();
    return (parsed ? 1 : 0) + (object ? 2 : 0);
}

}  // namespace

extern const Target kJsonParserTarget = {"bus-json", "bus payloads (JSONParser, JSONFormatter: parse, getters, setJson)",
                                         Generate, Store, Read};

}  // namespace NuvFuzz
