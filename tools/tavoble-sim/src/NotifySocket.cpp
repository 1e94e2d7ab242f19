#include "NotifySocket.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tavosim {

NotifySocket::~NotifySocket() {
    close();
}

int NotifySocket::open(sd_event* loop, std::function<void()> onHangUp) {
    close();
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) < 0) {
        return -1;
    }
    // The client only reads; our end is readable only at its hang-up (or if it writes,
    // which onIo discards).
    const int r =
        sd_event_add_io(loop, &source_, pair[0], EPOLLIN | EPOLLRDHUP, &NotifySocket::onIo, this);
    if (r < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        errno = -r;
        return -1;
    }
    // A hang-up is handled before further bus messages of the same turn, so a client that
    // closes and then calls StartNotify finds the characteristic released.
    sd_event_source_set_priority(source_, SD_EVENT_PRIORITY_IMPORTANT);
    fd_ = pair[0];
    onHangUp_ = std::move(onHangUp);
    return pair[1];
}

bool NotifySocket::clientHolds() const {
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 0 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) == 0;
}

bool NotifySocket::writable() const {
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

NotifySocket::Sent NotifySocket::send(const uint8_t* data, size_t size) {
    if (fd_ < 0) {
        return Sent::Gone;
    }
    for (;;) {
        if (::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return Sent::Ok;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? Sent::Full
                                                                           : Sent::Gone;
    }
}

void NotifySocket::close() {
    if (source_ != nullptr) {
        sd_event_source_disable_unref(source_);
        source_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    onHangUp_ = nullptr;
}

int NotifySocket::onIo(sd_event_source* /*source*/, int fd, uint32_t revents, void* userdata) {
    auto* self = static_cast<NotifySocket*>(userdata);
    bool gone = (revents & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0;
    uint8_t discard[512];
    while (!gone) {
        const ssize_t n = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
        if (n > 0) {
            continue;
        }
        gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        break;
    }
    if (gone) {
        // The handler closes this socket; keep it alive past that call.
        std::function<void()> onHangUp = std::move(self->onHangUp_);
        self->close();
        if (onHangUp) {
            onHangUp();
        }
    }
    return 0;
}

}  // namespace tavosim
