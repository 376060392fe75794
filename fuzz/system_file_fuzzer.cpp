// Reads bytes as kipctl reads a system file: it is refused with its reasons, or it is read, and
// then what kipctl would write of it reads back to the same text. Nothing may crash, hang or
// throw anything else.
#include "Json.h"
#include "SystemFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    SystemDescription system;
    try {
        system = systemfile::parse(input, "fuzz.json");
    } catch (const systemfile::FileError&) {
        return 0;
    } catch (const JsonSyntaxError&) {
        return 0;
    }
    const std::string written = systemfile::text(system);
    const std::string rewritten = systemfile::text(systemfile::parse(written, "written.json"));
    if (rewritten != written) {
        std::fprintf(stderr, "written:\n%s\nread back and written again:\n%s\n", written.c_str(), rewritten.c_str());
        std::abort();
    }
    return 0;
}
