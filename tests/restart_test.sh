#!/usr/bin/env bash
# Every link keeps its port across each kind of restart, under a real systemd (as root): the .deb
# is installed in a minimal Debian 12 booted with systemd-nspawn (a network of its own, so no
# port of this host is used), an instance relays a steady load from 200 clients
# (restart_load.py), and the relay is restarted ten times with systemctl, crashed (SIGSEGV),
# hung until the watchdog restarts it, and upgraded to a higher version. After each, every
# client reaches the server from the same relay port as before, and gets replies again;
# a stop and a start, last, gives every client a new link. It ends with a table of figures:
# how long each restart took and how many datagrams were lost meanwhile (figures only: no time
# fails the test).
#   restart_test.sh BUILD_DIR PACKAGE_BUILD_DIR
# BUILD_DIR is not used: the relay tested is the package's. The Debian root is made once (with
# debootstrap, which needs the network) and kept in /var/cache/tavorin-ci/bookworm; each run
# works on a copy of it in /var/tmp, removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
package_build=$(realpath "$2")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$package_build/CMakeCache.txt")
deb="$package_build/tavorin_${version}_amd64.deb"
[ "$(id -u)" = 0 ] || { echo "restart_test.sh boots a container: run it as root"; exit 1; }
[ -f "$deb" ] || { echo "no $deb: build the package first (make package)"; exit 1; }

cache=/var/cache/tavorin-ci/bookworm
# What the container needs: systemd to boot it, iproute2 for its loopback, python3 for the load,
# and procps, which the package depends on.
packages=(systemd systemd-sysv dbus iproute2 python3 procps)
port=15000         # P: the relay listens on P and P+1
server_port=2000   # S: the echo server on S and S+1
clients=200
interval_ms=20
restarts=10
held=10000   # links held, quiet, across the restart at scale
burst=8000   # new clients within a second
unit=tavorin@t     # the instance, in /var/lib/tavorin/t

work=""
nspawn=""
init=""
cleanup() {
  local status=$?
  exec 3>&- || true
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    # A poweroff inside ends every process of the container; the nspawn started here is ended
    # by its pid if that does not come.
    [ -z "$init" ] || nsenter -t "$init" -a systemctl poweroff >/dev/null 2>&1 || true
    for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$nspawn" 2>/dev/null && kill -TERM "$nspawn" 2>/dev/null
    for _ in $(seq 20); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$nspawn" 2>/dev/null && kill -KILL "$nspawn" 2>/dev/null
    sleep 1
  fi
  if [ -n "$work" ]; then
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
      echo "the container (nspawn pid $nspawn) did not end: $work is left" >&2
    else
      [ $status = 0 ] || { echo "--- the container's console" >&2; tail -20 "$work/console" >&2 || true; }
      rm -rf --one-file-system "$work"
    fi
  fi
  exit $status
}
trap cleanup EXIT
trap "exit 1" INT TERM

installed_in() {  # ROOT PACKAGE...: whether ROOT has every PACKAGE installed
  local root=$1 package
  shift
  for package in "$@"; do
    chroot "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$' ||
      return 1
  done
}

# The cached root: made when missing, and brought up to the list of packages when it lacks
# some; either way in a directory of its own, renamed into place once complete.
prepare_cache() {
  local new old
  if [ ! -d "$cache" ]; then
    echo "== making $cache with debootstrap"
    mkdir -p "$(dirname "$cache")"
    new=$(mktemp -d "$cache.new.XXXXXX")
    # mktemp makes it 0700, and it becomes the container's /: its services that run as users of
    # their own (dbus) could read nothing.
    chmod 0755 "$new"
    debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" bookworm "$new" \
      http://deb.debian.org/debian >"$new.log" 2>&1 ||
      { tail -20 "$new.log"; rm -rf --one-file-system "$new" "$new.log"; exit 1; }
    rm -f "$new.log"
    mv "$new" "$cache"
  fi
  if ! installed_in "$cache" "${packages[@]}"; then
    echo "== adding to $cache what it lacks of: ${packages[*]}"
    new=$(mktemp -d "$cache.new.XXXXXX")
    cp -a "$cache/." "$new/"
    systemd-nspawn --register=no --keep-unit --quiet -D "$new" --resolv-conf=replace-host \
      sh -c "apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        ${packages[*]} && apt-get clean" >"$new.log" 2>&1 ||
      { tail -20 "$new.log"; rm -rf --one-file-system "$new" "$new.log"; exit 1; }
    rm -f "$new.log"
    old=$(mktemp -d "$cache.old.XXXXXX")
    mv "$cache" "$old/"
    mv "$new" "$cache"
    rm -rf --one-file-system "$old"
  fi
}

