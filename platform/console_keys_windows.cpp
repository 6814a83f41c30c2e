// The console key test on the Windows console: the pending input events are looked at, never
// taken out of the queue.
#include <windows.h>

#include <cassert>
#include <vector>

#include "platform/console_keys.h"
#include "platform/key_rule.h"

namespace tavorin {

namespace {
// The process's one console input device, opened at the first test.
struct Console {
  bool tried = false;
  HANDLE input = INVALID_HANDLE_VALUE;
  bool in_use = false;  // a ConsoleKeys exists
};
Console console;

KeyEvent FromRecord(const KEY_EVENT_RECORD& k) {
  KeyEvent e;
  DWORD state = k.dwControlKeyState;
  e.key_down = k.bKeyDown != FALSE;
  e.character = k.uChar.AsciiChar;
  e.scan_code = k.wVirtualScanCode;
  e.enhanced = (state & ENHANCED_KEY) != 0;
  e.alt = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  e.ctrl = (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  e.shift = (state & SHIFT_PRESSED) != 0;
  e.num_lock = (state & NUMLOCK_ON) != 0;
  return e;
}
}  // namespace

ConsoleKeys::ConsoleKeys() {
  assert(!console.in_use && "one ConsoleKeys per process");
  console.in_use = true;
}

bool ConsoleKeys::KeyPressed() {
  if (!console.tried) {
    console.tried = true;
    console.input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  }
  if (console.input == INVALID_HANDLE_VALUE)
    return false;
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(console.input, &count) || count == 0)
    return false;
  std::vector<INPUT_RECORD> records(count);
  DWORD seen = 0;
  if (!PeekConsoleInputA(console.input, records.data(), count, &seen))
    return false;
  for (DWORD i = 0; i < seen; ++i) {
    if (records[i].EventType == KEY_EVENT && IsKeyPress(FromRecord(records[i].Event.KeyEvent))) {
      return true;
    }
  }
  return false;
}

ConsoleKeys::~ConsoleKeys() {
  if (console.input != INVALID_HANDLE_VALUE)
    CloseHandle(console.input);
  console = Console{};
}

}  // namespace tavorin
