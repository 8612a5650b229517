// The host's discovery object: one UDP socket for the multicast search and
// every query to a found target (sinks, ports, status), the interfaces the
// search runs on, and the settings that filter targets and announce the
// host. No thread or lock of its own: one caller at a time, blocking.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "discovery/Icon.h"
#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Message.h"

namespace QUORVIN {

class Find {
public:
    struct Setting {
        uint64_t acceptId = ~uint64_t{0};  // 0 accepts every target
        uint16_t protocolVersion = 1;      // 0: no version check
        std::string hostName;
        bool probeFirst = false;
        bool useLoopback = false;
        std::vector<uint64_t> acceptIdList;
        uint64_t hostId = ~uint64_t{0};
    };

    struct FindTargetSt {
        uint64_t productId = 0;
        std::string targetName;
    };

    enum MODE : uint32_t {
        MODE_PORT1 = 0x01,
        MODE_PORT2 = 0x02,
        MODE_PORT4 = 0x04,
        MODE_OPTION0 = 0x08,
        MODE_OPTION1 = 0x10,
    };

    struct SynchroNodeInfo {
        uint16_t option0 = 0;
        uint16_t option1 = 0;
        uint16_t option2 = 0;
        uint16_t option3 = 0;
    };

    struct TargetConnectInfo {
        uint64_t productId = 0;
        uint16_t spare = 0;
        uint16_t sinkNumber = 0;
        uint16_t protocolVersion = 0;
        std::string targetName;
        std::string description;
        TIVRA::IPAddress target{};
        std::string sinkName;
        bool multiport = false;
        SynchroNodeInfo nodeInfo{};
    };

    struct TargetStatusInfo {
        uint64_t productId = 0;
        uint16_t sinkNumber = 0;
        uint16_t protocolVersion = 0;
        std::string targetName;
        uint16_t state = 0;
        TIVRA::IPAddress peer{};
        std::string peerName;
    };

    struct StatusSortSt {
        uint64_t productId = 0;
        uint16_t sinkNumber = 0;
        uint16_t protocolVersion = 0;
        std::string targetName;
        uint16_t state = 0;
        TIVRA::IPAddress peer{};
        std::string peerName;
        TIVRA::IPAddress sinkAddress{};
        bool tail = false;
        bool head = false;
    };

    // One sink's chain: roots first, each followed by what it feeds.
    class StatusSort : public std::list<StatusSortSt> {
    public:
        const_iterator find(TIVRA::IPAddress address) const;
        // Same number of elements (the elements are not compared).
        bool operator==(const StatusSort& other) const { return size() == other.size(); }
    };

    explicit Find(const Setting& setting);
    ~Find();
    Find(const Find&) = delete;
    Find& operator=(const Find&) = delete;

    // ---- opening and interfaces
    bool open(const std::list<TIVRA::IPAddress>& list);
    bool open();
    bool open(const TIVRA::IPAddress& address);
    bool open(unsigned short interfaceIndex);
    bool open(const std::list<std::string>& names);
    std::list<TIVRA::IPAddress> getIfList();
    void close();

    // ---- exchange and target search. sendAck results: 0 answered, 1 local
    // failure, 2 no answer in time, 3 refused, 4 echo.
    int sendAck(const TIVRA::IPAddress& to, const Send& request, MessageID answerId, Receive& answer, bool blocking);
    bool sendMulti(const Send& request, MessageID answerId, std::map<TIVRA::IPAddress, Receive>& answers);
    bool findTarget(std::map<TIVRA::IPAddress, FindTargetSt>& targets);
    uint64_t muchID(unsigned long id) const;
    bool NotisName(const TIVRA::IPAddress& to);
    bool pingTarget(TIVRA::IPAddress to);
    bool getTarget(const TIVRA::IPAddress& to, unsigned long& productId, std::string& name);

