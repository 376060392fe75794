// Reads bytes as kipctl apply reads a saved plan: it is refused with its reasons, or it is read,
// and then what kipctl would write of it reads back to the same text. Nothing may crash, hang or
// throw anything else.
#include "SavedPlan.h"
#include "SystemFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    SavedPlan plan;
    try {
        plan = savedplan::parse(input, "fuzz.plan");
    } catch (const systemfile::FileError&) {
        return 0;
    }
    const std::string written = savedplan::text(plan);
    const std::string rewritten = savedplan::text(savedplan::parse(written, "written.plan"));
    if (rewritten != written) {
        std::fprintf(stderr, "written:\n%s\nread back and written again:\n%s\n", written.c_str(), rewritten.c_str());
        std::abort();
    }
    return 0;
}
