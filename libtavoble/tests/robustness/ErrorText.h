#pragma once

// The library keeps one last-error text for the whole process, as its
// interface promises, so a thread that reads it while another thread's call
// fails reads bytes that are being written. The library serialises writers and
// never writes the buffer's last byte, so a reader always finds a terminator
// and at worst gets a mix of two texts. These tests read it from many threads
// on purpose; the read is kept out of ThreadSanitizer's view, and everything
// else stays in it.

#include <string>

#include "tavoble.h"

namespace robustness {

#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("thread")))
#endif
inline std::string
LastErrorTextNow() {
    const char* text = TAVOBLE_GetLastErrorText();
    std::string copy;
    for (const char* p = text; *p != '\0'; ++p) {
        copy.push_back(*p);
    }
    return copy;
}

}  // namespace robustness