    // ---- sinks, ports and status
    bool getPort(const TIVRA::IPAddress& target, MODE mode, unsigned short& count0, unsigned short& count1,
                 unsigned char* bitmap0, unsigned char* bitmap1);
    bool getPort(const TIVRA::IPAddress& target, MODE mode, unsigned short sinkNumber, TIVRA::IPAddress& sinkAddress,
                 unsigned short& version, std::string& sinkName, SynchroNodeInfo& nodeInfo);
    bool getStatus(const TIVRA::IPAddress& target, unsigned short& count);
    bool getStatus(const TIVRA::IPAddress& target, unsigned short number, TIVRA::IPAddress& sinkAddress,
                   unsigned short& version, std::string& peerName, TIVRA::IPAddress& peer, unsigned short& state);
    bool findTarget(const std::map<TIVRA::IPAddress, FindTargetSt>& targets,
                    std::map<TIVRA::IPAddress, TargetConnectInfo>& sinks, MODE mode);
    bool findTarget(const std::map<TIVRA::IPAddress, FindTargetSt>& targets,
                    std::map<TIVRA::IPAddress, TargetStatusInfo>& statuses);
    static bool is_multiport(const std::map<TIVRA::IPAddress, TargetConnectInfo>& sinks,
                             const TIVRA::IPAddress& sinkAddress);

    // ---- chains
    static void SortStatus(TIVRA::IPAddress sinkAddress, unsigned short sinkNumber, bool local,
                           const std::map<TIVRA::IPAddress, TargetStatusInfo>& statuses, StatusSort& chain);

    // ---- administration: settings
    // One item of a target's or its sinks' setting list.
    struct TargetSettingInfo {
        int type = 0;
        std::string name;
        std::string valueText;
        std::vector<std::string> choices;
        int32_t currentValue = 0;
        int32_t minValue = 0;
        int32_t maxValue = 0;
        int32_t index = 0;
    };
    // Read a whole list; on a failure the items read before it stay. A list
    // whose texts pass 16 MiB is refused with a warning.
    bool TargetSetting(TIVRA::IPAddress to, std::list<TargetSettingInfo>& list, bool alternate);
    bool SinkSetting(TIVRA::IPAddress to, std::list<TargetSettingInfo>& list, bool alternate);
    bool setTargetSetting(TIVRA::IPAddress to, unsigned short item, const std::string& text, unsigned short value);
    bool setTargetSetting(TIVRA::IPAddress to, unsigned short item, const std::string& text);
    bool setTargetSetting(TIVRA::IPAddress to, unsigned short item, unsigned short value);
    bool setSinkSetting(TIVRA::IPAddress to, unsigned short item, const std::string& text, unsigned short value);
    bool setSinkSetting(TIVRA::IPAddress to, unsigned short item, const std::string& text);
    bool setSinkSetting(TIVRA::IPAddress to, unsigned short item, unsigned short value);
    // Ends an edit: accept or discard.
    bool TargetSettingFinale(TIVRA::IPAddress to, bool accept);
    bool SinkSettingFinale(TIVRA::IPAddress to, bool accept);
    // The shared bodies, with the list's base identifier.
    bool _TargetSetting(MessageID base, TIVRA::IPAddress to, std::list<TargetSettingInfo>& list, bool alternate);
    bool _setTargetSetting(MessageID base, TIVRA::IPAddress to, unsigned short item, const std::string& text,
                           unsigned short value);
    bool _setTargetSetting(MessageID base, TIVRA::IPAddress to, unsigned short item, const std::string& text);
    bool _setTargetSetting(MessageID base, TIVRA::IPAddress to, unsigned short item, unsigned short value);
    bool _TargetSettingFinale(MessageID base, TIVRA::IPAddress to, bool accept);

    // ---- administration: information, firmware, reboot, output
    bool FwVersion(TIVRA::IPAddress to, std::string& text);
    bool FwURL(TIVRA::IPAddress to, std::string& text);
    // The single-text and byte forms give the first part only.
    bool Infomation(TIVRA::IPAddress to, unsigned short index, std::string& text);
    bool Infomation(TIVRA::IPAddress to, unsigned short index, TIVRA::Buffer& bytes);
    bool Infomation(TIVRA::IPAddress to, unsigned short index, std::vector<std::string>& parts);
    // As above; `announced` is the part count of the first answer (0 when
    // it did not come), so a true result with fewer parts is seen to be cut.
    bool Infomation(TIVRA::IPAddress to, unsigned short index, std::vector<std::string>& parts,
                    unsigned short& announced);
    bool Reboot(TIVRA::IPAddress to, bool enable, unsigned short value);
    // One sink of a known target, without a search: true with a zero
    // sinkAddress (and info untouched) when no interface reaches it.
    bool getOutput(const TIVRA::IPAddress& target, unsigned short sinkNumber, TIVRA::IPAddress& sinkAddress,
                   TargetConnectInfo& info);

