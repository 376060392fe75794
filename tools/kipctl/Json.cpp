#include "Json.h"

#include "wire/JsonNesting.h"
#include "wire/Utf8.h"

#include <cstdio>

namespace {

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text(text), tooDeepAt(jsonTooDeepAt(text)) {}

    JsonValue document()
    {
        JsonValue value = readValue();
        skipBlanks();
        if (at < text.size())
            fail("unexpected text after the end of the document");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw JsonSyntaxError(line, static_cast<int>(at - lineStart) + 1,
                              atEnd() ? "the document ends before it is complete (" + what + ")" : what);
    }

    bool atEnd() const { return at >= text.size(); }
    char peek() const { return atEnd() ? '\0' : text[at]; }

    void skipBlanks()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n')) {
            if (peek() == '\n') {
                ++line;
                lineStart = at + 1;
            }
            ++at;
        }
    }

    void expect(char wanted, const char* what)
    {
        skipBlanks();
        if (peek() != wanted)
            fail(std::string("expected ") + what);
        ++at;
    }

    // The reader recurses once per level; the scan found where that would go too deep.
    JsonValue readValue()
    {
        skipBlanks();
        if (at == tooDeepAt)
            fail("nested too deeply");
        JsonValue value;
        value.line = line;
        value.column = static_cast<int>(at - lineStart) + 1;
        char c = peek();
        if (c == '{')
            readObject(value);
        else if (c == '[')
            readArray(value);
        else if (c == '"') {
            value.kind = JsonValue::Kind::string;
            value.text = readString();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            value.kind = JsonValue::Kind::number;
            value.text = readNumber();
        } else if (readWord("true") || readWord("false")) {
            value.kind = JsonValue::Kind::boolean;
            value.boolean = c == 't';
        } else if (readWord("null")) {
            value.kind = JsonValue::Kind::null;
        } else {
            fail(atEnd() ? "the document ends where a value was expected" : "expected a value");
        }
        return value;
    }

    bool readWord(const std::string& word)
    {
        if (text.compare(at, word.size(), word) != 0)
            return false;
        at += word.size();
        return true;
    }

    void readObject(JsonValue& value)
    {
        value.kind = JsonValue::Kind::object;
        ++at;
        skipBlanks();
        if (peek() == '}') {
            ++at;
            return;
        }
        do {
            skipBlanks();
            if (peek() != '"')
                fail("expected a key in double quotes");
            std::size_t keyAt = at;
            std::string key = readString();
            expect(':', "':' after the key");
            if (!value.object.emplace(key, readValue()).second) {
                at = keyAt;  // the error points at the repeated key
                fail("the key \"" + key + "\" appears twice");
            }
            skipBlanks();
        } while (peek() == ',' && ++at);
        expect('}', "',' or '}'");
    }

    void readArray(JsonValue& value)
    {
        value.kind = JsonValue::Kind::array;
        ++at;
        skipBlanks();
        if (peek() == ']') {
            ++at;
            return;
        }
        do {
            value.array.push_back(readValue());
            skipBlanks();
        } while (peek() == ',' && ++at);
        expect(']', "',' or ']'");
    }

    std::string readNumber()
    {
        std::size_t start = at;
        auto digits = [this] {
            std::size_t first = at;
            while (peek() >= '0' && peek() <= '9')
                ++at;
            return at - first;
        };
        if (peek() == '-')
            ++at;
        if (peek() == '0')
            ++at;
        else if (digits() == 0)
            fail("expected a digit");
        if (peek() == '.' && ++at && digits() == 0)
            fail("expected a digit after the decimal point");
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-')
                ++at;
            if (digits() == 0)
                fail("expected a digit in the exponent");
        }
        return text.substr(start, at - start);
    }

    unsigned readHex4()
    {
        unsigned code = 0;
        for (int i = 0; i < 4; ++i, ++at) {
            char c = peek();
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                       : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0)
                fail("expected four hexadecimal digits after \\u");
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return code;
    }

    unsigned readEscapedCode()
    {
        unsigned code = readHex4();
        if (code >= 0xDC00 && code <= 0xDFFF)
            fail("a lone low surrogate in \\u");
        if (code < 0xD800 || code > 0xDBFF)
            return code;
        if (!readWord("\\u"))
            fail("a high surrogate without its low half");
        unsigned low = readHex4();
        if (low < 0xDC00 || low > 0xDFFF)
            fail("a high surrogate without its low half");
        return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }

    std::string readString()
    {
        ++at;
        std::string out;
        for (;;) {
            if (atEnd())
                fail("the text ends inside a string");
            char c = text[at];
            if (static_cast<unsigned char>(c) < 0x20)
                fail("a control character inside a string");
            ++at;
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            char escape = peek();
            ++at;
            switch (escape) {
            case '"': case '\\': case '/': out += escape; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': appendUtf8(out, readEscapedCode()); break;
            default: --at; fail("an unknown escape in a string");
            }
        }
    }

    const std::string& text;
    const std::size_t tooDeepAt;
    std::size_t at = 0;
    std::size_t lineStart = 0;
    int line = 1;
};

