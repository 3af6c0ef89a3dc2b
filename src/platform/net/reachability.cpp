#include "platform/net/reachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/process/process_exit.h"

namespace skald::platform {

namespace {

class NetlinkRouteSocket final : public NetlinkSource {
  public:
    std::optional<Error> open() override {
        fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (!fd_) return Error::posix(errno, "Could not open the route socket");
        // Room for bursts of change messages; an overflow only costs a re-dump.
        const int bufferSize = 1 << 20;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return Error::posix(errno, "Could not bind the route socket");
        }
        socklen_t length = sizeof address;
        if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return Error::posix(errno, "Could not read the route socket's address");
        }
        port_ = address.nl_pid;
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) return Error::posix(errno, "Could not create the route socket's wake-up");
        return std::nullopt;
    }

    uint32_t portId() const override { return port_; }

    std::optional<Error> send(std::string_view message) override {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (;;) {
            const auto sent = ::sendto(fd_.get(), message.data(), message.size(), 0,
                                       reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
            if (sent >= 0) return std::nullopt;
            if (errno != EINTR) return Error::posix(errno, "Could not send a route request");
        }
    }

    Received receive() override {
        Received result;
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            if (closed_.load()) {
                result.closed = true;
                return result;
            }
            pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                result.error = Error::posix(errno, "Could not wait on the route socket");
                return result;
            }
            if (fds[1].revents != 0 || closed_.load()) {
                result.closed = true;
                return result;
            }
            sockaddr_nl sender{};
            iovec io{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            const auto received = ::recvmsg(fd_.get(), &message, MSG_DONTWAIT);
            if (received < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                if (errno == ENOBUFS) {
                    result.overrun = true;
                    return result;
                }
                result.error = Error::posix(errno, "Could not read the route socket");
                return result;
            }
            // Only the kernel speaks for the routing table; other processes
            // could send to our port too.
            if (sender.nl_pid != 0) continue;
            if (message.msg_flags & MSG_TRUNC) {
                result.overrun = true;
                return result;
            }
            result.data.assign(buffer.data(), static_cast<size_t>(received));
            return result;
        }
    }

    void close() override {
        closed_.store(true);
        if (wake_) {
            const uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
        }
    }

  private:
    unique_fd fd_;
    unique_fd wake_;
    uint32_t port_ = 0;
    std::atomic<bool> closed_{false};
};

/// A dump request for all links or all routes of every family.
std::string dumpRequest(uint16_t type, uint32_t sequence) {
    const size_t payload = type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(rtmsg);
    std::string message(NLMSG_SPACE(payload), '\0');
    auto* header = reinterpret_cast<nlmsghdr*>(message.data());
    header->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(payload));
    header->nlmsg_type = type;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = sequence;
    // The family sits first in both payloads; AF_UNSPEC asks for every family.
    return message;
}

struct DefaultRoute {
    std::vector<int> interfaces;
    /// Routes through a nexthop object name no interface themselves.
    bool viaNexthopObject = false;
};

std::optional<DefaultRoute> parseDefaultRoute(const nlmsghdr* header) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return std::nullopt;
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return std::nullopt;
    // Blackhole, unreachable and prohibit defaults lead nowhere.
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return std::nullopt;
    if (route->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) return std::nullopt;
    uint32_t table = route->rtm_table;
    DefaultRoute result;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        const auto size = RTA_PAYLOAD(attribute);
        switch (attribute->rta_type) {
            case RTA_TABLE:
                if (size >= sizeof table) std::memcpy(&table, RTA_DATA(attribute), sizeof table);
                break;
            case RTA_OIF:
                if (size >= sizeof(int)) {
                    int index = 0;
                    std::memcpy(&index, RTA_DATA(attribute), sizeof index);
                    result.interfaces.push_back(index);
                }
                break;
            case RTA_NH_ID:
                result.viaNexthopObject = true;
                break;
            case RTA_MULTIPATH: {
                auto left = static_cast<long>(size);
                auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
                while (left >= static_cast<long>(sizeof(rtnexthop)) &&
                       hop->rtnh_len >= sizeof(rtnexthop) && hop->rtnh_len <= left) {
                    if (!(hop->rtnh_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN))) {
                        result.interfaces.push_back(hop->rtnh_ifindex);
                    }
                    left -= RTNH_ALIGN(hop->rtnh_len);
                    hop = reinterpret_cast<const rtnexthop*>(reinterpret_cast<const char*>(hop) +
                                                             RTNH_ALIGN(hop->rtnh_len));
                }
                break;
            }
            default:
                break;
        }
    }
    if (table != RT_TABLE_MAIN) return std::nullopt;
    return result;
}

