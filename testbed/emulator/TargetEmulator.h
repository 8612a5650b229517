// A stand-in for a network player: one target with one or more sinks, each
// on its own UDP port, answering the host's negotiation from its
// configuration and misbehaving on request, so that tests can drive every
// branch of the host's request-and-answer exchange. Each sink also has a
// data socket that takes the stream, plays it on a simulated clock, answers
// with feedback and resend requests and keeps a report per stream; the
// target may offer the log relay service. One receive thread per target
// serves all its sockets; every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"
#include "testbed/emulator/DiscoveryHandlers.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/SinkHandlers.h"
#include "testbed/emulator/StreamRecord.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

class TargetEmulator {
public:
    TargetEmulator();
    ~TargetEmulator();  // stops
    TargetEmulator(const TargetEmulator&) = delete;
    TargetEmulator& operator=(const TargetEmulator&) = delete;

    // Binds every sink's socket and data socket, the other-port socket and
    // the log relay socket when configured, and starts the receive thread.
    // False (nothing left open) when already running, when the config has no
    // sink or when a socket cannot be bound. The records, states and streams
    // of an earlier run are dropped.
    bool start(const TargetConfig& config);
    // Ends the thread at once and closes the sockets; answers still waiting
    // for their delay are dropped, open streams end as stopped. Records,
    // states and stream reports stay readable.
    void stop();
    bool running() const;

    size_t sinkCount() const;
    // The target's address with the sink's port: where the host sends, and
    // the source of the sink's answers. Zero for an unknown sink.
    TIVRA::IPAddress sinkAddress(size_t sink) const;
    // Source of the answers of the OTHER_PORT behaviour.
    TIVRA::IPAddress otherPortAddress() const;
    // The sink's data socket, which CONNECT_ANS names and the stream goes to.
    TIVRA::IPAddress dataAddress(size_t sink) const;
    // The log relay socket; nothing when the target has none.
    std::optional<TIVRA::IPAddress> logAddress() const;

    // Takes effect with the next request. An unknown sink is ignored.
    void setBehaviour(size_t sink, QUORVIN::MessageID request, const Behaviour& behaviour);
    // For the requests about one control item (0: the count form); wins
    // over the identifier's behaviour.
    void setBehaviour(size_t sink, QUORVIN::MessageID request, uint16_t number, const Behaviour& behaviour);
    void clearBehaviours(size_t sink);
    Behaviour behaviour(size_t sink, QUORVIN::MessageID request) const;
    // Replaces what the sink answers (its port and behaviours stay); the
    // state is kept, so a new latency applies only to a later start.
    void setSinkConfig(size_t sink, const SinkConfig& config);
    SinkConfig sinkConfig(size_t sink) const;
    SinkState state(size_t sink) const;

    // Every datagram each sink received, in arrival order.
    std::vector<Request> requests(size_t sink) const;
    void clearRequests();
    void clearRequests(size_t sink);
    // Waits until the predicate holds for the sink's records; false on time-out.
    // The predicate runs under the emulator's lock: it must not call the emulator.
    bool waitForRequests(size_t sink, const std::function<bool(const std::vector<Request>&)>& until,
                         std::chrono::milliseconds timeout) const;
    // Waits for at least `count` valid requests with this identifier.
    bool waitForRequests(size_t sink, QUORVIN::MessageID message, size_t count,
                         std::chrono::milliseconds timeout) const;

    // Called on the receive thread for every datagram a sink receives, after
    // it is recorded and before it is answered. Keep it short. Stream
    // packets are not requests: they go to the stream report alone.
    void onRequest(std::function<void(const Request&)> listener);

