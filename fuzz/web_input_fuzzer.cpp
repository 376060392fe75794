// Feeds arbitrary bytes to what kip-web reads from a browser or from kipd: the JSON checker
// that every bridged message passes, and the readers of the Host, Origin and Cookie headers.
// It stops on a broken rule as well as on a crash.
#include "AccessToken.h"
#include "Bounds.h"
#include "HostAllowList.h"
#include "JsonText.h"
#include "wire/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool rule)
{
    if (!rule)
        std::abort();
}

void checkJson(std::string_view text)
{
    bool shallow = isJsonText(text, 3);
    bool deep = isJsonText(text, bounds::maxJsonDepth);
    require(!shallow || deep);
    // The bridge ends each request with a NUL: a passed message holds none and is UTF-8.
    require(!deep || (text.find('\0') == std::string_view::npos && isUtf8(text)));
}

void checkHeaders(std::string_view text)
{
    static const HostAllowList hosts = [] {
        HostAllowList list(boost::asio::ip::make_address("192.0.2.1"), 8080);
        list.allow("box.example:8443");
        return list;
    }();
    require(!hosts.allowsOrigin("https://" + std::string(text)) || hosts.allowsHost(text));
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return;
    boost::beast::http::fields fields;
    fields.set(boost::beast::http::field::cookie, boost::beast::string_view(text.data(), text.size()));
    for (std::string_view token : presentedTokens(fields))
        require(token.empty() || text.find(token) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checkJson(text);
    checkHeaders(text);
    return 0;
}
