#pragma once
// The plug-in's own small JSON document (UTF-16 text over RapidJSON): parse, serialise, typed
// reads of the members of an object document, typed writes, arrays of strings and objects. The
// bus library has a larger class of the same name in Korin itself; this one lives in an inline
// namespace, so callers still write Korin::JSONParser and a program may link both classes.
//
// Reads require the document to be an object holding the key; they answer false otherwise and
// leave the out argument unchanged. Writes make the document an object (or, for the push
// operations, an array) when it is not one.

#include "nuvutil/json/JsonText.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Korin {
inline namespace Reputation {

class JSONParser {
public:
    JSONParser() = default;
    virtual ~JSONParser() = default;
    JSONParser(const JSONParser&) = delete;
    JSONParser& operator=(const JSONParser&) = delete;

    // True when the text is one JSON value and nothing else; otherwise the document stays as it was.
    virtual bool parse(const std::wstring& text);
    virtual std::wstring toString() const;
    // UTF-16LE with the byte-order mark FF FE; false when the file is null or a write failed.
    virtual bool writeToFile(std::FILE* file) const;

    virtual bool getBool(const std::wstring& key, bool& out) const;
    virtual bool getString(const std::wstring& key, std::wstring& out) const;
    virtual bool getInt(const std::wstring& key, std::int32_t& out) const;
    virtual bool getInt64(const std::wstring& key, std::int64_t& out) const;
    virtual bool getUInt(const std::wstring& key, std::uint32_t& out) const;
    virtual bool getUInt64(const std::wstring& key, std::uint64_t& out) const;
    // Only a number written with a fraction or an exponent.
    virtual bool getDouble(const std::wstring& key, double& out) const;
    virtual bool getArrayAsString(const std::wstring& key, std::wstring& out) const;
    // The document is an array: its strings, or with a member name the string member of that
    // name of each object. The first element that does not fit ends with false (what was
    // appended stays).
    virtual bool getRootStringArray(std::vector<std::wstring>& out, const std::wstring& memberName = L"") const;
    virtual bool getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName = L"") const;
    // The JSON text of each object of the array; the first non-object ends with false.
    virtual bool getRootObjectArray(std::vector<std::wstring>& out) const;
    virtual bool getObjectArray(const std::wstring& key, std::vector<std::wstring>& out) const;
    virtual bool getObjectAsString(const std::wstring& key, std::wstring& out) const;

    virtual void setBool(const std::wstring& key, bool value);
    virtual void setString(const std::wstring& key, const std::wstring& value);
    // The text parsed as the member's value; false (nothing changes) when it does not parse.
    virtual bool setJson(const std::wstring& key, const std::wstring& json);
    virtual void setInt(const std::wstring& key, std::int32_t value);
    virtual void setInt64(const std::wstring& key, std::int64_t value);
    virtual void setUInt(const std::wstring& key, std::uint32_t value);
    virtual void setUInt64(const std::wstring& key, std::uint64_t value);
    // NaN and infinities have no JSON form: nothing changes.
    virtual void setDouble(const std::wstring& key, double value);

    virtual void pushString(const std::wstring& value);
    // Appends to the array member `key` (added when missing) the string, or with a member name an
    // object {memberName: value}. False, and nothing changes, when `key` holds something else
    // than an array: its value is never thrown away.
    virtual bool appendString(const std::wstring& key, const std::wstring& value, const std::wstring& memberName = L"");
    virtual bool pushJson(const std::wstring& json);
    virtual bool appendJson(const std::wstring& key, const std::wstring& json);

    // Removes every member of an object document.
    virtual void clear();
    // False only for an object with at least one member.
    virtual bool isEmpty() const;
    // Replaces a member of that name (the last member moves into its place) and appends the new one.
    virtual void setValue(const std::wstring& name, NuvJson::Value& value);

private:
    const NuvJson::Value* Member(const std::wstring& key) const;
    NuvJson::Value& ArrayMember(const std::wstring& key, bool& isArray);
    void MakeObject();
    void MakeArray();
    NuvJson::Value Text(const std::wstring& text);

    NuvJson::Document m_document;
};

}  // namespace Reputation
}  // namespace Korin
