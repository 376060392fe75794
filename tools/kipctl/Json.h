#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A JSON value as a person edits it in a file. Objects keep their keys sorted, so a value is
// written the same way every time.
struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };

    Kind kind = Kind::null;
    bool boolean = false;
    std::string text;  // a string's text, or a number as written
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;
    int line = 0;  // where the value starts in its file, from 1
    int column = 0;

    static JsonValue ofString(std::string text);
    static JsonValue ofNumber(long number);
    static JsonValue ofBoolean(bool value);
    static JsonValue ofKind(Kind kind);
};

// Text that is not JSON, with the line and column (from 1) of the first character that is wrong.
class JsonSyntaxError : public std::runtime_error {
public:
    JsonSyntaxError(int line, int column, const std::string& what) : std::runtime_error(what), line(line), column(column)
    {
    }
    int line;
    int column;
};

// One JSON value and nothing after it but white space. A key twice in one object is refused.
JsonValue parseJson(const std::string& text);

// Two-space indentation, one member or element a line; "schema" leads its object, the other
// keys follow in sorted order.
std::string prettyJson(const JsonValue& value);
