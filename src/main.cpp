#include "core/KipController.h"
#include "log/LogChannel.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <iostream>
#include <string>
#include <unistd.h>

int main(int argc, char* argv[])
{
    std::string address = "127.0.0.1";
    bool detach = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << "Usage: " << argv[0] << " [--help] [--daemon] [ipaddr]\n\n"
                      << "If no ipaddr is specified, localhost will be used\n\n";
            return 1;
        }
        if (std::strcmp(argv[i], "--daemon") == 0)
            detach = true;
        else
            address = argv[i];
    }
    if (detach) {
        (void)!::daemon(0, 0);
        LogChannel::instance().useSyslog();
    }
    // Buffers of a client's long request go straight back to the system when freed, instead of
    // staying in the allocator's pools after the connection has gone.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    KipController controller(address);
    // The status socket's path; unset or empty, there is none.
    const char* statusPath = std::getenv("KIPD_STATUS_SOCKET");
    if (statusPath && *statusPath)
        controller.serveStatus(statusPath);
    controller.run();
    return 0;
}
