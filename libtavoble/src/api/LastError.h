#pragma once

namespace Tavo::BLE {

// Stores the text of the latest failure (cut to 255 characters). Never throws.
void SetLastErrorText(const char* text) noexcept;

// The process-wide buffer; it reads as "" until the first failure.
const char* LastErrorText() noexcept;

}  // namespace Tavo::BLE
