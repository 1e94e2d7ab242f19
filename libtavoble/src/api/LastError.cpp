#include "LastError.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace Tavo::BLE {
namespace {

constexpr std::size_t kLastErrorSize = 256;

// Zero-initialised at load, so it reads as "" before the first failure. The
// last byte is never written, so a reader always finds a terminator even while
// another thread replaces the text.
char lastErrorText[kLastErrorSize];

// Serialises writers, so two failures on two threads never interleave bytes.
std::mutex& WriterMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void SetLastErrorText(const char* text) noexcept {
    if (text == nullptr) {
        text = "";
    }
    std::size_t size = std::strlen(text) + 1;
    if (size > kLastErrorSize) {
        size = kLastErrorSize;
    }
    std::lock_guard<std::mutex> lock(WriterMutex());
    std::snprintf(lastErrorText, size, "%s", text);
}

const char* LastErrorText() noexcept {
    return lastErrorText;
}

}  // namespace Tavo::BLE
