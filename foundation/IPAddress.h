// Endpoint value: IPv6 address (IPv4 in mapped form) in network order,
// port in network order and interface index. Zero-initialised by default.
#pragma once

#include <cstdint>
#include <string>

namespace TIVRA {

struct IPAddress {
    uint8_t addr[16] = {};
    uint16_t port = 0;     // network order
    uint32_t ifindex = 0;  // scope; only the low 16 bits are printed

    // Total order: address bytes, then port bytes, then interface index.
    int comp(const IPAddress& other) const;
    bool operator<(const IPAddress& other) const { return comp(other) < 0; }
    bool operator==(const IPAddress& other) const { return comp(other) == 0; }
    bool operator!=(const IPAddress& other) const { return comp(other) != 0; }

    void get_V4_str(std::string& out) const;
    void get_V6_str(std::string& out) const;
    void get_V6IFN_str(std::string& out) const;
    void get_port_str(std::string& out) const;
    void get_if_str(std::string& out) const;
    void get_add_str(std::string& out) const;
    void get_str(std::string& out) const;
    void get_full_str(std::string& out) const;

    bool set_V6_str(const std::string& text);
    bool set_port_str(const std::string& text);

    bool set_str(const std::string& text);
    bool set_V4_str(const std::string& text);
    bool set_V4_str(const std::string& text, int& prefixBits);
    bool much_address(const IPAddress& other, int bits) const;

    // Host-order helpers for the port field.
    uint16_t getPort() const;
    void setPort(uint16_t hostOrderPort);

    bool isV4() const;
    bool isUnspecified() const;
};

}  // namespace TIVRA
