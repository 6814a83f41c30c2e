#include "platform/key_rule.h"

namespace tavorin {

namespace {

bool IsFunctionKey(uint16_t s) {
  return (s >= scan::kF1 && s <= scan::kF10) || s == scan::kF11 || s == scan::kF12;
}

// Home, End, Page Up, Page Down, the arrows, Insert and Delete; keypad 5 is not among them.
bool IsNavigationKey(uint16_t s) {
  switch (s) {
    case scan::kHome:
    case scan::kUp:
    case scan::kPageUp:
    case scan::kLeft:
    case scan::kRight:
    case scan::kEnd:
    case scan::kDown:
    case scan::kPageDown:
    case scan::kInsert:
    case scan::kDelete:
      return true;
    default:
      return false;
  }
}

// Keys that have an extended code with Alt held.
bool HasAltCode(uint16_t s) {
  if ((s >= scan::kDigit1 && s <= scan::kDigit0) || (s >= scan::kQ && s <= scan::kP) ||
      (s >= scan::kA && s <= scan::kL) || (s >= scan::kZ && s <= scan::kM)) {
    return true;
  }
  switch (s) {
    case scan::kMinus:
    case scan::kEquals:
    case scan::kLeftBracket:
    case scan::kRightBracket:
    case scan::kSemicolon:
    case scan::kQuote:
    case scan::kBackquote:
    case scan::kComma:
    case scan::kPeriod:
    case scan::kSlash:
    case scan::kEscape:
    case scan::kBackspace:
    case scan::kTab:
    case scan::kEnter:
      return true;
    default:
      return false;
  }
}

bool HasExtendedCode(const KeyEvent& e) {
  if (IsFunctionKey(e.scan_code))
    return true;
  if (IsNavigationKey(e.scan_code)) {
    if (e.enhanced)
      return true;  // the dedicated keys, with any modifier
    // The keypad ones with Num Lock off, alone or with Ctrl.
    return !e.num_lock && !e.alt && (e.ctrl || !e.shift);
  }
  // Alt decides before Ctrl, and Ctrl before Shift.
  if (e.alt)
    return HasAltCode(e.scan_code);
  if (e.ctrl)
    return e.scan_code == scan::kTab || e.scan_code == scan::kDigit2;
  if (e.shift)
    return e.scan_code == scan::kTab;
  return false;
}

}  // namespace

bool IsKeyPress(const KeyEvent& event) {
  return event.key_down && (event.character != 0 || HasExtendedCode(event));
}

}  // namespace tavorin
