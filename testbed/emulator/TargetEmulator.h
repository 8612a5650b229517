// A stand-in for a network player: one target with one or more sinks, each
// on its own UDP port, answering the host's negotiation from its
// configuration and misbehaving on request, so that tests can drive every
// branch of the host's request-and-answer exchange. One receive thread per
// target serves all its sockets; every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/SinkHandlers.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

class TargetEmulator {
public:
    TargetEmulator();
    ~TargetEmulator();  // stops
    TargetEmulator(const TargetEmulator&) = delete;
    TargetEmulator& operator=(const TargetEmulator&) = delete;

    // Binds every sink's socket and the other-port socket and starts the
    // receive thread. False (nothing left open) when already running, when
    // the config has no sink or when a socket cannot be bound. The records
    // and states of an earlier run are dropped.
    bool start(const TargetConfig& config);
    // Ends the thread at once and closes the sockets; answers still waiting
    // for their delay are dropped. Records and states stay readable.
    void stop();
    bool running() const;

    size_t sinkCount() const;
    // The target's address with the sink's port: where the host sends, and
    // the source of the sink's answers. Zero for an unknown sink.
    TIVRA::IPAddress sinkAddress(size_t sink) const;
    // Source of the answers of the OTHER_PORT behaviour.
    TIVRA::IPAddress otherPortAddress() const;

    // Takes effect with the next request. An unknown sink is ignored.
    void setBehaviour(size_t sink, QUORVIN::MessageID request, const Behaviour& behaviour);
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
    // it is recorded and before it is answered. Keep it short.
    void onRequest(std::function<void(const Request&)> listener);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace testbed
