#include "AmplifierClaim.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "ApiException.h"

#ifdef __linux__
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace Tavo::BLE {

#ifdef __linux__
namespace {

// A device of this process that is being closed releases its claim within
// about a second; a new open of the same amplifier waits that long for it.
constexpr auto kOwnClaimPatience = std::chrono::seconds(2);
constexpr auto kOwnClaimPoll = std::chrono::milliseconds(50);

// The claims this process holds, so a forked child can let go of them: the
// child owns none of the parent's amplifiers.
std::mutex claimsMutex;
std::set<int>& Claims() {
    static std::set<int>* claims = new std::set<int>;
    return *claims;
}

void LockClaims() {
    claimsMutex.lock();
}
void UnlockClaims() {
    claimsMutex.unlock();
}
void ReleaseClaimsInChild() {
    for (const int fd : Claims()) {
        ::close(fd);
    }
    Claims().clear();
    claimsMutex.unlock();
}

// FNV-1a: stable across builds and compilers, so every program names the same
// bus the same way.
uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

sockaddr_un ClaimAddress(const std::string& address, socklen_t& length) {
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string scope =
        bus != nullptr && *bus != '\0' ? bus : "unix:path=/run/dbus/system_bus_socket";
    char name[96];
    const int written =
        std::snprintf(name, sizeof name, "tavoble/%016llx/%s",
                      static_cast<unsigned long long>(Fnv1a(scope)), address.c_str());
    const std::size_t size =
        written < 0 ? 0 : std::min(static_cast<std::size_t>(written), sizeof name - 1);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    // Abstract: a leading zero byte, no file, gone with the last descriptor.
    std::memcpy(socketAddress.sun_path + 1, name, size);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    return socketAddress;
}

// The process listening on the claim, 0 when it cannot be told.
pid_t Holder(const sockaddr_un& socketAddress, socklen_t length) {
    // Non-blocking: a full backlog must not hold up the open.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return 0;
    }
    pid_t pid = 0;
    if (::connect(probe, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) {
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
            pid = credentials.pid;
        }
    }
    ::close(probe);
    return pid;
}

}  // namespace

std::unique_ptr<AmplifierClaim> AmplifierClaim::Take(const std::string& address) {
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers,
                   [] { pthread_atfork(&LockClaims, &UnlockClaims, &ReleaseClaimsInChild); });
    socklen_t length = 0;
    const sockaddr_un socketAddress = ClaimAddress(address, length);
    const auto deadline = std::chrono::steady_clock::now() + kOwnClaimPatience;
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return nullptr;  // no socket to claim with: as without claims
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0 &&
            ::listen(fd, 4) == 0) {
            std::lock_guard<std::mutex> lock(claimsMutex);
            Claims().insert(fd);
            return std::unique_ptr<AmplifierClaim>(new AmplifierClaim(address, fd));
        }
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE) {
            return nullptr;
        }
        const pid_t holder = Holder(socketAddress, length);
        if (holder == getpid() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kOwnClaimPoll);
            continue;
        }
        throw ApiException(holder > 0 ? "The amplifier is in use by another program (process " +
                                            std::to_string(holder) + ")."
                                      : std::string("The amplifier is in use by another program."),
                           ErrorCode::Session);
    }
}

AmplifierClaim::~AmplifierClaim() {
    std::lock_guard<std::mutex> lock(claimsMutex);
    if (Claims().erase(fd_) != 0) {
        ::close(fd_);
    }
}

#else

std::unique_ptr<AmplifierClaim> AmplifierClaim::Take(const std::string& address) {
    return std::unique_ptr<AmplifierClaim>(new AmplifierClaim(address, -1));
}

AmplifierClaim::~AmplifierClaim() = default;

#endif

}  // namespace Tavo::BLE
