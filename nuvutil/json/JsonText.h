#pragma once
// The JSON documents of the product DLLs: RapidJSON with UTF-16 text (wchar_t), and the one way
// they are written out: compact, by a plain RapidJSON writer. The plug-in's JSON parser and the
// bus library's JSON formatter both serialise through ToString. Users link nuv::rapidjson.

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

namespace NuvJson {

using Encoding = rapidjson::UTF16<wchar_t>;
using Document = rapidjson::GenericDocument<Encoding>;
using Value = rapidjson::GenericValue<Encoding>;

// No white space; the writer's defaults: a level stack of 32 levels (512 bytes), at most 324
// decimal places. Nothing is reported: a value the writer refuses gives what was written.
inline std::wstring ToString(const Value& value) {
    rapidjson::GenericStringBuffer<Encoding> buffer;
    rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
    value.Accept(writer);
    // The buffer counts bytes.
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

// Parses the whole text into the document (null after a failure). A NUL character is no JSON
// anywhere in a text; the reader would take it for the end and accept what came before.
inline bool Parse(Document& document, const std::wstring& text) {
    if (text.find(L'\0') != std::wstring::npos) {
        document.SetNull();
        return false;
    }
    document.Parse(text.c_str());
    return !document.HasParseError();
}

}  // namespace NuvJson