# Commands in the container, with its own environment.
inside() {
  nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= \
    "$@"
}

fail() {
  echo "FAIL: $*" >&2
  if [ -n "$init" ]; then
    echo "--- the relay's journal" >&2
    inside journalctl -u "$unit" -o short-monotonic --no-pager 2>&1 | tail -30 >&2 || true
  fi
  exit 1
}

# Polls COMMAND until it succeeds, for at most SECONDS.
poll() {
  local seconds=$1 until
  shift
  until=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.2
  done
}

# The load tool's answers.
ask() { echo "$*" >&3; }
answered() { grep -q "^$1" "$root/root/load.out" 2>/dev/null; }
answer() {
  poll "$2" answered "$1" || fail "the load tool gave no \"$1\" (its errors: $(cat "$root/root/load.err"))"
  grep "^$1" "$root/root/load.out" | tail -1
}

main_pid() { inside systemctl show -P MainPID "$unit"; }
runs_again() {  # OLD_PID: a new run is there and ready
  local state
  state=$(inside systemctl show -p MainPID -p ActiveState "$unit" | tr '\n' ' ')
  [[ $state != *"MainPID=$1 "* && $state != *"MainPID=0 "* && $state == *"ActiveState=active "* ]]
}
taken_over_lines() { inside journalctl -u "$unit" -o cat --no-pager | grep 'taken over from the previous run' || true; }
count_taken_over() { taken_over_lines | wc -l; }
more_taken_over() { [ "$(count_taken_over)" -gt "$1" ]; }

# The events. Each returns once the relay that follows it is ready.
restart() { inside systemctl restart "$unit" || fail "systemctl restart $unit failed"; }
crash() {
  local old
  old=$(main_pid)
  inside kill -SEGV "$old"
  poll 60 runs_again "$old" || fail "crash: no new run of the relay within 60 s"
}
hang() {
  local old
  old=$(main_pid)
  inside kill -STOP "$old"
  poll 60 runs_again "$old" || fail "watchdog: no new run of the relay within 60 s"
}
upgrade() {
  inside dpkg -i /root/tavorin-upgrade.deb >"$work/upgrade.log" 2>&1 ||
    fail "upgrade: dpkg -i failed: $(cat "$work/upgrade.log")"
  [ "$(inside dpkg-query -W -f='${Version}' tavorin)" = "$version+restart1" ] ||
    fail "upgrade: tavorin is not at $version+restart1"
}
stop_start() {
  inside systemctl stop "$unit" || fail "systemctl stop $unit failed"
  inside systemctl start "$unit" || fail "systemctl start $unit failed"
}

