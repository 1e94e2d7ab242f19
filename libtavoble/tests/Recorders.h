#pragma once

// What the application's callbacks received, kept for the test to inspect.
// C callbacks carry no user data, so the recorders are process-wide.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tavoble.h"

namespace e2e {

struct Scan {
    TAVOBLE_HANDLE handle;
    std::vector<float> values;
};

class ScanRecorder {
  public:
    static ScanRecorder& Instance();
    static void Callback(TAVOBLE_HANDLE handle, float* sample, uint32_t count);

    std::vector<Scan> Take();  // everything received so far, emptying the record
    std::size_t Count();
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Scan> scans_;
};

class DiscoveryRecorder {
  public:
    static DiscoveryRecorder& Instance();
    static void Callback(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count);

    std::vector<std::vector<std::string>> Batches();
    bool WaitFor(const std::function<bool(const std::vector<std::vector<std::string>>&)>& ready,
                 std::chrono::milliseconds timeout);
    void Clear();
    // Lists handed over as a null pointer (every list, an empty one too,
    // must come in a buffer).
    int NullLists();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> batches_;
    int nullLists_ = 0;
};

std::string LastError();

}  // namespace e2e