    // ---- administration: icons
    // Bits 16-31 the family (0-2), bits 0-15 the icon number.
    using ICON = uint32_t;
    // The related icon numbers the fall-back form tries, by icon number.
    static constexpr uint32_t iconFallbackOrder[9][4] = {
        {0, 0, 0, 0}, {1, 2, 3, 4}, {2, 1, 4, 3}, {3, 1, 4, 2}, {4, 3, 2, 1},
        {5, 6, 7, 8}, {6, 5, 8, 7}, {7, 5, 8, 6}, {8, 7, 6, 5},
    };
    // True: `out` holds the icon, or is empty when the target has none.
    // False (with `out` empty): socket failure, selector above 0x2FFFF, or
    // a failed pixel transfer.
    bool downloadIcon(TIVRA::IPAddress to, ICON icon, Icon& out);
    // Tries the related numbers in turn; may switch to the neighbouring
    // list when the icon found is too narrow for `wantWidth`, and then gives
    // that list's icon or none.
    bool downloadIcon(TIVRA::IPAddress to, ICON icon, Icon& out, unsigned short wantWidth);

    // ---- administration: data upload. Writes `data` into storage area
    // `area` (from 0) of the target at `to`: geometry, bursts of blocks with
    // one acknowledgement each, then the CRC check. True only once the target
    // confirmed the whole. `window` is the byte budget of one burst (0: the
    // target's limit), and a burst has at most 32768 blocks; acknowledgements
    // count from any sender. `progress` gets (group, group count) before each
    // group.
    bool Transfer(TIVRA::IPAddress to, int area, TIVRA::BufferCS_const data, unsigned long window,
                  std::function<void(unsigned short, unsigned short)> progress);
    // With a reporter that logs each group at debug level.
    bool Transfer(TIVRA::IPAddress to, int area, TIVRA::BufferCS_const data, unsigned long window);
    // The check exchange: `result` (0xFFFF from the upload) goes out and is
    // replaced by the target's only when its answer echoes the area and `crc`.
    bool TransferFinish(TIVRA::IPAddress to, int area, unsigned short& crc, unsigned short& result);

protected:
    uint64_t acceptId;
    uint16_t protocolVersion;
    std::string hostName;
    bool probeFirst;
    bool useLoopback;
    std::vector<uint64_t> acceptIdList;
    uint64_t hostId;
    std::list<TIVRA::IPAddress> interfaces;
    TIVRA::UDPV6 socket;

private:
    // The probe rule of the port and status queries: 0 go on, 1 local
    // failure (false), 2 the target gave no usable answer (true, nothing).
    int probeRule(const TIVRA::IPAddress& target);
    // True once the target left this many exchanges in a row unanswered
    // since the count was reset; logs the giving up once.
    bool givenUp(const TIVRA::IPAddress& target);
    // True once the waits of the walk over one target's sinks or status
    // entries reached their budget; logs the giving up once.
    bool overBudget(const TIVRA::IPAddress& target);
    // The end of an exchange for both: its result, after how long.
    int noAnswer(int result, TIVRA::Clock waitedFor);
    int answered(TIVRA::Clock waitedFor);

    // Exchanges in a row that ended without an answer (results 2-4).
    uint32_t unanswered = 0;
    // Since the walk's reset: the waits that ended without an answer (a
    // time-out counts its whole budget) or with a late one.
    TIVRA::Clock waited;
    bool gaveUpLogged = false;
    bool nameRefusedLogged = false;
};

}  // namespace QUORVIN
