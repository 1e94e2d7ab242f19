#pragma once

// One characteristic's notifications on a bus connection and a thread of
// their own. The thread woken by the kernel for a notification is the one
// that runs its callback: nothing is handed between threads on the way, and a
// callback that takes long holds up only its own characteristic, never the
// central's calls or another device.
//
// A callback that has not returned after a watchdog tick or two no longer
// blocks the reading: another thread takes over the connection and calls the
// callback with the next notifications, while the first one is still inside
// it. So a callback may run on two threads at once; one that cannot take that
// must serialise itself (libtavoble's handler only queues in that case).

#include <simpleble/SimpleBLE.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
    // How long closing waits for a running callback before leaving it to
    // return by itself.
    static constexpr std::chrono::milliseconds kCallbackPatience{200};
    // Threads of one channel inside its callback at most; beyond this a stuck
    // callback is not given another thread.
    static constexpr int kMaxCalling = 4;

    // A new connection with its match for `path` in place, and its thread;
    // null when there is no bus to connect to.
    static std::shared_ptr<NotificationChannel> open(const std::string& path,
                                                     std::shared_ptr<Subscription> sub);
    NotificationChannel(const NotificationChannel&) = delete;
    NotificationChannel& operator=(const NotificationChannel&) = delete;
    ~NotificationChannel();

    // No callback begins after this; one that runs is waited for up to
    // kCallbackPatience (if `wait`), unless it is the caller. The connection
    // goes with the last thread.
    void close(bool wait = true);
    // The watchdog's tick: when the reading thread has been inside one
    // callback since the previous tick, another thread takes over reading.
    // True when a callback is running.
    bool look();

  private:
    NotificationChannel(std::string path, std::shared_ptr<Subscription> sub);

    void start();  // a new reading thread; mutex_ held
    void run(uint64_t generation);
    // Reads until a notification is in pending_ or the connection has none;
    // false when the connection is lost. Unread ones wait on the bus.
    bool readAvailable();
    void onSignal(sdbus::Message& msg);
    void call(uint64_t generation, ByteArray bytes);
    bool wait();  // for the bus or close(); false when the connection is lost

    const std::string path_;
    const std::shared_ptr<Subscription> sub_;
    int wakeFd_ = -1;

    // The connection, read by one thread at a time.
    std::mutex connMutex_;
    std::unique_ptr<sdbus::IConnection> conn_;

    std::mutex mutex_;  // everything below; never held while calling out
    std::condition_variable returned_;
    std::deque<ByteArray> pending_;
    bool stopping_ = false;
    uint64_t generations_ = 0;  // reading threads started
    uint64_t leader_ = 0;       // the generation that reads now
    bool leaderInCall_ = false;
    uint64_t calls_ = 0;        // callbacks begun
    uint64_t callsAtLook_ = 0;  // calls_ at the watchdog's previous tick
    int calling_ = 0;           // threads inside the callback now
};

}  // namespace SimpleBLE::detail
