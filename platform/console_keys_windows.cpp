// The console key test on the Windows console: the pending input events are looked at, never
// taken out of the queue.
//
// While the relay waits, the console's QuickEdit mode is off: a click in the window would
// otherwise start a selection that holds every write to the console, and so the main thread,
// until it ends. The mode the console had is put back when the wait ends, and when Ctrl+C,
// Ctrl+Break or closing the window ends the process.
#include <windows.h>

#include <atomic>
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
  bool in_use = false;                    // a ConsoleKeys exists
  DWORD found_mode = 0;                   // the input mode before QuickEdit was turned off
  std::atomic<bool> mode_changed{false};  // read on the system's thread too
};
Console console;

void GiveModeBack() {
  if (console.mode_changed.exchange(false))
    SetConsoleMode(console.input, console.found_mode);
}

// Runs on a thread of the system's when the console is to end the process; the process then
// ends as it would have without this handler.
BOOL WINAPI OnConsoleEnd(DWORD) {
  GiveModeBack();
  return FALSE;
}

void TurnQuickEditOff() {
  DWORD mode = 0;
  if (!GetConsoleMode(console.input, &mode) || (mode & ENABLE_QUICK_EDIT_MODE) == 0)
    return;
  console.found_mode = mode;
  const DWORD waiting =
      (mode & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) | ENABLE_EXTENDED_FLAGS;
  if (SetConsoleMode(console.input, waiting)) {
    console.mode_changed = true;
    SetConsoleCtrlHandler(OnConsoleEnd, TRUE);
  }
}

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

size_t ConsoleKeys::KeysWaiting() {
  if (!console.tried) {
    console.tried = true;
    console.input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console.input != INVALID_HANDLE_VALUE)
      TurnQuickEditOff();
  }
  if (console.input == INVALID_HANDLE_VALUE)
    return 0;
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(console.input, &count) || count == 0)
    return 0;
  std::vector<INPUT_RECORD> records(count);
  DWORD seen = 0;
  if (!PeekConsoleInputA(console.input, records.data(), count, &seen))
    return 0;
  size_t keys = 0;
  for (DWORD i = 0; i < seen; ++i) {
    if (records[i].EventType == KEY_EVENT && IsKeyPress(FromRecord(records[i].Event.KeyEvent)))
      ++keys;
  }
  return keys;
}

// A process without a console is the usual reason for a failed open on Windows.
std::optional<std::string> ConsoleKeys::OpenProblem() const {
  return std::nullopt;
}

ConsoleKeys::~ConsoleKeys() {
  if (console.mode_changed) {
    SetConsoleCtrlHandler(OnConsoleEnd, FALSE);
    GiveModeBack();
  }
  if (console.input != INVALID_HANDLE_VALUE)
    CloseHandle(console.input);
  console.tried = false;
  console.input = INVALID_HANDLE_VALUE;
  console.in_use = false;
}

}  // namespace tavorin
