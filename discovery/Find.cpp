// Discovery object: settings, opening on interfaces, the search list.
#include <iterator>

#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "foundation/SysLog.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

constexpr int RELEASE_NO = 142;


}  // namespace

Find::Find(const Setting& setting)
    : acceptId(setting.acceptId),
      protocolVersion(setting.protocolVersion),
      hostName(setting.hostName),
      probeFirst(setting.probeFirst),
      useLoopback(setting.useLoopback),
      acceptIdList(setting.acceptIdList),
      hostId(setting.hostId)
{
}

Find::~Find()
{
    socket.close();
}

bool Find::open(const std::list<IPAddress>& list)
{
    TIVRA::SYSLOG_INFO << "Quorvin Find Library ReleaseNo : " << RELEASE_NO;
    socket.close();
    interfaces = list;
    interfaces.remove_if([](const IPAddress& a) { return a.ifindex == 0; });
    TIVRA::SYSLOG_INFO << "Find::open " << interfaces.size();
    if (!socket.open(TIVRA::Socket::UDP_V6)) {
        TIVRA::SYSLOG_ERR << "error socket open Find::open";
        return false;
    }
    IPAddress any;
    if (!socket.bindV6(any)) {
        TIVRA::SYSLOG_ERR << "error socket bind Find::open";
        return false;
    }
    // Answers come whole up to the largest datagram: a status answer names
    // the host behind its peer's address, and a datagram cut to a smaller
    // size fails its length check and is dropped as no answer.
    socket.recvSize = MAX_DATAGRAM;
    return true;
}

bool Find::open()
{
    return open(std::list<IPAddress>{});
}

bool Find::open(const IPAddress& address)
{
    IPAddress zero;
    zero.ifindex = address.ifindex;  // the scope is not looked at
    if (address == zero) {
        return open();
    }
    return open(std::list<IPAddress>{address});
}

bool Find::open(unsigned short interfaceIndex)
{
    if (interfaceIndex == 0) {
        return open();
    }
    TIVRA::Socket::InterfaseMap map;
    if (!TIVRA::Socket::getMyLocalAddresV6(map, useLoopback)) {
        TIVRA::SYSLOG_ERR << "error getMyLocalAddresV6 Find::open";
        return false;
    }
    std::list<IPAddress> found;
    for (const auto& [address, info] : map) {
        if (useLoopback && isLoopbackAddress(address)) {
            found.push_back(address);
        }
        if (address.ifindex == interfaceIndex) {
            found.push_back(address);
        }
    }
    if (found.empty()) {
        return false;
    }
    return open(found);
}

bool Find::open(const std::list<std::string>& names)
{
    TIVRA::Socket::InterfaseMap map;
    if (!TIVRA::Socket::getMyLocalAddresV6(map, useLoopback)) {
        TIVRA::SYSLOG_ERR << "error getMyLocalAddresV6 Find::open";
        return false;
    }
    std::list<IPAddress> found;
    for (const std::string& name : names) {
        if (name.empty()) {
            continue;
        }
        auto match = map.begin();
        while (match != map.end() && match->second.ifName != name) {
            ++match;
        }
        if (match == map.end()) {
            TIVRA::SYSLOG_ERR << "not much interface " << name;
            return false;
        }
        std::string text;
        match->first.get_V6_str(text);
        TIVRA::SYSLOG_INFO << "much interface " << name << " " << text << " ifno:" << match->first.ifindex;
        found.push_back(match->first);
    }
    return open(found);
}

std::list<IPAddress> Find::getIfList()
{
    if (!interfaces.empty()) {
        return interfaces;
    }
    std::list<IPAddress> list;
    TIVRA::Socket::InterfaseMap map;
    if (!TIVRA::Socket::getMyLocalAddresV6(map, useLoopback)) {
        TIVRA::SYSLOG_ERR << "error getMyLocalAddresV6 Find::open";
        return list;
    }
    for (const auto& entry : map) {
        IPAddress address = entry.first;
        if (isLoopbackAddress(address)) {
            address.ifindex = 0;
        }
        list.push_back(address);
    }
    return list;
}

void Find::close()
{
    socket.close();
}

}  // namespace QUORVIN
