#include "diag/IpThread.h"

#include "diag/IpHlpError.h"
#include "platform/HiddenWindow.h"

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex::diag {

namespace {

// Longest wait between two looks at the stop flag; Terminate() also wakes the
// thread at once through the eventfd.
constexpr int kWaitPeriodMs = 1000;
// One receive buffer; a larger batch is simply read in several rounds.
constexpr size_t kReceiveBufferSize = 16384;

bool IsRelevant(int kind, const nlmsghdr* h) {
    if (kind == TWaitingThread::kAddrChange)
        return h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR;
    return h->nlmsg_type == RTM_NEWROUTE || h->nlmsg_type == RTM_DELROUTE;
}

} // namespace

TWaitingThread::TWaitingThread(int kind, std::string text)
    : kind_(kind), text_(std::move(text)), alive_(std::make_shared<bool>(true)) {
    if (kind != kAddrChange && kind != kRouteChange)
        throw EIpHlpError(kind == 1 ? "NotifyAddrChange" : "NotifyRouteChange",
                          kErrorInvalidParameter);
    sock_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (sock_ < 0)
        throw EIpHlpError::OsError(ErrnoToIpHlp(errno));
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = kind == kAddrChange ? RTMGRP_IPV4_IFADDR : RTMGRP_IPV4_ROUTE;
    if (::bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        int err = errno;
        ::close(sock_);
        throw EIpHlpError::OsError(ErrnoToIpHlp(err));
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        int err = errno;
        ::close(sock_);
        throw EIpHlpError::OsError(ErrnoToIpHlp(err));
    }
    try {
        window_ = std::make_unique<HiddenWindow>();
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        // No thread (out of threads or memory): nothing is left open.
        ::close(sock_);
        ::close(wake_);
        throw;
    }
}

TWaitingThread::~TWaitingThread() {
    *alive_ = false;
    Terminate();
    if (thread_.joinable())
        thread_.join();
    // The thread has ended, so nothing posts any more; dropping the window
    // drops what is still queued.
    window_.reset();
    ::close(sock_);
    ::close(wake_);
}

void TWaitingThread::Terminate() {
    stop_ = true;
    uint64_t one = 1;
    ssize_t n = ::write(wake_, &one, sizeof one);
    (void)n; // a full counter already wakes the thread
}

void TWaitingThread::Run() {
    std::vector<char> buf(kReceiveBufferSize);
    auto alive = alive_;
    while (!stop_) {
        pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_, POLLIN, 0}};
        int n = ::poll(fds, 2, kWaitPeriodMs);
        if (n < 0 && errno != EINTR)
            break;
        if (stop_)
            break;
        if (n <= 0 || !(fds[0].revents & (POLLIN | POLLERR)))
            continue;
        bool changed = false;
        bool failed = false;
        for (;;) {
            ssize_t got = ::recv(sock_, buf.data(), buf.size(), 0);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                // An overrun lost messages: something changed all the same.
                if (errno == ENOBUFS)
                    changed = true;
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    failed = true;
                break;
            }
            int len = static_cast<int>(got);
            for (auto* h = reinterpret_cast<const nlmsghdr*>(buf.data()); NLMSG_OK(h, len);
                 h = NLMSG_NEXT(h, len))
                if (IsRelevant(kind_, h))
                    changed = true;
        }
        if (changed) {
            ++posted_;
            window_->PostCall([this, alive] {
                // The handler may destroy us: it runs from copies, so that
                // neither it nor the text it was given goes with us.
                if (!*alive || !OnChange)
                    return;
                auto handler = OnChange;
                const std::string text = text_;
                handler(*this, text);
            });
        }
        if (failed)
            break;
    }
    finished_ = true;
    window_->PostCall([this, alive] {
        if (!*alive || !OnTerminate)
            return;
        auto handler = OnTerminate;
        handler(*this, kind_);
    });
}

} // namespace qordex::diag
