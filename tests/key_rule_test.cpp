// The key rule over synthetic console key events.
#include <gtest/gtest.h>

#include "platform/key_rule.h"

namespace tavorin {
namespace {

KeyEvent Key(uint16_t scan_code, char character = 0) {
  KeyEvent e;
  e.scan_code = scan_code;
  e.character = character;
  return e;
}
KeyEvent With(KeyEvent e, bool alt, bool ctrl, bool shift) {
  e.alt = alt;
  e.ctrl = ctrl;
  e.shift = shift;
  return e;
}

TEST(KeyRule, KeysWithACharacterCountAndReleasesNever) {
  EXPECT_TRUE(IsKeyPress(Key(scan::kA, 'a')));
  EXPECT_TRUE(IsKeyPress(Key(scan::kEnter, '\r')));
  EXPECT_TRUE(IsKeyPress(Key(scan::kEscape, 27)));
  for (KeyEvent release : {Key(scan::kA, 'a'), Key(scan::kF1)}) {
    release.key_down = false;
    EXPECT_FALSE(IsKeyPress(release)) << release.scan_code;
  }
}

TEST(KeyRule, FunctionKeysCountWithAnyModifier) {
  for (uint16_t s : {scan::kF1, uint16_t(0x40), scan::kF10, scan::kF11, scan::kF12}) {
    for (int m = 0; m < 8; ++m) {
      EXPECT_TRUE(IsKeyPress(With(Key(s), m & 1, m & 2, m & 4))) << s << " modifiers " << m;
    }
  }
}

TEST(KeyRule, DedicatedArrowsAlwaysKeypadOnesOnlyWithNumLockOffAloneOrWithCtrl) {
  for (uint16_t s : {scan::kHome, scan::kUp, scan::kPageUp, scan::kLeft, scan::kRight, scan::kEnd,
                     scan::kDown, scan::kPageDown, scan::kInsert, scan::kDelete}) {
    KeyEvent dedicated = Key(s);
    dedicated.enhanced = true;
    dedicated.num_lock = true;
    EXPECT_TRUE(IsKeyPress(With(dedicated, true, false, false))) << s;
    EXPECT_TRUE(IsKeyPress(With(dedicated, false, false, true))) << s;

    KeyEvent keypad = Key(s);
    EXPECT_TRUE(IsKeyPress(keypad)) << s;
    EXPECT_TRUE(IsKeyPress(With(keypad, false, true, false))) << s;
    EXPECT_FALSE(IsKeyPress(With(keypad, true, false, false))) << "Alt+keypad enters a code";
    keypad.num_lock = true;  // a digit then, which carries its character when it counts
    EXPECT_FALSE(IsKeyPress(keypad)) << s;
  }
  EXPECT_FALSE(IsKeyPress(Key(scan::kKeypad5))) << "keypad 5 with Num Lock off";
}

TEST(KeyRule, AltCombinationsCtrl2AndShiftTab) {
  for (uint16_t s :
       {scan::kQ, scan::kM, scan::kDigit1, scan::kDigit0, scan::kMinus, scan::kEquals,
        scan::kLeftBracket, scan::kSemicolon, scan::kQuote, scan::kBackquote, scan::kComma,
        scan::kSlash, scan::kEscape, scan::kBackspace, scan::kTab, scan::kEnter}) {
    EXPECT_TRUE(IsKeyPress(With(Key(s), true, false, false))) << "Alt+" << s;
    EXPECT_TRUE(IsKeyPress(With(Key(s), true, true, true))) << "Alt decides first, " << s;
  }
  EXPECT_TRUE(IsKeyPress(With(Key(scan::kDigit2), false, true, false))) << "Ctrl+2";
  EXPECT_TRUE(IsKeyPress(With(Key(scan::kDigit2), false, true, true))) << "Ctrl before Shift";
  EXPECT_TRUE(IsKeyPress(With(Key(scan::kTab), false, true, false))) << "Ctrl+Tab";
  EXPECT_TRUE(IsKeyPress(With(Key(scan::kTab), false, false, true))) << "Shift+Tab";
  EXPECT_FALSE(IsKeyPress(With(Key(scan::kDigit1), false, true, false))) << "Ctrl+1";
  EXPECT_FALSE(IsKeyPress(With(Key(scan::kA), false, false, true))) << "no character";
}

TEST(KeyRule, LoneModifiersLocksAndSystemKeysNever) {
  for (uint16_t s :
       {scan::kLeftShift, scan::kRightShift, scan::kControl, scan::kAlt, scan::kCapsLock,
        scan::kNumLock, scan::kScrollLock, scan::kLeftWindows, scan::kRightWindows, scan::kMenu}) {
    for (int m = 0; m < 8; ++m) {
      EXPECT_FALSE(IsKeyPress(With(Key(s), m & 1, m & 2, m & 4))) << s << " modifiers " << m;
    }
  }
}

}  // namespace
}  // namespace tavorin
