// The host's control channel to the sinks of one chain: announces the host
// to each sink, caches their control items, reads their values and sets
// volume. Used from one thread; the readers touch no socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/Find.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Format.h"
#include "protocol/Message.h"

namespace QUORVIN {

enum ControlItemType : uint16_t {
    CONTROL_PLAY = 1,
    CONTROL_VOLUME = 2,
};

class Control {
public:
    struct Setting {
        std::string hostName;
        uint64_t hostId = ~uint64_t{0};
    };

    struct StatusSt {
        TIVRA::IPAddress sinkAddress{};
        uint16_t itemId = 0;
        uint16_t status = 0;
        uint64_t value = 0;
        uint16_t type = 0;
        uint8_t volumeEnabled = 0;
        uint8_t playEnabled = 0;
    };

    explicit Control(const Setting& setting);
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    bool open();
    void close();
    bool connect(const Find::StatusSort& chain);
    bool connect(TIVRA::IPAddress address);
    bool update();
    bool setValue(short index, unsigned long value);
    bool setVolume(short volume);  // 0.01 dB
    bool getVolume(short& volume) const;
    bool getPlay(bool& playing) const;
    FormatConfigure getPlayFormat() const;
    // One acknowledged exchange: false only on a socket failure; true with
    // an empty answer when no usable answer came.
    bool sendAck(const TIVRA::IPAddress& to, const Send& request, MessageID answerId, Receive& answer);

    const std::vector<StatusSt>& getItems() const { return items; }

protected:
    // Lists one sink's items behind `into`; false on a failed exchange.
    bool listSink(const Find::StatusSortSt& entry, std::vector<StatusSt>& into);
    // Reads (write false) or writes one item and caches its answer.
    bool exchangeItem(StatusSt& item, bool write, uint64_t value);

    std::string hostName;
    uint64_t hostId;
    TIVRA::UDPV6 socket;
    std::vector<StatusSt> items;
};

}  // namespace QUORVIN
