#include "AcquiredNotify.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <utility>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezNames.h"
#include "Central.h"

namespace SimpleBLE::detail {

namespace {
// A notification is at most an ATT MTU (a 16-bit number) less 3 bytes.
constexpr size_t kLargestNotification = 65535;
}  // namespace

int acquireNotify(Central& central, const std::string& path) {
    // The reply is read on the central's event thread; a socket that arrives
    // after this call gave up is closed with the last reference.
    struct Socket {
        int fd = -1;
        ~Socket() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };
    auto socket = std::make_shared<Socket>();
    try {
        central.call(
            path, kCharacteristicInterface, "AcquireNotify",
            [](sdbus::Message& msg) { msg << std::map<std::string, sdbus::Variant>{}; },
            [socket](sdbus::MethodReply& reply) {
                sdbus::UnixFd fd;
                uint16_t mtu = 0;
                reply >> fd >> mtu;
                socket->fd = fd.release();
            },
            kCallTimeout);
    } catch (const CallError& e) {
        if (e.name == "org.bluez.Error.NotSupported" || e.name == "org.bluez.Error.NotPermitted" ||
            e.name == "org.freedesktop.DBus.Error.UnknownMethod") {
            return -1;
        }
        throw;
    }
    if (socket->fd < 0) {
        throw CallError{"org.bluez.Error.Failed", "AcquireNotify answered without a socket"};
    }
    return std::exchange(socket->fd, -1);
}

SocketRead readAcquired(int fd, std::vector<uint8_t>& buffer, std::vector<uint8_t>& value) {
    if (buffer.size() < kLargestNotification) {
        buffer.resize(kLargestNotification);
    }
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            value.assign(buffer.begin(), buffer.begin() + n);
            return SocketRead::Got;
        }
        if (n == 0) {
            // The end of the stream, or an empty notification: only a hang-up says which.
            pollfd p{fd, POLLRDHUP, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) {
                return SocketRead::Gone;
            }
            value.clear();
            return SocketRead::Got;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? SocketRead::Nothing : SocketRead::Gone;
    }
}

}  // namespace SimpleBLE::detail
