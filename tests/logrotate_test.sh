#!/usr/bin/env bash
# The shipped /etc/logrotate.d/tavorin, run by logrotate itself on a tree shaped as systemd
# leaves the relays' directories (each /var/lib/tavorin/NAME a link to
# ../private/tavorin/NAME, the directory it names owned by the instance's user), with its paths moved below a temporary directory and a
# stand-in for systemctl that records its calls:
# - no log at all is no error;
# - a log with lines is moved to packets.txt.1 and no new one is made (the relay makes it when
#   it reopens); an empty log stays; an instance without a log is no error;
# - the log moved at one rotation is compressed at the next;
# - the relays are told to reopen once per rotation, however many logs moved, and only where
#   systemd runs; a failing systemctl fails nothing.
#   logrotate_test.sh SOURCE_DIR
set -euo pipefail
PATH=$PATH:/usr/sbin  # where logrotate is, which a user's PATH may lack
if ! command -v logrotate >/dev/null; then
  echo "logrotate is missing: the rotation is not tried"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The same file with every absolute path below $work (the test fails if one is left), after
# the global directive Debian's /etc/logrotate.conf has, which the file must override.
{
  echo create
  sed -e "s|/var/lib/tavorin/|$work/var/lib/tavorin/|" \
    -e "s|/run/systemd/system|$work/run/systemd/system|" "$1/packaging/tavorin.logrotate"
} >"$work/config"
left=$(grep -v '^#' "$work/config" | grep -oE "(^|[ '\"])/[a-z]+/[^ ]*" | grep -v "$work" || true)
[ -z "$left" ] || { echo "paths not moved below the test's directory: $left"; exit 1; }

mkdir "$work/bin"
# shellcheck disable=SC2016 # $* and $CALLS are the stand-in's
printf '#!/bin/sh\necho "systemctl $*" >>"$CALLS"\nexit ${SYSTEMCTL_STATUS:-0}\n' \
  >"$work/bin/systemctl"
chmod +x "$work/bin/systemctl"

lib=$work/var/lib
mkdir -p "$lib/private/tavorin/"{sip,sap,voip,idle}
chmod 700 "$lib/private"
mkdir "$lib/tavorin"
for name in sip sap voip idle; do ln -s "../private/tavorin/$name" "$lib/tavorin/$name"; done
if [ "$(id -u)" = 0 ]; then
  # A user of the relay's own, as DynamicUser=yes makes one.
  chown 61234:61234 "$lib"/private/tavorin/*
fi

failed=0
expect() {
  if [ "$2" != "$3" ]; then
    echo "FAILED $1: '$2', expected '$3'"
    failed=$((failed + 1))
  fi
}
# rotate SETUP: a forced rotation; SETUP is words: systemd (it runs), failing (systemctl fails).
rotate() {
  local status=0 systemctl_status=0
  rm -rf "$work/run"
  : >"$work/calls"
  if [[ " $1 " == *" systemd "* ]]; then mkdir -p "$work/run/systemd/system"; fi
  if [[ " $1 " == *" failing "* ]]; then systemctl_status=1; fi
  env PATH="$work/bin:$PATH" CALLS="$work/calls" SYSTEMCTL_STATUS=$systemctl_status \
    logrotate -f -s "$work/state" "$work/config" || status=$?
  expect "logrotate's status [$1]" $status 0
}
listing() { (cd "$lib/private/tavorin" && find . -type f | sort | tr '\n' ' '); }
# write NAME TEXT: what the relay of instance NAME has logged, as its user.
write() {
  echo "$2" >>"$lib/tavorin/$1/packets.txt"
  chmod 640 "$lib/tavorin/$1/packets.txt"
  chown --reference="$lib/private/tavorin/$1" "$lib/tavorin/$1/packets.txt"
}
reopen='systemctl kill --signal=SIGUSR1 --kill-whom=main tavorin@*.service'

rotate systemd
expect "files before any log" "$(listing)" ""
expect "calls before any log" "$(cat "$work/calls")" ""

# sip and sap have written lines, voip has an empty log, idle none.
write sip "sip week 1"
write sap "sap week 1"
: >"$lib/tavorin/voip/packets.txt"
rotate ''
expect "files after the first rotation" "$(listing)" \
  './sap/packets.txt.1 ./sip/packets.txt.1 ./voip/packets.txt '
expect "the moved log" "$(cat "$lib/tavorin/sip/packets.txt.1")" "sip week 1"
expect "the moved log's owner and mode" "$(stat -c '%u %a' "$lib/tavorin/sip/packets.txt.1")" \
  "$(stat -c '%u' "$lib/private/tavorin/sip") 640"
expect "calls without systemd" "$(cat "$work/calls")" ""

# The relays reopen their logs, which makes them anew.
write sip "sip week 2"
write sap "sap week 2"
rotate systemd
expect "files after the second rotation" "$(listing)" \
  './sap/packets.txt.1 ./sap/packets.txt.2.gz ./sip/packets.txt.1 ./sip/packets.txt.2.gz '\
'./voip/packets.txt '
expect "the log moved now" "$(cat "$lib/tavorin/sip/packets.txt.1")" "sip week 2"
expect "the log moved before" "$(gunzip -c "$lib/tavorin/sip/packets.txt.2.gz")" "sip week 1"
expect "calls with systemd" "$(cat "$work/calls")" "$reopen"

write sip "sip week 3"
rotate 'systemd failing'
expect "calls with systemd failing" "$(cat "$work/calls")" "$reopen"

echo "logrotate: $failed failed"
[ $failed = 0 ]
