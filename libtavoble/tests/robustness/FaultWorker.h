#pragma once

// The worker side of the fault matrix: runs in a child process forked before
// the library's first call, opens its rows one after the other (or side by
// side as threads), streams, and reports what it saw in a file. It never
// touches gtest.

#include <cstddef>
#include <string>
#include <vector>

#include "FaultTable.h"

namespace robustness {

// Plays `rows`, writes what it saw to `report`, then writes a byte to
// `readyFd` and keeps its devices open until a byte arrives on `goFd`.
// Returns the number of closes that failed (90: the pipes broke).
int RunWorker(const std::vector<const Row*>& rows, bool sideBySide, const std::string& report,
              int readyFd, int goFd);

// Up to `size` bytes of `text`, to its first NUL, as hex digits.
std::string Hex(const char* text, std::size_t size);

}  // namespace robustness
