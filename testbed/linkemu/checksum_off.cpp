// tx-checksum-off: switches transmit checksum offload off on interfaces of
// the current namespace, as "ethtool -K IF tx off" does, for machines without
// ethtool. A veth end that leaves checksums to offload sends forwarded UDP
// with only the pseudo-header sum, and the far end drops it.
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: tx-checksum-off IF...\n";
        return 2;
    }
    const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        std::cerr << "tx-checksum-off: socket: " << std::strerror(errno) << "\n";
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        ethtool_value value{};
        value.cmd = ETHTOOL_STXCSUM;
        value.data = 0;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, argv[i], IFNAMSIZ - 1);
        ifr.ifr_data = reinterpret_cast<char*>(&value);
        if (ioctl(s, SIOCETHTOOL, &ifr) != 0) {
            std::cerr << "tx-checksum-off: " << argv[i] << ": " << std::strerror(errno) << "\n";
            status = 1;
        }
    }
    ::close(s);
    return status;
}
