// The socket that AcquireNotify hands a client: BlueZ keeps one end of a
// SOCK_SEQPACKET pair and writes each notification as one datagram, past the
// bus daemon. The client releases the notifications by closing its end;
// closing ours (the link ended) gives the client a hang-up.
#pragma once

#include <systemd/sd-event.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tavosim {

class NotifySocket {
  public:
    enum class Sent { Ok, Full, Gone };

    NotifySocket() = default;
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Creates the pair and watches our end; onHangUp runs on the loop when the
    // client closes its end. Returns the client's end, which the caller hands
    // over and closes, or -1 (errno set).
    int open(sd_event* loop, std::function<void()> onHangUp);
    bool isOpen() const { return fd_ >= 0; }
    // False once the client has closed its end (checked now, not on the loop).
    bool clientHolds() const;
    // Room for one more datagram in the client's queue.
    bool writable() const;
    // One notification. Full: the client's queue is full and it is lost, as
    // bluetoothd loses it.
    Sent send(const uint8_t* data, size_t size);
    void close();

  private:
    static int onIo(sd_event_source* source, int fd, uint32_t revents, void* userdata);

    int fd_ = -1;
    sd_event_source* source_ = nullptr;
    std::function<void()> onHangUp_;
};

}  // namespace tavosim
