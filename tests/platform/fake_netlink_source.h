#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/reachability.h"

namespace skald::test {

/// Builds one netlink message the way the kernel lays it out.
class NetlinkMessage {
  public:
    NetlinkMessage(uint16_t type, uint16_t flags, uint32_t sequence, uint32_t port)
        : data_(NLMSG_HDRLEN, '\0') {
        auto* header = reinterpret_cast<nlmsghdr*>(data_.data());
        header->nlmsg_type = type;
        header->nlmsg_flags = flags;
        header->nlmsg_seq = sequence;
        header->nlmsg_pid = port;
    }
    template <typename T>
    NetlinkMessage& payload(const T& value) {
        append(&value, sizeof value, NLMSG_ALIGN(sizeof value));
        return *this;
    }
    NetlinkMessage& attribute(uint16_t type, const void* value, size_t size) {
        rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
        append(&attribute, sizeof attribute, sizeof attribute);
        append(value, size, RTA_ALIGN(size));
        return *this;
    }
    std::string finish() const {
        std::string result = data_;
        reinterpret_cast<nlmsghdr*>(result.data())->nlmsg_len =
            static_cast<uint32_t>(result.size());
        return result;
    }

  private:
    void append(const void* value, size_t size, size_t padded) {
        const auto at = data_.size();
        data_.resize(at + padded, '\0');
        std::memcpy(data_.data() + at, value, size);
    }
    std::string data_;
};

/// A scripted kernel routing table: answers dump requests from its links
/// and routes, and sends change messages when a test alters them.
class FakeNetlink {
  public:
    static constexpr uint32_t kPort = 4711;

    struct Route {
        int family = AF_INET;
        uint8_t destinationLength = 0;
        uint8_t type = RTN_UNICAST;
        uint32_t table = RT_TABLE_MAIN;
        int outputInterface = 0;
        std::vector<int> multipath;
        unsigned flags = 0;
    };

    void setLink(int index, unsigned flags) {
        std::lock_guard guard(mutex_);
        links_[index] = flags;
        pushLocked(linkMessage(RTM_NEWLINK, 0, 0, index, flags));
    }
    void addRoute(const Route& route) {
        std::lock_guard guard(mutex_);
        routes_.push_back(route);
        pushLocked(routeMessage(RTM_NEWROUTE, 0, 0, route));
    }
    void removeRoutes() {
        std::lock_guard guard(mutex_);
        for (const auto& route : routes_) pushLocked(routeMessage(RTM_DELROUTE, 0, 0, route));
        routes_.clear();
    }
    /// A datagram as-is, as if the kernel sent it.
    void push(std::string datagram) {
        std::lock_guard guard(mutex_);
        pushLocked(std::move(datagram));
    }
    void pushOverrun() {
        std::lock_guard guard(mutex_);
        queue_.push_back({{}, true});
        ready_.notify_all();
    }
    /// The next dump's replies carry the "interrupted" mark.
    void interruptNextDump() {
        std::lock_guard guard(mutex_);
        interruptNext_ = true;
    }
    int dumpRequests() const {
        std::lock_guard guard(mutex_);
        return dumpRequests_;
    }
    bool opened() const {
        std::lock_guard guard(mutex_);
        return opened_;
    }
    bool closed() const {
        std::lock_guard guard(mutex_);
        return closed_;
    }

    static std::string linkMessage(uint16_t type, uint16_t flags, uint32_t sequence, int index,
                                   unsigned linkFlags, uint32_t port = 0) {
        ifinfomsg link{};
        link.ifi_family = AF_UNSPEC;
        link.ifi_index = index;
        link.ifi_flags = linkFlags;
        return NetlinkMessage(type, flags, sequence, port).payload(link).finish();
    }
    static std::string routeMessage(uint16_t type, uint16_t flags, uint32_t sequence,
                                    const Route& route, uint32_t port = 0) {
        rtmsg message{};
        message.rtm_family = static_cast<unsigned char>(route.family);
        message.rtm_dst_len = route.destinationLength;
        message.rtm_table = route.table > 255 ? RT_TABLE_UNSPEC : route.table;
        message.rtm_type = route.type;
        message.rtm_flags = route.flags;
        NetlinkMessage built(type, flags, sequence, port);
        built.payload(message);
        built.attribute(RTA_TABLE, &route.table, sizeof route.table);
        if (route.outputInterface > 0) {
            built.attribute(RTA_OIF, &route.outputInterface, sizeof route.outputInterface);
        }
        if (!route.multipath.empty()) {
            std::string hops;
            for (int index : route.multipath) {
                rtnexthop hop{};
                hop.rtnh_len = sizeof hop;
                hop.rtnh_ifindex = index;
                hops.append(reinterpret_cast<const char*>(&hop), sizeof hop);
            }
            built.attribute(RTA_MULTIPATH, hops.data(), hops.size());
        }
        return built.finish();
    }

