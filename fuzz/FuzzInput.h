#pragma once

// Reads a fuzzer's input front to back; past the end everything reads as zero.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tavo::BLE::Fuzzing {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return position_ >= size_; }

    uint8_t Byte() { return Empty() ? uint8_t{0} : data_[position_++]; }

    std::string Bytes(size_t count) {
        const size_t available = Empty() ? 0 : size_ - position_;
        const size_t taken = count < available ? count : available;
        std::string out(reinterpret_cast<const char*>(data_ + position_), taken);
        position_ += taken;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace Tavo::BLE::Fuzzing
