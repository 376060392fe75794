#pragma once

#include <boost/optional.hpp>

#include <string>
#include <type_traits>
#include <vector>

// Writes one compact JSON text, member by member: strings escaped and made valid UTF-8 (a
// stray byte becomes U+FFFD), real numbers and booleans, null for what is not known.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The next value's name, inside an object.
    JsonWriter& key(const std::string& name);

    JsonWriter& value(const std::string& text);
    JsonWriter& value(const char* text) { return value(std::string(text)); }
    JsonWriter& value(bool flag);
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    JsonWriter& value(T number)
    {
        return raw(std::to_string(number));
    }
    // Six decimals at most, without trailing zeros; not finite is null.
    JsonWriter& value(double number);
    JsonWriter& null();
    template <class T>
    JsonWriter& value(const boost::optional<T>& maybe)
    {
        return maybe ? value(*maybe) : null();
    }

    template <class T>
    JsonWriter& member(const std::string& name, const T& content)
    {
        key(name);
        return value(content);
    }

    const std::string& text() const { return out; }

private:
    JsonWriter& raw(const std::string& text);
    void separate();
    void writeString(const std::string& text);

    std::string out;
    // Per open object or array: whether it holds a value yet.
    std::vector<bool> filled;
    bool afterKey = false;
};
