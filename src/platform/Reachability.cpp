#include "Reachability.h"

#include <fstream>
#include <string>

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

namespace platform {

namespace {

bool hasDefaultRoute() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        // Iface Destination Gateway ...: a default route has destination 00000000.
        const auto tab = line.find('\t');
        if (tab != std::string::npos && line.compare(tab + 1, 8, "00000000") == 0) {
            return true;
        }
    }
    return false;
}

bool hasUpInterfaceWithAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (auto* it = list; it && !found; it = it->ifa_next) {
        if (!it->ifa_addr || !(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) {
            continue;
        }
        const auto family = it->ifa_addr->sa_family;
        found = family == AF_INET || family == AF_INET6;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

bool DesktopReachability::isReachable() const {
    return hasUpInterfaceWithAddress() || hasDefaultRoute();
}

}  // namespace platform
