#include "modulefw/JSONFormatter.h"

#include <cwchar>

namespace Korin {
namespace {

using NuvJson::kParseStack;
using NuvJson::Value;

}  // namespace

JSONFormatter::JSONFormatter() : m_document(rapidjson::kObjectType, nullptr, kParseStack) {}

JSONFormatter::JSONFormatter(const JSONFormatter& other) : m_document(rapidjson::kObjectType, nullptr, kParseStack) {
    m_document.CopyFrom(other.m_document, m_document.GetAllocator());
}

JSONFormatter& JSONFormatter::operator=(const JSONFormatter& other) {
    if (this != &other) {
        NuvJson::Document copy(rapidjson::kObjectType, nullptr, kParseStack);
        copy.CopyFrom(other.m_document, copy.GetAllocator());
        // Takes the copy's pool too; the old one goes with `copy`.
        m_document.Swap(copy);
    }
    return *this;
}

JSONFormatter::~JSONFormatter() = default;

bool JSONFormatter::parse(const std::wstring& text) {
    return NuvJson::Parse(m_document, text) && m_document.IsObject();
}

std::wstring JSONFormatter::toString() const { return NuvJson::ToString(m_document); }

const Value* JSONFormatter::member(const std::wstring& key) const {
    return NuvJson::FindMember(m_document, key.c_str(), std::wcslen(key.c_str()));
}

bool JSONFormatter::getString(const std::wstring& key, std::wstring& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsString()) return false;
    out.assign(value->GetString(), value->GetStringLength());
    return true;
}

bool JSONFormatter::getBool(const std::wstring& key, bool& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsBool()) return false;
    out = value->GetBool();
    return true;
}

bool JSONFormatter::getInt(const std::wstring& key, int& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsInt()) return false;
    out = value->GetInt();
    return true;
}

bool JSONFormatter::getUint(const std::wstring& key, unsigned& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsUint()) return false;
    out = value->GetUint();
    return true;
}

bool JSONFormatter::getInt64(const std::wstring& key, std::int64_t& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsInt64()) return false;
    out = value->GetInt64();
    return true;
}

bool JSONFormatter::getUint64(const std::wstring& key, std::uint64_t& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsUint64()) return false;
    out = value->GetUint64();
    return true;
}

bool JSONFormatter::getDouble(const std::wstring& key, double& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsDouble()) return false;
    out = value->GetDouble();
    return true;
}

bool JSONFormatter::getStringArray(const std::wstring& key, std::vector<std::wstring>& out) const {
    if (!m_document.IsObject()) return false;
    const Value* value = member(key);
    if (value == nullptr) return true;
    if (!value->IsArray()) return false;
    for (const Value& element : value->GetArray()) {
        if (!element.IsString()) return false;
        out.emplace_back(element.GetString());
    }
    return true;
}

bool JSONFormatter::getObject(const std::wstring& key, JSONFormatter& out) const {
    const Value* value = member(key);
    if (value == nullptr || !value->IsObject()) return false;
    // Copied aside first: `out` may be this formatter and `value` inside its root.
    Value copy(*value, out.allocator());
    static_cast<Value&>(out.m_document) = copy;
    return true;
}

bool JSONFormatter::getObjectArray(const std::wstring& key, std::vector<JSONFormatter>& out) const {
    if (!m_document.IsObject()) return false;
    const Value* value = member(key);
    if (value == nullptr) return true;
    if (!value->IsArray()) return false;
    for (const Value& element : value->GetArray()) {
        if (!element.IsObject()) return false;
        JSONFormatter formatter;
        formatter.m_document.CopyFrom(element, formatter.allocator());
        out.push_back(formatter);
    }
    return true;
}

void JSONFormatter::setMember(Value& name, Value& value) { NuvJson::SetMember(m_document, name, value, allocator()); }

void JSONFormatter::set(const std::wstring& key, Value& value) {
    if (!m_document.IsObject()) return;
    Value name = NuvJson::TextValue(key.c_str(), allocator());
    setMember(name, value);
}

void JSONFormatter::append(const std::wstring& key, Value& value) {
    if (!m_document.IsObject()) return;
    Value* array = NuvJson::FindMember(m_document, key.c_str(), std::wcslen(key.c_str()));
    if (array == nullptr) {
        m_document.AddMember(NuvJson::TextValue(key.c_str(), allocator()), Value(rapidjson::kArrayType), allocator());
        array = &(m_document.MemberEnd() - 1)->value;
    }
    if (!array->IsArray()) return;
    array->PushBack(value, allocator());
}

void JSONFormatter::setString(const std::wstring& key, const std::wstring& text) {
    Value value(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator());
    set(key, value);
}

void JSONFormatter::setBool(const std::wstring& key, bool flag) {
    Value value(flag);
    set(key, value);
}

void JSONFormatter::setInt(const std::wstring& key, int number) {
    Value value(number);
    set(key, value);
}

void JSONFormatter::setUint(const std::wstring& key, unsigned number) {
    Value value(number);
    set(key, value);
}

void JSONFormatter::setInt64(const std::wstring& key, std::int64_t number) {
    Value value(number);
    set(key, value);
}

void JSONFormatter::setUint64(const std::wstring& key, std::uint64_t number) {
    Value value(number);
    set(key, value);
}

void JSONFormatter::setDouble(const std::wstring& key, double number) {
    if (!NuvJson::IsWritable(number)) return;
    Value value(number);
    set(key, value);
}

void JSONFormatter::setStringArray(const std::wstring& key, const std::vector<std::wstring>& texts) {
    if (!m_document.IsObject()) return;
    Value array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(texts.size()), allocator());
    for (const std::wstring& text : texts) array.PushBack(NuvJson::TextValue(text.c_str(), allocator()), allocator());
    set(key, array);
}

void JSONFormatter::appendString(const std::wstring& key, const std::wstring& text) {
    Value value = NuvJson::TextValue(text.c_str(), allocator());
    append(key, value);
}

void JSONFormatter::setObject(const std::wstring& key, const JSONFormatter& object) {
    Value value(object.m_document, allocator());
    set(key, value);
}

void JSONFormatter::setObjectArray(const std::wstring& key, const std::vector<JSONFormatter>& objects) {
    if (!m_document.IsObject()) return;
    Value array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(objects.size()), allocator());
    for (const JSONFormatter& object : objects) array.PushBack(Value(object.m_document, allocator()), allocator());
    set(key, array);
}

void JSONFormatter::appendObject(const std::wstring& key, const JSONFormatter& object) {
    Value value(object.m_document, allocator());
    append(key, value);
}

}  // namespace Korin
