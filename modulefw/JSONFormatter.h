#pragma once
// The bus library's writable JSON document: a UTF-16 JSON object filled with typed members,
// nested objects and arrays, turned into text, filled from text and read back through typed
// getters. The settings-manager client builds its requests and reads its replies with it.
//
// Keys are taken up to their first NUL character and compared exactly. Getters leave `out`
// untouched whenever they answer false. Once a parse has left a root that is no object, getters
// answer false and setters and appends do nothing; an append onto a member that is no array does
// nothing either.

#include "nuvutil/json/JsonText.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Korin {

class JSONFormatter {
public:
    // The root is an empty object.
    JSONFormatter();
    // Deep copies: the two formatters share no memory.
    JSONFormatter(const JSONFormatter& other);
    JSONFormatter& operator=(const JSONFormatter& other);
    virtual ~JSONFormatter();

    // True only when the text parses and its root is an object. A text that does not parse leaves
    // the document as it was; one that does replaces the root, whatever its kind.
    virtual bool parse(const std::wstring& text);
    virtual std::wstring toString() const;

    // The whole stored text, NUL characters included.
    virtual bool getString(const std::wstring& key, std::wstring& out) const;
    virtual bool getBool(const std::wstring& key, bool& out) const;
    virtual bool getInt(const std::wstring& key, int& out) const;
    virtual bool getUint(const std::wstring& key, unsigned& out) const;
    virtual bool getInt64(const std::wstring& key, std::int64_t& out) const;
    virtual bool getUint64(const std::wstring& key, std::uint64_t& out) const;
    // Only a floating-point number: an integral one (5, not 5.0) is refused.
    virtual bool getDouble(const std::wstring& key, double& out) const;
    // A missing member counts as an empty array (true). Each string is appended up to its first
    // NUL; the first element of another kind ends with false, what was appended stays.
    virtual bool getStringArray(const std::wstring& key, std::vector<std::wstring>& out) const;
    virtual bool getObject(const std::wstring& key, JSONFormatter& out) const;
    // As getStringArray, one formatter per object.
    virtual bool getObjectArray(const std::wstring& key, std::vector<JSONFormatter>& out) const;

    virtual void setString(const std::wstring& key, const std::wstring& value);
    virtual void setBool(const std::wstring& key, bool value);
    virtual void setInt(const std::wstring& key, int value);
    virtual void setUint(const std::wstring& key, unsigned value);
    virtual void setInt64(const std::wstring& key, std::int64_t value);
    virtual void setUint64(const std::wstring& key, std::uint64_t value);
    // NaN and infinities have no JSON form: nothing changes.
    virtual void setDouble(const std::wstring& key, double value);
    // Each text up to its first NUL.
    virtual void setStringArray(const std::wstring& key, const std::vector<std::wstring>& values);
    // A missing member is added as an empty array at the end first.
    virtual void appendString(const std::wstring& key, const std::wstring& value);
    virtual void setObject(const std::wstring& key, const JSONFormatter& value);
    virtual void setObjectArray(const std::wstring& key, const std::vector<JSONFormatter>& values);
    virtual void appendObject(const std::wstring& key, const JSONFormatter& value);

private:
    // Every setter ends here: a member of that name is removed (the last member moves into its
    // place) and the new one appended, so with members a, b, c setting a gives c, b, a.
    virtual void setMember(NuvJson::Value& name, NuvJson::Value& value);

    void set(const std::wstring& key, NuvJson::Value& value);
    void append(const std::wstring& key, NuvJson::Value& value);
    const NuvJson::Value* member(const std::wstring& key) const;
    NuvJson::Allocator& allocator() { return m_document.GetAllocator(); }

    NuvJson::Document m_document;
};

}  // namespace Korin