void writeString(std::string& out, const std::string& text)
{
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void writeValue(std::string& out, const JsonValue& value, const std::string& indent);

void writeMember(std::string& out, const std::string& key, const JsonValue& value, const std::string& indent,
                 bool& first)
{
    out += first ? "\n" : ",\n";
    first = false;
    out += indent;
    writeString(out, key);
    out += ": ";
    writeValue(out, value, indent);
}

void writeObject(std::string& out, const JsonValue& value, const std::string& indent)
{
    if (value.object.empty()) {
        out += "{}";
        return;
    }
    const std::string inner = indent + "  ";
    bool first = true;
    out += '{';
    auto schema = value.object.find("schema");
    if (schema != value.object.end())
        writeMember(out, schema->first, schema->second, inner, first);
    for (const auto& member : value.object)
        if (member.first != "schema")
            writeMember(out, member.first, member.second, inner, first);
    out += "\n" + indent + "}";
}

void writeArray(std::string& out, const JsonValue& value, const std::string& indent)
{
    if (value.array.empty()) {
        out += "[]";
        return;
    }
    const std::string inner = indent + "  ";
    out += '[';
    for (std::size_t i = 0; i < value.array.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        out += inner;
        writeValue(out, value.array[i], inner);
    }
    out += "\n" + indent + "]";
}

void writeValue(std::string& out, const JsonValue& value, const std::string& indent)
{
    switch (value.kind) {
    case JsonValue::Kind::null: out += "null"; break;
    case JsonValue::Kind::boolean: out += value.boolean ? "true" : "false"; break;
    case JsonValue::Kind::number: out += value.text; break;
    case JsonValue::Kind::string: writeString(out, value.text); break;
    case JsonValue::Kind::array: writeArray(out, value, indent); break;
    case JsonValue::Kind::object: writeObject(out, value, indent); break;
    }
}

}  // namespace

JsonValue JsonValue::ofString(std::string text)
{
    JsonValue value = ofKind(Kind::string);
    value.text = std::move(text);
    return value;
}

JsonValue JsonValue::ofNumber(long number)
{
    JsonValue value = ofKind(Kind::number);
    value.text = std::to_string(number);
    return value;
}

JsonValue JsonValue::ofBoolean(bool flag)
{
    JsonValue value = ofKind(Kind::boolean);
    value.boolean = flag;
    return value;
}

JsonValue JsonValue::ofKind(Kind kind)
{
    JsonValue value;
    value.kind = kind;
    return value;
}

JsonValue parseJson(const std::string& text) { return JsonReader(text).document(); }

std::string prettyJson(const JsonValue& value)
{
    std::string out;
    writeValue(out, value, "");
    out += '\n';
    return out;
}
