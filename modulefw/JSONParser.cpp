#include "modulefw/JSONParser.h"

#include <cwchar>

namespace Korin {
namespace {

using NuvJson::kParseStack;
using NuvJson::Value;

bool Empty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

// The element itself, or with a member name the member of that name of an object element.
const Value* Element(const Value& element, const wchar_t* memberName) {
    if (Empty(memberName)) return &element;
    return NuvJson::FindMember(element, memberName, std::wcslen(memberName));
}

}  // namespace

JSONParser::JSONParser() : m_document(std::make_shared<NuvJson::Document>(nullptr, kParseStack)) {}

JSONParser::~JSONParser() = default;

bool JSONParser::parse(const std::wstring& text) { return parse(text.c_str()); }

bool JSONParser::parse(const wchar_t* text) { return NuvJson::Parse(*m_document, text); }

bool JSONParser::parseFile(std::FILE* stream) { return NuvJson::ParseFile(*m_document, stream); }

std::wstring JSONParser::toString() const { return NuvJson::ToString(*m_document); }

bool JSONParser::writeFile(std::FILE* stream) const { return NuvJson::WriteFile(*m_document, stream); }

const Value* JSONParser::member(const wchar_t* key) const {
    if (key == nullptr) return nullptr;
    return NuvJson::FindMember(*m_document, key, std::wcslen(key));
}

bool JSONParser::getBool(const std::wstring& key, bool& out) const { return getBool(key.c_str(), out); }

bool JSONParser::getBool(const wchar_t* key, bool& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsBool()) return false;
    out = value->GetBool();
    return true;
}

bool JSONParser::getString(const std::wstring& key, std::wstring& out) const { return getString(key.c_str(), out); }

bool JSONParser::getString(const wchar_t* key, std::wstring& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsString()) return false;
    out = value->GetString();
    return true;
}

bool JSONParser::getInt(const std::wstring& key, int& out) const { return getInt(key.c_str(), out); }

bool JSONParser::getInt(const wchar_t* key, int& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsInt()) return false;
    out = value->GetInt();
    return true;
}

bool JSONParser::getInt64(const std::wstring& key, std::int64_t& out) const { return getInt64(key.c_str(), out); }

bool JSONParser::getInt64(const wchar_t* key, std::int64_t& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsInt64()) return false;
    out = value->GetInt64();
    return true;
}

bool JSONParser::getUint(const std::wstring& key, unsigned& out) const { return getUint(key.c_str(), out); }

bool JSONParser::getUint(const wchar_t* key, unsigned& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsUint()) return false;
    out = value->GetUint();
    return true;
}

bool JSONParser::getUint64(const std::wstring& key, std::uint64_t& out) const { return getUint64(key.c_str(), out); }

bool JSONParser::getUint64(const wchar_t* key, std::uint64_t& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsUint64()) return false;
    out = value->GetUint64();
    return true;
}

bool JSONParser::getDouble(const std::wstring& key, double& out) const { return getDouble(key.c_str(), out); }

bool JSONParser::getDouble(const wchar_t* key, double& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsDouble()) return false;
    out = value->GetDouble();
    return true;
}

bool JSONParser::getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName) const {
    return getStringArray(key.c_str(), out, memberName.c_str());
}

bool JSONParser::getStringArray(const wchar_t* key, std::vector<std::wstring>& out, const wchar_t* memberName) const {
    const Value* array = member(key);
    if (array == nullptr || !array->IsArray()) return false;
    for (const Value& element : array->GetArray()) {
        const Value* text = Element(element, memberName);
        if (text == nullptr || !text->IsString()) return false;
        out.emplace_back(text->GetString());
    }
    return true;
}

bool JSONParser::getObjectArray(const std::wstring& key, std::vector<std::wstring>& out) const {
    return getObjectArray(key.c_str(), out);
}

bool JSONParser::getObjectArray(const wchar_t* key, std::vector<std::wstring>& out) const {
    const Value* array = member(key);
    if (array == nullptr || !array->IsArray()) return false;
    for (const Value& element : array->GetArray()) {
        if (!element.IsObject()) return false;
        // Rebuilt through the setters, so the text reads as any document this class writes.
        JSONParser object;
        // {} stays {}, not the null of a parser nothing was set on.
        object.m_document->SetObject();
        for (const auto& entry : element.GetObject()) {
            const wchar_t* name = entry.name.GetString();
            if (entry.value.IsString()) {
                object.setString(name, entry.value.GetString());
            } else {
                object.setJson(name, NuvJson::ToString(entry.value).c_str());
            }
        }
        out.push_back(object.toString());
    }
    return true;
}

bool JSONParser::getIntArray(const std::wstring& key, std::vector<int>& out, const std::wstring& memberName) const {
    return getIntArray(key.c_str(), out, memberName.c_str());
}

bool JSONParser::getIntArray(const wchar_t* key, std::vector<int>& out, const wchar_t* memberName) const {
    const Value* array = member(key);
    if (array == nullptr || !array->IsArray()) return false;
    for (const Value& element : array->GetArray()) {
        const Value* number = Element(element, memberName);
        if (number == nullptr || !number->IsInt()) return false;
        out.push_back(number->GetInt());
    }
    return true;
}

bool JSONParser::getValueAsString(const std::wstring& key, std::wstring& out) const {
    return getValueAsString(key.c_str(), out);
}

bool JSONParser::getValueAsString(const wchar_t* key, std::wstring& out) const {
    const Value* value = member(key);
    if (value == nullptr) return false;
    if (value->IsNull()) {
        out.clear();
    } else if (value->IsString()) {
        out = value->GetString();
    } else {
        out = NuvJson::ToString(*value);
    }
    return true;
}