uint32_t evaluate(const std::map<int, unsigned>& links, const std::vector<DefaultRoute>& routes) {
    const auto usable = [&](int index) {
        const auto link = links.find(index);
        if (link == links.end()) return false;
        const unsigned flags = link->second;
        return (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
    };
    for (const auto& route : routes) {
        if (route.viaNexthopObject && route.interfaces.empty()) return kReachabilityFlagReachable;
        for (int index : route.interfaces) {
            if (usable(index)) return kReachabilityFlagReachable;
        }
    }
    return 0;
}

bool isChangeMessage(uint16_t type) {
    return type == RTM_NEWLINK || type == RTM_DELLINK || type == RTM_NEWROUTE ||
           type == RTM_DELROUTE;
}

}  // namespace

std::unique_ptr<NetlinkSource> makeNetlinkRouteSocket() {
    return std::make_unique<NetlinkRouteSocket>();
}

ReachabilityMonitor::ReachabilityMonitor() : ReachabilityMonitor(makeNetlinkRouteSocket()) {}

ReachabilityMonitor::ReachabilityMonitor(std::unique_ptr<NetlinkSource> source)
    : source_(std::move(source)) {}

ReachabilityMonitor::~ReachabilityMonitor() {
    stop();
}

std::optional<Error> ReachabilityMonitor::start() {
    std::lock_guard guard(mutex_);
    if (running_) return std::nullopt;
    // A closed source cannot be opened again.
    if (stopped_) return Error(kPosixErrorDomain, EALREADY, "The monitor was stopped");
    if (auto error = source_->open()) return error;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return std::nullopt;
}

void ReachabilityMonitor::stop() {
    bool close = false;
    {
        std::lock_guard guard(mutex_);
        close = running_;
        running_ = false;
        stopped_ = stopped_ || close;
    }
    if (close) source_->close();
    std::lock_guard guard(joinMutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // stopped from a listener: the loop ends on its own
    } else if (ProcessExit::isClosed()) {
        thread_.detach();  // it may be parked for good
    } else {
        thread_.join();
    }
}

bool ReachabilityMonitor::isRunning() const {
    std::lock_guard guard(mutex_);
    return running_ && !ended_;
}

uint64_t ReachabilityMonitor::addListener(Listener listener) {
    std::lock_guard guard(mutex_);
    const uint64_t token = nextToken_++;
    listeners_.emplace(token, std::move(listener));
    return token;
}

void ReachabilityMonitor::removeListener(uint64_t token) {
    std::lock_guard guard(mutex_);
    listeners_.erase(token);
}

void ReachabilityMonitor::setDiagnosticHandler(DiagnosticHandler handler) {
    std::lock_guard guard(mutex_);
    diagnostic_ = std::move(handler);
}

std::optional<uint32_t> ReachabilityMonitor::flags() const {
    std::lock_guard guard(mutex_);
    return flags_;
}

bool ReachabilityMonitor::waitForFirstReport(Duration timeout) const {
    std::unique_lock lock(mutex_);
    reported_.wait_for(lock, timeout, [this] { return delivered_ || ended_; });
    return delivered_;
}

