#pragma once

// One characteristic's notifications on a bus connection and a thread of
// their own: the reader. The thread woken by the kernel for a notification
// reads it off the connection in one piece and runs the subscription's
// callback with it, one notification at a time and in order; it never wakes
// the central's event thread, and a callback that takes long holds up only
// its own characteristic (whose later values wait, in order, on the bus).
// The callback is expected to return promptly: closing waits for it.

#include <simpleble/SimpleBLE.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Central.h"

namespace sdbus {
class IConnection;
class Message;
}  // namespace sdbus

namespace SimpleBLE::detail {

class NotificationChannel final : public std::enable_shared_from_this<NotificationChannel> {
  public:
    // A new connection with its match for `path` in place (values that come
    // from now on wait on it); null when there is no bus to connect to. With
    // `socket` (AcquireNotify's, owned from here on) the values are read from
    // there instead, one per read, past the bus daemon.
    static std::shared_ptr<NotificationChannel> open(const std::string& path,
                                                     std::shared_ptr<Subscription> sub,
                                                     int socket = -1);
    NotificationChannel(const NotificationChannel&) = delete;
    NotificationChannel& operator=(const NotificationChannel&) = delete;
    ~NotificationChannel();

    // Starts the reading thread.
    void start();
    // No callback begins after this; one that runs has returned when it
    // returns, unless this is called from inside it or from the central's
    // event thread (which a callback may be waiting for). The connection goes
    // with the reading thread.
    void close();
    // The link went: the values already queued for this characteristic (sent
    // before the link went, on their way here) still reach the callback, in
    // order; then the reading thread leaves. Never waits (the central's event
    // thread calls it). close() afterwards stops it at once.
    void end();
    // True when it reads an acquired socket.
    bool acquired() const { return socket_ >= 0; }

  private:
    NotificationChannel(std::string path, std::shared_ptr<Subscription> sub);

    void run();
    // Reads until a notification is in value_ or the connection has none;
    // false when the connection is lost.
    bool readOne();
    void onSignal(sdbus::Message& msg);
    void call();
    bool wait();  // for the bus or close(); false when the connection is lost

    const std::string path_;
    const std::shared_ptr<Subscription> sub_;
    int wakeFd_ = -1;
    int socket_ = -1;  // the acquired socket, or -1: the bus

    // The reading thread's alone once it runs: the connection and the value
    // its signal handler read (one message is processed per read, so there
    // is never more than one).
    std::unique_ptr<sdbus::IConnection> conn_;
    std::vector<uint8_t> value_;
    std::vector<uint8_t> buffer_;  // a socket read's buffer
    bool haveValue_ = false;

    std::mutex mutex_;  // the flags below; never held while calling out
    std::condition_variable returned_;
    bool stopping_ = false;
    bool ending_ = false;   // end(): what is queued, then leave
    bool calling_ = false;  // the callback runs now
};

}  // namespace SimpleBLE::detail
