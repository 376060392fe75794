// Feeds arbitrary Spread configuration texts to the parser, then builds a text from the result.
#include "model/SpreadFile.h"
#include "model/SystemTree.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SystemTree tree;
    tree.put("corvanet.ip_settings.ip_address", "192.168.0.10");
    tree.put("corvanet.ip_settings.subnet_mask", "255.255.255.0");
    parseSpreadFile(tree, std::string(reinterpret_cast<const char*>(data), size));
    makeSpreadFile(tree);
    return 0;
}