void ReachabilityMonitor::report(uint32_t flags) {
    std::vector<Listener> listeners;
    {
        std::lock_guard guard(mutex_);
        flags_ = flags;
        for (const auto& [token, listener] : listeners_) listeners.push_back(listener);
    }
    for (const auto& listener : listeners) listener(flags);
    {
        std::lock_guard guard(mutex_);
        delivered_ = true;
    }
    reported_.notify_all();
}

void ReachabilityMonitor::diagnose(const Error& error) {
    DiagnosticHandler handler;
    {
        std::lock_guard guard(mutex_);
        handler = diagnostic_;
    }
    if (handler) handler(error);
}

void ReachabilityMonitor::run() {
    ::pthread_setname_np(::pthread_self(), "skald-reach");
    enum class Phase { Idle, Links, Routes };
    Phase phase = Phase::Idle;
    bool stale = true;
    bool interrupted = false;
    uint32_t sequence = 0;
    const uint32_t port = source_->portId();
    std::map<int, unsigned> links;
    std::map<int, unsigned> dumpedLinks;
    std::vector<DefaultRoute> dumpedRoutes;

    const auto request = [&](uint16_t type) {
        if (++sequence == 0) ++sequence;  // 0 marks messages nobody asked for
        if (auto error = source_->send(dumpRequest(type, sequence))) {
            diagnose(*error);
            return false;
        }
        return true;
    };

    for (;;) {
        if (phase == Phase::Idle && stale) {
            stale = false;
            interrupted = false;
            dumpedLinks.clear();
            phase = request(RTM_GETLINK) ? Phase::Links : Phase::Idle;
        }
        auto received = source_->receive();
        if (received.closed) break;
        if (received.error) {
            diagnose(*received.error);
            break;
        }
        if (received.overrun) {
            // The dump under way may have lost its replies: start over.
            phase = Phase::Idle;
            stale = true;
            continue;
        }
        auto left = static_cast<unsigned>(received.data.size());
        for (auto* header = reinterpret_cast<const nlmsghdr*>(received.data.data());
             NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_pid == port && header->nlmsg_seq != 0) {
                // A reply to us; replies to an abandoned dump are dropped.
                if (phase == Phase::Idle || header->nlmsg_seq != sequence) continue;
            } else {
                if (isChangeMessage(header->nlmsg_type)) stale = true;
                continue;
            }
            if (header->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
            switch (header->nlmsg_type) {
                case NLMSG_ERROR: {
                    int code = EPROTO;
                    if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                        code = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
                    }
                    diagnose(Error::posix(code, "The route dump failed"));
                    phase = Phase::Idle;
                    break;
                }
                case NLMSG_DONE:
                    if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                        int status = 0;
                        std::memcpy(&status, NLMSG_DATA(header), sizeof status);
                        if (status < 0) interrupted = true;
                    }
                    if (interrupted) {
                        phase = Phase::Idle;
                        stale = true;
                    } else if (phase == Phase::Links) {
                        links = dumpedLinks;
                        dumpedRoutes.clear();
                        phase = request(RTM_GETROUTE) ? Phase::Routes : Phase::Idle;
                    } else {
                        phase = Phase::Idle;
                        const uint32_t flags = evaluate(links, dumpedRoutes);
                        ProcessExit::runOrPark([&] { report(flags); });
                    }
                    break;
                case RTM_NEWLINK:
                    if (phase == Phase::Links &&
                        header->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
                        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
                        dumpedLinks[link->ifi_index] = link->ifi_flags;
                    }
                    break;
                case RTM_NEWROUTE:
                    if (phase == Phase::Routes) {
                        if (auto route = parseDefaultRoute(header)) dumpedRoutes.push_back(*route);
                    }
                    break;
                default:
                    break;
            }
            // The reply changed phase mid-datagram: the rest belongs to the old request.
            if (phase == Phase::Idle) break;
        }
    }

    {
        std::lock_guard guard(mutex_);
        ended_ = true;
    }
    reported_.notify_all();
}

}  // namespace skald::platform
