#include "core/KipController.h"
#include "log/LogChannel.h"

#include <cstring>
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
    KipController controller(address);
    controller.run();
    return 0;
}
