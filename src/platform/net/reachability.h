#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "skald/platform/block.h"
#include "skald/error.h"

namespace skald::platform {

/// Bits of a reachability report. Only the reachable bit is ever set here;
/// the value is the one callers of reachability flags know.
inline constexpr uint32_t kReachabilityFlagReachable = 2;

/// The netlink peer of a reachability monitor: the kernel's route socket, or
/// a scripted peer in tests. Used from the monitor's thread only, except
/// `close`.
class NetlinkSource {
  public:
    virtual ~NetlinkSource() = default;

    /// Opens the source subscribed to link and IPv4/IPv6 route changes.
    virtual std::optional<Error> open() = 0;
    /// The netlink port id that answers to our requests carry.
    virtual uint32_t portId() const = 0;
    /// Sends one complete netlink request.
    virtual std::optional<Error> send(std::string_view message) = 0;

    struct Received {
        /// One datagram; it may hold several messages.
        std::string data;
        /// The source was closed: the monitor stops.
        bool closed = false;
        /// Messages were lost (the socket's buffer overflowed, or a datagram
        /// was cut): whatever the monitor knows may be stale.
        bool overrun = false;
        /// A failure that ends monitoring.
        std::optional<Error> error;
    };
    /// Waits for the next datagram.
    virtual Received receive() = 0;
    /// Makes a pending and every later `receive` return closed. Any thread.
    virtual void close() = 0;
};

/// The kernel's NETLINK_ROUTE socket.
std::unique_ptr<NetlinkSource> makeNetlinkRouteSocket();

/// Watches the routing table on a thread of its own. The network counts as
/// reachable while a usable default route exists: destination length 0 in
/// the main table, IPv4 or IPv6, a unicast route through an interface that
/// is up and running (not loopback).
///
/// Links and routes are dumped at start and again after every change
/// message; listeners hear the resulting flags after each dump, changed or
/// not (callers that care about changes compare for themselves).
class ReachabilityMonitor {
  public:
    using Listener = std::function<void(uint32_t flags)>;
    using DiagnosticHandler = std::function<void(const Error& error)>;

    /// A monitor on the kernel's route socket.
    ReachabilityMonitor();
    explicit ReachabilityMonitor(std::unique_ptr<NetlinkSource> source);
    /// Stops monitoring.
    ~ReachabilityMonitor();
    ReachabilityMonitor(const ReachabilityMonitor&) = delete;
    ReachabilityMonitor& operator=(const ReachabilityMonitor&) = delete;

    /// Opens the source and starts the thread; an error when the source
    /// cannot be opened. Starting twice does nothing.
    std::optional<Error> start();
    /// Closes the source and joins the thread. Listeners hear nothing after.
    void stop();
    bool isRunning() const;

    /// Listeners run on the monitor's thread; keep them short.
    uint64_t addListener(Listener listener);
    void removeListener(uint64_t token);
    /// Receives failures that do not stop monitoring as well as the one that does.
    void setDiagnosticHandler(DiagnosticHandler handler);

    /// The flags of the last completed dump; none before the first.
    std::optional<uint32_t> flags() const;
    /// Waits until listeners heard the first report; false on timeout or when monitoring ended.
    bool waitForFirstReport(Duration timeout) const;

  private:
    void run();
    void report(uint32_t flags);
    void diagnose(const Error& error);

    std::unique_ptr<NetlinkSource> source_;
    mutable std::mutex mutex_;
    mutable std::condition_variable reported_;
    std::map<uint64_t, Listener> listeners_;
    uint64_t nextToken_ = 1;
    DiagnosticHandler diagnostic_;
    std::optional<uint32_t> flags_;
    bool delivered_ = false;  // listeners heard the first report
    bool running_ = false;
    bool stopped_ = false;
    bool ended_ = false;
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace skald::platform
