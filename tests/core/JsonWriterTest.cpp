#include "core/JsonWriter.h"

#include <gtest/gtest.h>

#include <limits>

TEST(JsonWriter, NestsWithCommasEscapesTextAndWritesRealNumbers)
{
    JsonWriter out;
    out.beginObject()
        .member("text", std::string("a\"b\\c\nd\te\x01\x7F", 11) + std::string(1, '\0'))
        .member("count", std::size_t(3))
        .member("negative", -2)
        .member("flag", false)
        .member("none", boost::optional<std::string>())
        .member("seconds", 1765270000.5)
        .member("small", 0.0000004)
        .member("zero", -0.0)
        .member("infinite", std::numeric_limits<double>::infinity());
    out.key("list").beginArray().value("x").beginObject().endObject().beginArray().endArray().value(7).endArray();
    out.key("empty").beginObject().endObject().endObject();
    EXPECT_EQ(out.text(),
              "{\"text\":\"a\\\"b\\\\c\\nd\\u0009e\\u0001\\u007f\\u0000\",\"count\":3,\"negative\":-2,\"flag\":false,"
              "\"none\":null,\"seconds\":1765270000.5,\"small\":0,\"zero\":0,\"infinite\":null,"
              "\"list\":[\"x\",{},[],7],\"empty\":{}}");
}

TEST(JsonWriter, KeepsValidUtf8AndReplacesEveryStrayByte)
{
    JsonWriter out;
    // é, €, U+1F600; then a cut sequence, an overlong "/", a surrogate, a byte past U+10FFFF, a lone continuation.
    out.value(std::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|\xE2\x82|\xC0\xAF|\xED\xA0\x80|\xF5\x80|\x80"));
    const std::string stray = "\xEF\xBF\xBD";
    EXPECT_EQ(out.text(), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|" + stray + stray + "|" + stray + stray + "|" + stray +
                              stray + stray + "|" + stray + stray + "|" + stray + "\"");
}
