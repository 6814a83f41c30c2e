#!/usr/bin/env bash
# The layering the folders promise, which one include root cannot enforce by itself: the
# program over the engine over the platform, never an include back up; system differences
# behind the platform layer (no _WIN32 test and no system header above it, and within it none
# in a shared source file); no bare new or delete in the engine.
#   layering_test.sh SOURCE_DIR
set -uo pipefail
cd "$1"
status=0
fail() {
  echo "$1:"
  echo "$2" | sed 's/^/  /'
  status=1
}
found=$(grep -nE '#include "(relay|app)/' platform/*.h platform/*.cpp)
[ -z "$found" ] || fail "the platform layer includes the engine or the program" "$found"
found=$(grep -nE '#include "app/' relay/*.h relay/*.cpp)
[ -z "$found" ] || fail "the engine includes the program" "$found"
found=$(grep -nE '_WIN32' relay/* app/*)
[ -z "$found" ] || fail "a system test above the platform layer" "$found"
# Within it, a shared source leaves what differs to its _linux, _posix or _windows file.
found=$(grep -nE '#if.*_WIN32\b' $(ls platform/*.cpp | grep -vE '_(linux|posix|windows)\.cpp$'))
[ -z "$found" ] || fail "a system test in a shared platform source" "$found"
system_headers='sys/|windows|winsock|ws2|mswsock|iphlpapi|unistd|arpa/|netinet/|netdb|pthread|fcntl'
found=$(grep -nE "#include <($system_headers|poll\.h|signal\.h|termios)" relay/* app/*)
[ -z "$found" ] || fail "a system header above the platform layer" "$found"
found=$(grep -nP '^(?!\s*//).*(?<!= )\b(new|delete)\b(?!>)' relay/*.h relay/*.cpp |
  grep -v '#include <new>')
[ -z "$found" ] || fail "a new or delete expression in the engine" "$found"
exit $status