rows=()
# NAME ACTION KEEPS: runs ACTION under load; KEEPS (1) every link must keep its port and have
# been taken over, (0) every client must have a new one.
event() {
  local name=$1 action=$2 keeps=$3 pid_before taken_before active report field
  local kept changed silent sent lost gap ready changed_clients silent_clients started start
  # Steady load before each: the longest silence is the event's, and starts come no oftener than
  # systemd allows by default (5 in 10 s), as an operator's would.
  sleep 2
  pid_before=$(main_pid)
  taken_before=$(count_taken_over)
  ask "begin $name"
  answer "begun $name" 10 >/dev/null
  $action
  [ "$(main_pid)" != "$pid_before" ] || fail "$name: the relay was not restarted (pid $pid_before)"
  active=$(inside systemctl show -P ActiveEnterTimestampMonotonic "$unit")
  started=$(inside systemctl show -P ExecMainStartTimestampMonotonic "$unit")
  start=$(((active - started) / 1000))
  ask "end $name $active"
  report=$(answer "report $name " 120)
  for field in kept changed silent sent lost gap_ms ready_ms changed_clients silent_clients; do
    local "${field%_ms}=$(sed -E "s/.* $field=([^ ]*).*/\1/" <<<"$report")"
  done
  [ "$silent" = 0 ] || fail "$name: no reply after it for client(s) $silent_clients"
  if [ "$keeps" = 1 ]; then
    [ "$changed" = 0 ] || fail "$name: the relay port of $changed client(s) changed" \
      "(client:old>new): $(tr ';' '\n' <<<"$changed_clients" | head -10 | paste -sd ' ')"
    poll 10 more_taken_over "$taken_before" || fail "$name: the relay took nothing over"
    local line
    line=$(taken_over_lines | tail -1)
    [ "$line" = "tavorin: taken over from the previous run: $clients links with their ports" ] ||
      fail "$name: the new run said \"$line\""
  else
    # A new link may get the port its old one had by chance (one in some 28000 for each client):
    # a few kept ports are such chances, more are links kept.
    [ "$kept" -le 2 ] || fail "$name: $kept client(s) kept their relay port"
    [ "$(count_taken_over)" = "$taken_before" ] || fail "$name: the new run took links over"
  fi
  rows+=("$(printf '%-12s %7s %7s %9s %8s %7s %10s' "$name" "$ready" "$start" "$gap" "$sent" \
    "$lost" "$kept/$clients")")
  echo "$name: ready after $ready ms (its start $start ms), longest silence $gap ms," \
    "$lost of $sent datagrams lost, $kept of $clients ports kept"
}

prepare_cache
work=$(mktemp -d /var/tmp/tavorin-restart.XXXXXX)
root=$work/root
echo "== a copy of $cache in $root"
cp -a "$cache/." "$root/"
chmod 0755 "$root"  # a cache made 0700 by an earlier version of this script
cp "$deb" "$root/root/tavorin.deb"
cp "$here/restart_load.py" "$root/root/"
# The upgrade: the same package at a higher version.
dpkg-deb -R "$deb" "$work/upgrade"
sed -i "s/^Version: .*/Version: $version+restart1/" "$work/upgrade/DEBIAN/control"
dpkg-deb -b "$work/upgrade" "$root/root/tavorin-upgrade.deb" >/dev/null
# The instance, with a watchdog short enough to wait for.
mkdir -p "$root/var/lib/tavorin/t" "$root/etc/systemd/system/$unit.service.d"
# DrainSeconds as an operator behind a balancer sets it: no restart may wait for it.
printf '[Proxy]\nPort=%s\nLogLinks=1\nDrainSeconds=60\n[Server]\nIP=127.0.0.1\nPort=%s\n' \
  "$port" "$server_port" >"$root/var/lib/tavorin/t/TAVORIN.INI"
printf '[Service]\nWatchdogSec=3\n' >"$root/etc/systemd/system/$unit.service.d/watchdog.conf"

echo "== booting it"
systemd-nspawn --register=no --keep-unit --quiet --console=read-only --private-network -b \
  -D "$root" >"$work/console" 2>&1 </dev/null &
nspawn=$!
container_init() {  # the child of nspawn in a PID namespace of its own: the container's systemd
  local child ns
  for child in $(pgrep -P "$nspawn"); do
    ns=$(readlink "/proc/$child/ns/pid" 2>/dev/null) || continue
    [ "$ns" != "$(readlink /proc/self/ns/pid)" ] && init=$child && return 0
  done
  return 1
}
poll 60 container_init || fail "no container came up: $(tail -5 "$work/console")"
booted() { [[ $(inside systemctl is-system-running 2>/dev/null) =~ ^(running|degraded)$ ]]; }
poll 120 booted || fail "the container did not boot: $(inside systemctl is-system-running)"

