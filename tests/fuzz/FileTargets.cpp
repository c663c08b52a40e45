// Ini files, plain and scrambled, and the logger's "log.ini" files.
#include "Targets.h"

#include "base/Digest.h"
#include "base/FileSystem.h"
#include "base/ObfuscatedIniReader.h"
#include "base/TextConversion.h"
#include "logging/FileLogging.h"
#include "tests/logging/LoggingTestSupport.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace NuvFuzz {
namespace {

// What WritePrivateProfileStruct writes: the bytes in hexadecimal, then their sum modulo 256.
std::string ProfileStruct(const Bytes& bytes) {
    std::string text;
    unsigned sum = 0;
    char pair[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02X", byte);
        text += pair;
        sum += byte;
    }
    std::snprintf(pair, sizeof(pair), "%02X", sum & 0xFF);
    return text + pair;
}

// A scrambled entry ("_key" header line and "key" data line) whose digest is right unless the
// generator decides otherwise; the header's length and type fields may lie.
std::string ScrambledEntry(Random& random, const std::string& key) {
    const Bytes data = random.RandomBytes(random.OneIn(3) ? 4 : 200);
    Bytes header(36, 0);
    std::memcpy(header.data(), "QVRG", 4);
    PutUInt32(&header[4], random.OneIn(8) ? random.Interesting32() : 1);
    PutUInt32(&header[8], random.OneIn(6) ? random.Interesting32() : static_cast<std::uint32_t>(data.size()));
    PutUInt32(&header[12], random.OneIn(4) ? random.Interesting32() : (random.OneIn(2) ? 1 : 4));
    PutUInt32(&header[16], random.OneIn(8) ? 0 : 1);
    if (!random.OneIn(8)) Tessal::internal::ComputeDigest(data.data(), data.size(), &header[20], 16);
    return "_" + key + "=" + ProfileStruct(header) + "\r\n" + key + "=" + ProfileStruct(data) + "\r\n";
}

std::string IniText(Random& random, const std::vector<std::string>& keys) {
    std::string text;
    const std::size_t lines = random.Below(12);
    for (std::size_t n = 0; n < lines; ++n) {
        switch (random.Below(6)) {
            case 0: text += "[" + (random.OneIn(2) ? std::string("Config") : random.RandomText(20)) + "]\r\n"; break;
            case 1: text += random.RandomText(120) + (random.OneIn(4) ? "\n" : "\r\n"); break;
            case 2: text += keys[random.Below(keys.size())] + "=" + std::to_string(static_cast<int>(random.Interesting32())) + "\r\n"; break;
            default: text += ScrambledEntry(random, random.OneIn(4) ? random.RandomText(12) : keys[random.Below(keys.size())]);
        }
    }
    if (random.OneIn(4)) random.Mutate(text);
    return text;
}

void WriteFileBytes(const std::wstring& path, const std::string& text) {
    FILE* file = ::_wfopen(path.c_str(), L"wb");
    if (file == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

const std::vector<std::string> kIniKeys = {"Enable", "Name", "Severity", "LastLogIdx", "MaxSize", "Options"};

void GenerateIni(Random& random, Input& input) {
    const std::string text = "[Config]\r\n" + IniText(random, kIniKeys);
    input.bytes.assign(text.begin(), text.end());
}

std::wstring IniPath(const Scratch& scratch) { return scratch.folder + L"\\fuzz.ini"; }

void StoreIni(const Scratch& scratch, const Input& input) {
    WriteFileBytes(IniPath(scratch), std::string(input.bytes.begin(), input.bytes.end()));
}

int ReadIni(const Scratch& scratch, const Input&) {
    Tessal::CObfuscatedIniReader reader;
    if (!reader.Load(IniPath(scratch))) return -1;
    std::map<std::wstring, std::wstring> values;
    reader.GetSectionValues(L"Config", values);
    int found = 0;
    for (const auto& key : kIniKeys) {
        const std::wstring name = Tessal::FromThreadAnsi(key);
        int number = 0;
        std::wstring text;
        found += reader.GetValue(L"Config", name, number) ? 1 : 0;
        found += reader.GetStringValue(L"Config", name, text) ? 1 : 0;
        reader.LookupIntValue(L"Config." + name, number);
    }
    for (const auto& entry : values) {
        int number = 0;
        reader.LookupIntValue(L"Config." + entry.first, number);
    }
    return found;
}

// The logger's folder and root "log.ini", below a data root of the scratch folder.
const std::vector<std::string> kLogKeys = {"Enable", "Severity", "Options", "MaxSize", "MaxEntries", "LastLogIdx"};

void GenerateLogIni(Random& random, Input& input) {
    const std::string folderIni = "[Config]\r\n" + IniText(random, kLogKeys);
    const std::string rootIni = random.OneIn(2) ? "[Config]\r\n" + IniText(random, kLogKeys) : std::string();
    input.texts = {Tessal::FromThreadAnsi(folderIni), Tessal::FromThreadAnsi(rootIni)};
    input.bytes.assign(folderIni.begin(), folderIni.end());
    input.bytes.push_back(0);
    input.bytes.insert(input.bytes.end(), rootIni.begin(), rootIni.end());
}

std::wstring LogRoot(const Scratch& scratch) { return scratch.folder + L"\\data\\Oberix\\QVLOGS"; }

void StoreLogIni(const Scratch& scratch, const Input& input) {
    Tessal::RemoveDirectoryTree((scratch.folder + L"\\data").c_str());
    const std::wstring folder = LogRoot(scratch) + L"\\FuzzComp\\nuv_fuzz";
    Tessal::CreateDirectoryPath(folder.c_str());
    const auto nul = std::find(input.bytes.begin(), input.bytes.end(), 0);
    WriteFileBytes(folder + L"\\log.ini", std::string(input.bytes.begin(), nul));
    if (nul != input.bytes.end() && nul + 1 != input.bytes.end()) {
        WriteFileBytes(LogRoot(scratch) + L"\\log.ini", std::string(nul + 1, input.bytes.end()));
    }
}

int ReadLogIni(const Scratch& scratch, const Input&) {
    NuvTest::FakeEnvironment environment;
    environment.dataRoot = scratch.folder + L"\\data";
    NuvTest::ScopedEnvironment scope(&environment);
    ETWLogging::CLogging logger;
    if (logger.Initialize(L"FuzzComp", ::GetModuleHandleW(nullptr), nullptr, nullptr) != 0) return -1;
    const std::wstring line(300, L'x');
    int written = 0;
    for (DWORD level = 0; level < 7; ++level) {
        written += logger.LogText(L"C:\\src\\fuzz.cpp", L"Fuzz", 1, level, line.c_str()) == 0 ? 1 : 0;
    }
    return written;
}

}  // namespace

extern const Target kIniTarget = {"ini", "plain and scrambled ini files (CObfuscatedIniReader)", GenerateIni, StoreIni,
                                  ReadIni};
extern const Target kLogIniTarget = {"log-ini", "the file logger's log.ini files (CLogging)", GenerateLogIni,
                                     StoreLogIni, ReadLogIni};

}  // namespace NuvFuzz
