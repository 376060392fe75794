// Feeds arbitrary bytes from a configuration client through a connection's whole receiving
// path: NUL framing, JSON reading, dispatch by "type" and every request handler, against a tree
// that holds a system. The first byte chooses how the bytes are cut into received chunks.
#include "FuzzHarness.h"

#include "host/JbpHostProtocol.h"
#include "transport/Interface.h"

#include <boost/property_tree/json_parser.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace {

// A client connection that checks each reply and discards it: one JSON text that the client's
// reader accepts, ended by the only NUL, whatever the request held.
class CheckingLink : public Interface {
public:
    void close() override { closed = true; }
    void open() override {}
    void send(const std::string& data) override
    {
        if (data.empty() || data.find('\0') != data.size() - 1)
            __builtin_trap();
        std::istringstream text(data.substr(0, data.size() - 1));
        boost::property_tree::ptree reply;
        try {
            boost::property_tree::read_json(text, reply);
        } catch (const boost::property_tree::json_parser_error&) {
            __builtin_trap();  // the request handling would catch an exception
        }
    }
    bool isConnected() override { return !closed; }

    bool closed = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t chunkSize = data[0] % 32 + 1;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    FuzzHarness& h = FuzzHarness::instance();
    onWorker([&] {
        h.resetSystem();
        auto link = std::make_shared<CheckingLink>();
        auto protocol = std::make_shared<JbpHostProtocol>(link, &h.netManager);
        protocol->attachInterface(link);
        for (std::size_t at = 0; at < input.size() && !link->closed; at += chunkSize)
            protocol->handleData(input.substr(at, chunkSize), link.get());
    });
    return 0;
}
