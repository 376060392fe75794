#include "WebFiles.h"

const WebFile* findWebFile(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    if (target == "/")
        target = "/index.html";
    for (std::size_t i = 0; i < webFileCount; ++i)
        if (target.size() == webFiles[i].name.size() + 1 && target.substr(1) == webFiles[i].name)
            return &webFiles[i];
    return nullptr;
}

std::string_view contentTypeOf(std::string_view name)
{
    auto endsWith = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (endsWith(".html"))
        return "text/html; charset=utf-8";
    if (endsWith(".css"))
        return "text/css; charset=utf-8";
    if (endsWith(".js"))
        return "text/javascript; charset=utf-8";
    if (endsWith(".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}