# Room for the ports of the links and of the clients, all on this container's loopback.
nsenter -t "$init" -n sysctl -q -w net.ipv4.ip_local_port_range="10000 65000" ||
  fail "cannot widen the container's range of ephemeral ports"

echo "== installing $(basename "$deb") and starting $unit"
inside dpkg -i /root/tavorin.deb >"$work/install.log" 2>&1 ||
  fail "dpkg -i failed: $(cat "$work/install.log")"
inside systemctl start "$unit" || fail "$unit did not start: $(inside journalctl -u "$unit" -o cat)"

echo "== $clients clients, each a datagram every $interval_ms ms"
# Both run as services of the container's own, which its poweroff ends. The commands go through
# a pipe opened both ways here, so that neither end waits for the other to open it.
mkfifo "$root/root/commands"
inside systemd-run --quiet --unit=restart-echo python3 /root/restart_load.py echo "$server_port"
inside systemd-run --quiet --unit=restart-load -p StandardInput=file:/root/commands \
  -p StandardOutput=file:/root/load.out -p StandardError=file:/root/load.err \
  python3 /root/restart_load.py clients "$port" "$clients" "$interval_ms"
exec 3<>"$root/root/commands"
ask ready
[ "$(answer ready 60)" = "ready $clients" ] || fail "not every client got a reply through the relay"

for n in $(seq "$restarts"); do event "restart-$n" restart 1; done
event crash crash 1
event watchdog hang 1
event upgrade upgrade 1
event stop-start stop_start 0

# At scale: the links' sockets pass in a few carriers, not one name each, so a restart with
# thousands of links comes back, and a burst of new clients costs systemd nothing.
field() { sed -E "s/.* $1=([^ ]*).*/\1/" <<<"$2"; }
echo "== $held more clients, quiet, then a restart"
ask "hold $held"
report=$(answer "held " 180)
[ "$(field answered "$report")" = "$held" ] || fail "not every quiet client was answered: $report"
pid_before=$(main_pid)
started=$SECONDS
timed() { local t0; t0=$(date +%s%N); "$@" >/dev/null; echo $((($(date +%s%N) - t0) / 1000000)); }
restart_ms=$(timed restart)
[ "$(main_pid)" != "$pid_before" ] || fail "scale: the relay was not restarted"
ask check
report=$(answer "checked " 180)
[ "$(field changed "$report")" = 0 ] && [ "$(field silent "$report")" = 0 ] ||
  fail "scale: after the restart with $((held + clients)) links: $report"
scale_line="restart with $((held + clients)) links: systemctl restart took $restart_ms ms;"
scale_line+=" every client answered again in $(field ms "$report") ms from the port it had"
echo "$scale_line"
[ $((SECONDS - started)) -le 60 ] || fail "scale: the restart took $((SECONDS - started)) s"

echo "== a burst of $burst new clients"
pid_before=$(main_pid)
ask "burst $burst"
slowest=0
for _ in $(seq 8); do
  ms=$(timed inside systemctl show -p MainPID "$unit")
  [ "$ms" -le "$slowest" ] || slowest=$ms
  sleep 5
done
report=$(answer "burst " 60)
[ "$(main_pid)" = "$pid_before" ] || fail "burst: the relay was restarted (the watchdog?)"
burst_line="burst of $burst new clients: $(field answered "$report") answered in"
burst_line+=" $(field ms "$report") ms; systemctl show took $slowest ms at most over 40 s"
echo "$burst_line"
[ "$slowest" -le 5000 ] || fail "burst: systemctl show took $slowest ms"
ask quit

echo
echo "Each event under a steady load of $clients clients (a datagram every $interval_ms ms each):"
echo "ready: from the event to the new run ready (ms); start: from the new run's start to ready"
echo "(ms); silence: the longest any client went without a reply (ms); sent and lost: datagrams"
echo "sent from the event until every client had replies again, and those never answered; ports"
echo "kept: clients whose relay port stayed."
printf '%-12s %7s %7s %9s %8s %7s %10s\n' event ready start silence sent lost "ports kept"
printf '%s\n' "${rows[@]}"
echo "$scale_line"
echo "$burst_line"
