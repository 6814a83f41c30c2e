#!/usr/bin/env bash
# The install tree: exactly the files the install promises, the unit naming the installed
# binary and accepted by systemd, and a man page that renders without a warning (the example
# settings file against the README's table: SettingsDocuments in counters_line_test.cpp).
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
. "$(dirname "$0")/install_tree.sh"
build=$1
source=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root/dest" cmake --install "$build" --prefix /usr >/dev/null
diff -u <(install_tree) <(cd "$root/dest" && find . ! -type d | sed 's|^\./||' | sort)
grep -qx 'ExecStart=/usr/bin/tavorin' "$root/dest/usr/lib/systemd/system/tavorin@.service"

warnings=$(gunzip -c "$root/dest/usr/share/man/man1/tavorin.1.gz" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is missing: the unit is not verified"
  exit 77
fi
# Installed under a prefix of its own, so that the binary the unit names is there.
cmake --install "$build" --prefix "$root/prefix" >/dev/null
MANPATH="$root/prefix/share/man" SYSTEMD_UNIT_PATH="$root/prefix/lib/systemd/system:" \
  systemd-analyze verify tavorin@check.service
