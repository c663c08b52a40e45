// Scrambled registry values, sealed values and the time-zone database.
#include "Targets.h"

#include "base/Digest.h"
#include "base/ObfuscatedRegKey.h"
#include "base/UniqueHandle.h"
#include "Shared/SealedRegistry.h"
#include "Shared/TimeZoneManager.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

namespace NuvFuzz {

Bytes CraftBlob(Random& random) {
    if (random.OneIn(4)) return random.RandomBytes(300);
    static const std::uint32_t kTypes[] = {REG_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_EXPAND_SZ, REG_NONE};
    const std::size_t length = random.Size(600);
    Bytes blob(32 + length);
    std::memcpy(blob.data(), "QVRG", 4);
    PutUInt32(&blob[4], random.OneIn(8) ? random.Interesting32() : 1);
    PutUInt32(&blob[8], random.OneIn(8) ? random.Interesting32() : static_cast<std::uint32_t>(length));
    PutUInt32(&blob[12], random.OneIn(6) ? random.Interesting32() : kTypes[random.Below(7)]);
    for (std::size_t n = 32; n < blob.size(); ++n) blob[n] = random.Byte();
    if (!random.OneIn(8)) Tessal::internal::ComputeDigest(blob.data(), blob.size(), &blob[16], 16);
    if (random.OneIn(5)) random.Mutate(blob);
    return blob;
}

namespace {

// bytes: the registry type (4 bytes), then the data.
void GenerateValue(Random& random, Input& input) {
    const Bytes blob = CraftBlob(random);
    input.bytes.assign(4, 0);
    PutUInt32(input.bytes.data(), random.OneIn(10) ? random.Interesting32() % 12 : REG_BINARY);
    input.bytes.insert(input.bytes.end(), blob.begin(), blob.end());
}

void StoreValue(const Scratch& scratch, const Input& input) {
    Tessal::UniqueHKey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, scratch.keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    DWORD type = 0;
    std::memcpy(&type, input.bytes.data(), 4);
    ::RegSetValueExA(key.Get(), "V", 0, type, input.bytes.data() + 4, static_cast<DWORD>(input.bytes.size() - 4));
}

int ReadScrambled(const Scratch& scratch, const Input&) {
    Tessal::CObfuscatedRegKey key;
    if (key.Open(HKEY_CURRENT_USER, scratch.keyPath.c_str(), KEY_READ) != ERROR_SUCCESS) return -1;
    DWORD type = 0;
    ULONG size = 0;
    const LONG sized = key.QueryValue(L"V", &type, nullptr, &size);
    key.QueryValue(L"V", &type, nullptr, nullptr);
    if (sized == ERROR_SUCCESS) {
        for (const ULONG capacity : {size, size / 2, ULONG{1}}) {
            Bytes buffer(capacity);
            ULONG inOut = capacity;
            key.QueryValue(L"V", &type, buffer.data(), &inOut);
        }
    }
    std::wstring text;
    key.QueryStringValue(L"V", text);
    wchar_t chars[64];
    ULONG count = 64;
    key.QueryStringBuffer(L"V", chars, &count);
    count = 64;
    key.QueryMultiStringValue(L"V", chars, &count);
    DWORD dword = 0;
    key.QueryDWORDValue(L"V", dword);
    ULONGLONG qword = 0;
    key.QueryQWORDValue(L"V", qword);
    GUID guid;
    key.QueryGUIDValue(L"V", guid);
    return static_cast<int>(sized);
}

int ReadSealed(const Scratch& scratch, const Input&) {
    int outcome = 0;
    for (const DWORD flags : {DWORD{SEALED_REG_SEALED}, DWORD{0}}) {
        DWORD type = 0, size = 0;
        const LONG sized = SealedRegReadValue(HKEY_CURRENT_USER, scratch.keyPath.c_str(), L"V", &type, nullptr, &size, flags);
        if (flags == SEALED_REG_SEALED) outcome = static_cast<int>(sized);
        if (sized != ERROR_SUCCESS && sized != ERROR_MORE_DATA) continue;
        for (const DWORD capacity : {size, size / 2, DWORD{2}}) {
            Bytes buffer(capacity);
            DWORD inOut = capacity;
            SealedRegReadValue(HKEY_CURRENT_USER, scratch.keyPath.c_str(), L"V", &type, buffer.data(), &inOut, flags);
        }
    }
    return outcome;
}

// texts: zone names; bytes: for each zone its values, as (name index, type, size, data) records.
void GenerateZones(Random& random, Input& input) {
    const std::size_t zones = 1 + random.Below(4);
    for (std::size_t n = 0; n < zones; ++n) {
        std::wstring name = random.RandomWideText(40);
        for (wchar_t& c : name) {
            if (c == L'\\' || c == 0) c = L'_';  // one key, not a path
        }
        input.texts.push_back(name.empty() ? L"Zone" : name);
    }
    const std::size_t values = random.Below(4 * zones + 1);
    for (std::size_t n = 0; n < values; ++n) {
        Bytes record(12);
        PutUInt32(&record[0], static_cast<std::uint32_t>(random.Below(zones) * 8 + random.Below(5)));
        std::uint32_t type = REG_BINARY;
        Bytes data;
        switch (random.Below(4)) {
            case 0: data = random.RandomBytes(100); break;
            case 1: data.resize(44); for (auto& b : data) b = random.Byte(); break;  // the size of a TZI
            case 2: {
                type = REG_SZ;
                const std::wstring text = random.RandomWideText(80);
                const auto* raw = reinterpret_cast<const std::uint8_t*>(text.data());
                data.assign(raw, raw + text.size() * sizeof(wchar_t));  // with or without a NUL
                if (random.OneIn(2)) data.insert(data.end(), {0, 0});
                break;
            }
            default: type = random.Interesting32() % 12; data = random.RandomBytes(16);
        }
        PutUInt32(&record[4], type);
        PutUInt32(&record[8], static_cast<std::uint32_t>(data.size()));
        record.insert(record.end(), data.begin(), data.end());
        input.bytes.insert(input.bytes.end(), record.begin(), record.end());
    }
}

std::wstring ZonesPath(const Scratch& scratch) { return scratch.keyPath + L"\\Zones"; }

void StoreZones(const Scratch& scratch, const Input& input) {
    static const wchar_t* const kNames[] = {L"TZI", L"Std", L"Dlt", L"Display", L"MUI_Std"};
    ::SHDeleteKeyW(HKEY_CURRENT_USER, ZonesPath(scratch).c_str());
    std::vector<Tessal::UniqueHKey> keys(input.texts.size());
    for (std::size_t n = 0; n < input.texts.size(); ++n) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, (ZonesPath(scratch) + L"\\" + input.texts[n]).c_str(), 0, nullptr, 0,
                          KEY_ALL_ACCESS, nullptr, keys[n].Put(), nullptr);
    }
    for (std::size_t at = 0; at + 12 <= input.bytes.size();) {
        std::uint32_t which = 0, type = 0, size = 0;
        std::memcpy(&which, &input.bytes[at], 4);
        std::memcpy(&type, &input.bytes[at + 4], 4);
        std::memcpy(&size, &input.bytes[at + 8], 4);
        at += 12;
        const std::size_t zone = which / 8;
        if (zone < keys.size() && keys[zone] && at + size <= input.bytes.size()) {
            ::RegSetValueExW(keys[zone].Get(), kNames[which % 8 % 5], 0, type, input.bytes.data() + at, size);
        }
        at += size;
    }
}

