#pragma once

// AcquireNotify: BlueZ hands a characteristic's notifications out on a socket
// of their own (SOCK_SEQPACKET, one notification per read) instead of as
// PropertiesChanged signals through the bus daemon: two hops and two D-Bus
// decodes fewer per notification. BlueZ offers it (the NotifyAcquired
// property) on characteristics that notify, to one client at a time and only
// while nobody uses StartNotify there. The client releases it by closing the
// socket; BlueZ hangs the socket up when the link ends.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace SimpleBLE::detail {

class Central;

// Asks BlueZ for the notifications of the characteristic at `path`. Returns
// the socket (the caller owns it), or -1 when BlueZ refuses (a BlueZ without
// AcquireNotify, or StartNotify in use there): the caller falls back to
// StartNotify. Other failures throw CallError.
int acquireNotify(Central& central, const std::string& path);

enum class SocketRead { Got, Nothing, Gone };

// Reads one notification from an acquired socket into `value` without
// waiting, through `buffer` (kept by the caller, sized at the first read):
// Got, Nothing (none waiting), or Gone (hung up: the link ended, or the
// socket failed).
SocketRead readAcquired(int fd, std::vector<uint8_t>& buffer, std::vector<uint8_t>& value);

}  // namespace SimpleBLE::detail
