#include "transport/MacAddress.h"

#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::string readMacAddress(const char* interfaceName)
{
    std::string result;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return result;
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
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
