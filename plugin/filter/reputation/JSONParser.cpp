#include "plugin/filter/reputation/JSONParser.h"

namespace Korin {
inline namespace Reputation {
namespace {

using NuvJson::Value;

bool StringArray(const Value& array, std::vector<std::wstring>& out, const std::wstring& memberName) {
    if (!array.IsArray()) return false;
    for (const Value& element : array.GetArray()) {
        const Value* text = &element;
        if (!memberName.empty()) {
            if (!element.IsObject()) return false;
            const auto member = element.FindMember(Value(rapidjson::StringRef(memberName.c_str(), memberName.size())));
            if (member == element.MemberEnd()) return false;
            text = &member->value;
        }
        if (!text->IsString()) return false;
        out.emplace_back(text->GetString(), text->GetStringLength());
    }
    return true;
}

bool ObjectArray(const Value& array, std::vector<std::wstring>& out) {
    if (!array.IsArray()) return false;
    for (const Value& element : array.GetArray()) {
        if (!element.IsObject()) return false;
        out.push_back(NuvJson::ToString(element));
    }
    return true;
}

}  // namespace

bool JSONParser::parse(const std::wstring& text) {
    return NuvJson::Parse(m_document, text);
}

std::wstring JSONParser::toString() const { return NuvJson::ToString(m_document); }

bool JSONParser::writeToFile(std::FILE* file) const { return NuvJson::WriteFile(m_document, file); }

const Value* JSONParser::Member(const std::wstring& key) const {
    if (!m_document.IsObject()) return nullptr;
    const auto member = m_document.FindMember(Value(rapidjson::StringRef(key.c_str(), key.size())));
    return member == m_document.MemberEnd() ? nullptr : &member->value;
}

bool JSONParser::getBool(const std::wstring& key, bool& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsBool()) return false;
    out = value->GetBool();
    return true;
}

bool JSONParser::getString(const std::wstring& key, std::wstring& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsString()) return false;
    out.assign(value->GetString(), value->GetStringLength());
    return true;
}

bool JSONParser::getInt(const std::wstring& key, std::int32_t& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsInt()) return false;
    out = value->GetInt();
    return true;
}

bool JSONParser::getInt64(const std::wstring& key, std::int64_t& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsInt64()) return false;
    out = value->GetInt64();
    return true;
}

bool JSONParser::getUInt(const std::wstring& key, std::uint32_t& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsUint()) return false;
    out = value->GetUint();
    return true;
}

bool JSONParser::getUInt64(const std::wstring& key, std::uint64_t& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsUint64()) return false;
    out = value->GetUint64();
    return true;
}

bool JSONParser::getDouble(const std::wstring& key, double& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsDouble()) return false;
    out = value->GetDouble();
    return true;
}

bool JSONParser::getArrayAsString(const std::wstring& key, std::wstring& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsArray()) return false;
    out = NuvJson::ToString(*value);
    return true;
}

bool JSONParser::getRootStringArray(std::vector<std::wstring>& out, const std::wstring& memberName) const {
    return StringArray(m_document, out, memberName);
}

bool JSONParser::getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName) const {
    const Value* value = Member(key);
    return value != nullptr && StringArray(*value, out, memberName);
}

bool JSONParser::getRootObjectArray(std::vector<std::wstring>& out) const { return ObjectArray(m_document, out); }

bool JSONParser::getObjectArray(const std::wstring& key, std::vector<std::wstring>& out) const {
    const Value* value = Member(key);
    return value != nullptr && ObjectArray(*value, out);
}

bool JSONParser::getObjectAsString(const std::wstring& key, std::wstring& out) const {
    const Value* value = Member(key);
    if (value == nullptr || !value->IsObject()) return false;
    out = NuvJson::ToString(*value);
    return true;
}

Value JSONParser::Text(const std::wstring& text) {
    return Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), m_document.GetAllocator());
}