int ReadZones(const Scratch& scratch, const Input& input) {
    const CTimeZoneManager zones(HKEY_CURRENT_USER, ZonesPath(scratch).c_str());
    std::wstring local;
    zones.GetLocalTimeZone(local);
    int converted = 0;
    const SYSTEMTIME times[] = {{2026, 3, 0, 29, 1, 30, 0, 0}, {2026, 12, 4, 10, 23, 59, 59, 999}, {1601, 1, 1, 1, 0, 0, 0, 0}};
    for (const std::wstring& name : input.texts) {
        for (const SYSTEMTIME& utc : times) {
            SYSTEMTIME result = {};
            if (zones.ConvertToLocalTime(name.c_str(), &utc, &result)) ++converted;
        }
    }
    return converted;
}

}  // namespace

extern const Target kScrambledValueTarget = {"scrambled-value", "scrambled registry values (CObfuscatedRegKey)",
                                             GenerateValue, StoreValue, ReadScrambled};
extern const Target kSealedValueTarget = {"sealed-value", "sealed registry values (SealedRegReadValue)", GenerateValue,
                                          StoreValue, ReadSealed};
extern const Target kTimeZonesTarget = {"time-zones", "the time-zone database (CTimeZoneManager)", GenerateZones,
                                        StoreZones, ReadZones};

}  // namespace NuvFuzz
