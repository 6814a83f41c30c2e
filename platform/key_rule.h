// Which console key events count as a key press: a key-down event that carries a character,
// or one of the keys that have a two-byte extended code.
#pragma once

#include <cstdint>

namespace tavorin {

// A console key event as the Windows console reports it, reduced to what the rule looks at.
struct KeyEvent {
  bool key_down = true;
  char character = 0;      // the 8-bit character, 0 for none
  uint16_t scan_code = 0;  // the key's position (set 1), named as on a US keyboard
  bool enhanced = false;   // a dedicated key rather than its keypad twin
  bool alt = false;
  bool ctrl = false;
  bool shift = false;
  bool num_lock = false;
};

// Scan codes of the keys the rule names.
namespace scan {
inline constexpr uint16_t kEscape = 0x01, kDigit1 = 0x02, kDigit2 = 0x03, kDigit0 = 0x0B;
inline constexpr uint16_t kMinus = 0x0C, kEquals = 0x0D, kBackspace = 0x0E, kTab = 0x0F;
inline constexpr uint16_t kQ = 0x10, kP = 0x19, kLeftBracket = 0x1A, kRightBracket = 0x1B;
inline constexpr uint16_t kEnter = 0x1C, kControl = 0x1D, kA = 0x1E, kL = 0x26;
inline constexpr uint16_t kSemicolon = 0x27, kQuote = 0x28, kBackquote = 0x29, kLeftShift = 0x2A;
inline constexpr uint16_t kZ = 0x2C, kM = 0x32, kComma = 0x33, kPeriod = 0x34, kSlash = 0x35;
inline constexpr uint16_t kRightShift = 0x36, kAlt = 0x38, kCapsLock = 0x3A;
inline constexpr uint16_t kF1 = 0x3B, kF10 = 0x44, kNumLock = 0x45, kScrollLock = 0x46;
inline constexpr uint16_t kHome = 0x47, kUp = 0x48, kPageUp = 0x49, kLeft = 0x4B, kKeypad5 = 0x4C;
inline constexpr uint16_t kRight = 0x4D, kEnd = 0x4F, kDown = 0x50, kPageDown = 0x51;
inline constexpr uint16_t kInsert = 0x52, kDelete = 0x53, kF11 = 0x57, kF12 = 0x58;
inline constexpr uint16_t kLeftWindows = 0x5B, kRightWindows = 0x5C, kMenu = 0x5D;
}  // namespace scan

bool IsKeyPress(const KeyEvent& event);

}  // namespace tavorin