void JSONParser::setMember(Value& name, Value& value) {
    if (!m_document->IsObject()) m_document->SetObject();
    NuvJson::SetMember(*m_document, name, value, allocator());
}

void JSONParser::appendValue(Value& name, Value& value) {
    if (!m_document->IsObject()) m_document->SetObject();
    Value* array = NuvJson::FindMember(*m_document, name.GetString(), name.GetStringLength());
    if (array == nullptr) {
        m_document->AddMember(name, Value(rapidjson::kArrayType), allocator());
        array = &(m_document->MemberEnd() - 1)->value;
    }
    // A member of another kind keeps its value.
    if (!array->IsArray()) return;
    array->PushBack(value, allocator());
}

void JSONParser::setBool(const std::wstring& key, bool flag) { setBool(key.c_str(), flag); }

void JSONParser::setBool(const wchar_t* key, bool flag) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(flag);
    setMember(name, value);
}

void JSONParser::setString(const std::wstring& key, const std::wstring& text) { setString(key.c_str(), text.c_str()); }

void JSONParser::setString(const std::wstring& key, const wchar_t* text) { setString(key.c_str(), text); }

void JSONParser::setString(const wchar_t* key, const std::wstring& text) { setString(key, text.c_str()); }

void JSONParser::setString(const wchar_t* key, const wchar_t* text) {
    if (key == nullptr || text == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value = NuvJson::TextValue(text, allocator());
    setMember(name, value);
}

void JSONParser::setInt(const std::wstring& key, int number) { setInt(key.c_str(), number); }

void JSONParser::setInt(const wchar_t* key, int number) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(number);
    setMember(name, value);
}

void JSONParser::setInt64(const std::wstring& key, std::int64_t number) { setInt64(key.c_str(), number); }

void JSONParser::setInt64(const wchar_t* key, std::int64_t number) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(number);
    setMember(name, value);
}

void JSONParser::setUint(const std::wstring& key, unsigned number) { setUint(key.c_str(), number); }

void JSONParser::setUint(const wchar_t* key, unsigned number) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(number);
    setMember(name, value);
}

void JSONParser::setUint64(const std::wstring& key, std::uint64_t number) { setUint64(key.c_str(), number); }

void JSONParser::setUint64(const wchar_t* key, std::uint64_t number) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(number);
    setMember(name, value);
}

void JSONParser::setDouble(const std::wstring& key, double number) { setDouble(key.c_str(), number); }

void JSONParser::setDouble(const wchar_t* key, double number) {
    if (key == nullptr || !NuvJson::IsWritable(number)) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value(number);
    setMember(name, value);
}

void JSONParser::setIntArray(const std::wstring& key, const std::vector<int>& numbers) { setIntArray(key.c_str(), numbers); }

void JSONParser::setIntArray(const wchar_t* key, const std::vector<int>& numbers) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(numbers.size()), allocator());
    for (const int number : numbers) array.PushBack(number, allocator());
    setMember(name, array);
}

void JSONParser::setStringArray(const std::wstring& key, const std::vector<std::wstring>& texts) {
    setStringArray(key.c_str(), texts);
}

void JSONParser::setStringArray(const wchar_t* key, const std::vector<std::wstring>& texts) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(texts.size()), allocator());
    for (const std::wstring& text : texts) array.PushBack(NuvJson::TextValue(text.c_str(), allocator()), allocator());
    setMember(name, array);
}

void JSONParser::setStringArray(const wchar_t* key, const std::vector<const wchar_t*>& texts) {
    if (key == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value array(rapidjson::kArrayType);
    for (const wchar_t* text : texts) {
        if (text != nullptr) array.PushBack(NuvJson::TextValue(text, allocator()), allocator());
    }
    setMember(name, array);
}

void JSONParser::appendToArray(const std::wstring& key, const std::wstring& text, const std::wstring& memberName) {
    appendToArray(key.c_str(), text.c_str(), memberName.c_str());
}

void JSONParser::appendToArray(const wchar_t* key, const wchar_t* text, const wchar_t* memberName) {
    if (key == nullptr || text == nullptr) return;
    Value name = NuvJson::TextValue(key, allocator());
    Value value = NuvJson::TextValue(text, allocator());
    if (!Empty(memberName)) {
        Value object(rapidjson::kObjectType);
        object.AddMember(NuvJson::TextValue(memberName, allocator()), value, allocator());
        value = object;
    }
    appendValue(name, value);
}

void JSONParser::setJson(const wchar_t* key, const wchar_t* jsonText) {
    if (key == nullptr) return;
    // Parsed straight into this document's pool: the value moves in without a copy.
    NuvJson::Document parsed(&allocator(), kParseStack);
    if (!NuvJson::Parse(parsed, jsonText)) return;
    Value name = NuvJson::TextValue(key, allocator());
    setMember(name, parsed);
}

void JSONParser::appendJson(const wchar_t* key, const wchar_t* jsonText) {
    if (key == nullptr) return;
    NuvJson::Document parsed(&allocator(), kParseStack);
    if (!NuvJson::Parse(parsed, jsonText)) return;
    Value name = NuvJson::TextValue(key, allocator());
    appendValue(name, parsed);
}

void JSONParser::clear() {
    if (m_document->IsObject()) m_document->RemoveAllMembers();
}

bool JSONParser::isEmpty() const { return !(m_document->IsObject() && m_document->MemberCount() != 0); }

}  // namespace Korin