void JSONParser::MakeObject() {
    if (!m_document.IsObject()) m_document.SetObject();
}

void JSONParser::MakeArray() {
    if (!m_document.IsArray()) m_document.SetArray();
}

void JSONParser::setValue(const std::wstring& name, Value& value) {
    MakeObject();
    const auto member = m_document.FindMember(Value(rapidjson::StringRef(name.c_str(), name.size())));
    if (member != m_document.MemberEnd()) m_document.RemoveMember(member);
    m_document.AddMember(Text(name), value, m_document.GetAllocator());
}

void JSONParser::setBool(const std::wstring& key, bool flag) {
    Value value(flag);
    setValue(key, value);
}

void JSONParser::setString(const std::wstring& key, const std::wstring& text) {
    Value value = Text(text);
    setValue(key, value);
}

bool JSONParser::setJson(const std::wstring& key, const std::wstring& json) {
    NuvJson::Document parsed;
    if (!NuvJson::Parse(parsed, json)) return false;
    Value value(parsed, m_document.GetAllocator());
    setValue(key, value);
    return true;
}

void JSONParser::setInt(const std::wstring& key, std::int32_t number) {
    Value value(number);
    setValue(key, value);
}

void JSONParser::setInt64(const std::wstring& key, std::int64_t number) {
    Value value(number);
    setValue(key, value);
}

void JSONParser::setUInt(const std::wstring& key, std::uint32_t number) {
    Value value(number);
    setValue(key, value);
}

void JSONParser::setUInt64(const std::wstring& key, std::uint64_t number) {
    Value value(number);
    setValue(key, value);
}

void JSONParser::setDouble(const std::wstring& key, double number) {
    if (!NuvJson::IsWritable(number)) return;
    Value value(number);
    setValue(key, value);
}

void JSONParser::pushString(const std::wstring& text) {
    MakeArray();
    m_document.PushBack(Text(text), m_document.GetAllocator());
}

Value& JSONParser::ArrayMember(const std::wstring& key, bool& isArray) {
    MakeObject();
    auto member = m_document.FindMember(Value(rapidjson::StringRef(key.c_str(), key.size())));
    if (member == m_document.MemberEnd()) {
        m_document.AddMember(Text(key), Value(rapidjson::kArrayType), m_document.GetAllocator());
        member = m_document.MemberEnd() - 1;
    }
    isArray = member->value.IsArray();
    return member->value;
}

bool JSONParser::appendString(const std::wstring& key, const std::wstring& text, const std::wstring& memberName) {
    bool isArray = false;
    Value& array = ArrayMember(key, isArray);
    if (!isArray) return false;
    if (memberName.empty()) {
        array.PushBack(Text(text), m_document.GetAllocator());
    } else {
        Value object(rapidjson::kObjectType);
        object.AddMember(Text(memberName), Text(text), m_document.GetAllocator());
        array.PushBack(object, m_document.GetAllocator());
    }
    return true;
}

bool JSONParser::pushJson(const std::wstring& json) {
    NuvJson::Document parsed;
    if (!NuvJson::Parse(parsed, json)) return false;
    MakeArray();
    m_document.PushBack(Value(parsed, m_document.GetAllocator()), m_document.GetAllocator());
    return true;
}

bool JSONParser::appendJson(const std::wstring& key, const std::wstring& json) {
    NuvJson::Document parsed;
    if (!NuvJson::Parse(parsed, json)) return false;
    bool isArray = false;
    Value& array = ArrayMember(key, isArray);
    if (!isArray) return false;
    array.PushBack(Value(parsed, m_document.GetAllocator()), m_document.GetAllocator());
    return true;
}

void JSONParser::clear() {
    if (m_document.IsObject()) m_document.RemoveAllMembers();
}

bool JSONParser::isEmpty() const { return !(m_document.IsObject() && m_document.MemberCount() != 0); }

}  // namespace Reputation
}  // namespace Korin