    // ---- streams. A CONNECT_REQ that is answered starts a stream of the
    // sink; the next one, a DSICONNECT_REQ, the sink's own end or stop ends it.
    static constexpr size_t kLastStream = SIZE_MAX;
    size_t streamCount(size_t sink) const;
    // Nothing for an unknown sink or stream.
    std::optional<StreamReport> streamReport(size_t sink, size_t stream = kLastStream) const;
    // Until the sink's latest stream has had `count` packets arrive (dropped
    // and repeated ones and those after its end included); false on time-out.
    bool waitForStreamPackets(size_t sink, uint64_t count, std::chrono::milliseconds timeout) const;
    // Until the sink's latest stream has ended; false on time-out or without a stream.
    bool waitForStreamEnd(size_t sink, std::chrono::milliseconds timeout) const;
    // From the next packet on; the latest stream and later ones.
    void setStreamBehaviour(size_t sink, const StreamBehaviour& behaviour);
    StreamBehaviour streamBehaviour(size_t sink) const;
    // The sink ends its running stream with an unasked DSICONNECT_ANS.
    void endStreamUnasked(size_t sink);
    // The running stream's data socket stops answering.
    void goSilent(size_t sink);
    // One resend request for the running stream's newest counter minus back.
    void askResend(size_t sink, uint16_t back);
    // Called once per stream when it ends, with its report without the audio,
    // on the thread that ended it (the receive thread, or the one in stop).
    void onStreamEnd(std::function<void(size_t sink, const StreamReport&)> listener);
    // STREAM_REQ packets that came to the data socket while the sink had no stream.
    uint64_t strayPackets(size_t sink) const;

    // ---- discovery port. The target's address with the discovery port:
    // where the host sends its unicast queries, and the source of every
    // discovery answer. Nothing when the target has no discovery port.
    std::optional<TIVRA::IPAddress> discoveryAddress() const;
    // Source of the answers of the OTHER_ADDRESS behaviour, when configured.
    std::optional<TIVRA::IPAddress> otherAddress() const;
    void setDiscoveryBehaviour(QUORVIN::MessageID request, const Behaviour& behaviour);
    // For the requests about one sink or status entry (0: the count form).
    void setDiscoveryBehaviour(QUORVIN::MessageID request, uint16_t number, const Behaviour& behaviour);
    void clearDiscoveryBehaviours();
    // Replaces what the discovery port answers, behaviours included; its
    // port and multicast membership stay as started.
    void setDiscoveryConfig(const DiscoveryConfig& config);
    DiscoveryConfig discoveryConfig() const;
    // The host's name and identifier as the latest NOTISNAME_REQ gave them.
    DiscoveryState discoveryState() const;
    // Every datagram the discovery port took (the multicast search on the
    // target's interface included), in arrival order.
    std::vector<Request> discoveryRequests() const;
    void clearDiscoveryRequests();
    // The predicate runs under the emulator's lock: it must not call the emulator.
    bool waitForDiscoveryRequests(const std::function<bool(const std::vector<Request>&)>& until,
                                  std::chrono::milliseconds timeout) const;
    bool waitForDiscoveryRequests(QUORVIN::MessageID message, size_t count, std::chrono::milliseconds timeout) const;

    // ---- the device's own side, as a person at the target changes it.
    // Every volume item of the sink takes the volume (0.01 dB) as it is,
    // unclamped; the host learns of it when it next reads the item. False
    // for an unknown sink or one without a volume item.
    bool setDeviceVolume(size_t sink, int16_t volume);
    // A hidden sink is a switched-off output: the discovery answers leave it
    // out (no bit in the count's bitmaps, port 0 under its number, its
    // status entries refused; the other numbers stay) and its port and data
    // socket answer nothing (what comes is still recorded, stream packets
    // aside, which are lost). Its state stays for when it is shown again.
    // False for an unknown sink.
    bool setHidden(size_t sink, bool hidden);
    bool hidden(size_t sink) const;

    // ---- log relay
    void setLogLines(const std::vector<std::string>& lines);
    // Every datagram the log relay port received, in arrival order.
    std::vector<Request> logRequests() const;
    bool waitForLogRequests(size_t count, std::chrono::milliseconds timeout) const;
    // An unasked DEBUG_ANS with this option0 and the text, to `to` or else
    // to the source of the latest DEBUG_REQ. False without a log relay or a
    // destination.
    bool sendDebugLine(const std::string& text, uint16_t option0 = 2,
                       std::optional<TIVRA::IPAddress> to = std::nullopt);
    // Until what sendDebugLine, askResend and endStreamUnasked queued has
    // been sent: they go from the emulator's own thread, so an answer on
    // another socket could otherwise overtake them.
    bool waitForActions(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace testbed