  private:
    friend class FakeNetlinkSource;

    struct Datagram {
        std::string data;
        bool overrun = false;
    };

    void pushLocked(std::string datagram) {
        queue_.push_back({std::move(datagram), false});
        ready_.notify_all();
    }

    void answer(std::string_view request) {
        if (request.size() < sizeof(nlmsghdr)) return;
        nlmsghdr header{};
        std::memcpy(&header, request.data(), sizeof header);
        std::lock_guard guard(mutex_);
        ++dumpRequests_;
        const uint16_t flags = NLM_F_MULTI | (interruptNext_ ? NLM_F_DUMP_INTR : 0);
        interruptNext_ = false;
        std::string reply;
        if (header.nlmsg_type == RTM_GETLINK) {
            for (const auto& [index, linkFlags] : links_) {
                reply += linkMessage(RTM_NEWLINK, flags, header.nlmsg_seq, index, linkFlags, kPort);
            }
        } else if (header.nlmsg_type == RTM_GETROUTE) {
            for (const auto& route : routes_) {
                reply += routeMessage(RTM_NEWROUTE, flags, header.nlmsg_seq, route, kPort);
            }
        }
        const int status = 0;
        reply +=
            NetlinkMessage(NLMSG_DONE, flags, header.nlmsg_seq, kPort).payload(status).finish();
        pushLocked(std::move(reply));
    }

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Datagram> queue_;
    std::map<int, unsigned> links_;
    std::vector<Route> routes_;
    bool interruptNext_ = false;
    int dumpRequests_ = 0;
    bool opened_ = false;
    bool closed_ = false;
};

class FakeNetlinkSource final : public platform::NetlinkSource {
  public:
    explicit FakeNetlinkSource(std::shared_ptr<FakeNetlink> kernel) : kernel_(std::move(kernel)) {}

    std::optional<Error> open() override {
        std::lock_guard guard(kernel_->mutex_);
        kernel_->opened_ = true;
        // Whatever changed before anyone listened is not news.
        kernel_->queue_.clear();
        return std::nullopt;
    }
    uint32_t portId() const override { return FakeNetlink::kPort; }
    std::optional<Error> send(std::string_view message) override {
        kernel_->answer(message);
        return std::nullopt;
    }
    Received receive() override {
        std::unique_lock lock(kernel_->mutex_);
        kernel_->ready_.wait(lock, [&] { return kernel_->closed_ || !kernel_->queue_.empty(); });
        Received received;
        if (kernel_->closed_) {
            received.closed = true;
            return received;
        }
        auto datagram = std::move(kernel_->queue_.front());
        kernel_->queue_.pop_front();
        received.data = std::move(datagram.data);
        received.overrun = datagram.overrun;
        return received;
    }
    void close() override {
        std::lock_guard guard(kernel_->mutex_);
        kernel_->closed_ = true;
        kernel_->ready_.notify_all();
    }

  private:
    std::shared_ptr<FakeNetlink> kernel_;
};

/// A kernel with one Ethernet-like interface (index 2) that is up, and no routes.
inline std::shared_ptr<FakeNetlink> makeFakeNetlink() {
    auto kernel = std::make_shared<FakeNetlink>();
    {
        // Set before the monitor opens the source, so no change message is pending.
        kernel->setLink(1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK);
        kernel->setLink(2, IFF_UP | IFF_RUNNING);
    }
    return kernel;
}

inline FakeNetlink::Route defaultRouteVia(int index, int family = AF_INET) {
    FakeNetlink::Route route;
    route.family = family;
    route.outputInterface = index;
    return route;
}

}  // namespace skald::test
