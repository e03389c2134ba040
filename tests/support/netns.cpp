// SPDX-License-Identifier: Apache-2.0
#include "netns.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelbos::testing {

std::string enter_private_network() {
    if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string error;
    if (::ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
        error = std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
    } else {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        if (::ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) error = std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    }
    ::close(fd);
    return error;
}

}  // namespace kelbos::testing
