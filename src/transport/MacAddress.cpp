#include "transport/MacAddress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::string macInterfaceName()
{
    const char* configured = std::getenv("KIPD_INTERFACE");
    return configured && *configured ? configured : "eth0";
}

std::string readMacAddress(const std::string& interfaceName)
{
    std::string result;
    // A longer name would be cut to another interface's.
    if (interfaceName.size() >= IFNAMSIZ)
        return result;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return result;
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, interfaceName.c_str(), IFNAMSIZ - 1);
    request.ifr_name[IFNAMSIZ - 1] = '\0';
    if (::ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
        char text[20];
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3],
                      bytes[4], bytes[5]);
        result = text;
    }
    ::close(fd);
    return result;
}
