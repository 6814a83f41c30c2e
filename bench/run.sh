#!/usr/bin/env bash
# Runs every relay on the same workloads, one after another, then the capacity sweep, and
# prints one table of medians.
#   bench/run.sh BUILD_DIR [ROUNDS]
# BENCH_PARTS="workloads capacity" (either alone), BENCH_RELAYS, BENCH_RATES, BENCH_SECONDS and
# BENCH_WORKLOADS (of "16x8 1client 1000x2 2000x1 open burst 1400 scale", all by default)
# narrow or change what runs (BENCH_RELAYS="tavorin scraped" measures what 1,000 reads a
# second of /metrics cost); BENCH_SERVER_KEYS adds lines to tavorin's [Server] section
# (ProxyProtocol=2: the echo server answers with the payload alone). BENCH_TAVORIN names
# another tavorin binary to measure (an earlier build, say).
# Installs nginx (with its stream module) and socat from Debian's packages if they are missing.
set -euo pipefail

build=${1:?usage: run.sh BUILD_DIR [ROUNDS]}
rounds=${2:-3}
bench=$(realpath "$build/bench/udp_bench")
tavorin=$(realpath "${BENCH_TAVORIN:-$build/app/tavorin}")
seconds=${BENCH_SECONDS:-3}

need=()
[ -e /usr/lib/nginx/modules/ngx_stream_module.so ] || need+=(nginx-light libnginx-mod-stream)
command -v socat >/dev/null || need+=(socat)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}" >&2
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d /tmp/tavorin-bench-XXXXXX)
# Only processes this script started are ended, each by the id recorded when it was started:
# never by name, which would also end someone else's nginx or socat.
pids=()        # the echo server
relay_pids=()  # the relay running now: each process was started by setsid and leads its own
               # process group, which takes in the children it forks (nginx's workers, socat's
               # per-client processes); killing the group ends them all
cleanup() {
  stop_relay
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

P=25000  # the relays listen on P and P+1
S=26000  # the echo server answers on S and S+1
SCRAPED=25100  # the relay "scraped" (tavorin with its metrics read BENCH_SCRAPES times a second)
               # answers HTTP here
"$bench" echo $S & pids+=($!)

relay_pid=""
start_relay() {  # $1: relay name; $2: tavorin's MaxDatagram, if not the default
  relay_pid=""
  relay_pids=()
  case $1 in
    direct) port=$S; return ;;
    tavorin|scraped)
      mkdir -p "$work/tavorin"
      local status=""
      [ $1 = tavorin ] || status="StatusAddress=127.0.0.1:$SCRAPED
"
      printf '[Proxy]\nPort=%d\nLog=log.txt\n%s%s[Server]\nPort=%d\nIP=127.0.0.1\n%s' $P \
        "${2:+MaxDatagram=$2
}" "$status" $S "${BENCH_SERVER_KEYS:+$BENCH_SERVER_KEYS
}" > "$work/tavorin/TAVORIN.INI"
      (cd "$work/tavorin" && exec setsid "$tavorin" </dev/null >/dev/null 2>&1) &
      relay_pid=$!
      if [ -n "$status" ]; then  # its scraper says at its end how many it made, and how many failed
        setsid "$bench" scrape $SCRAPED "${BENCH_SCRAPES:-1000}" >&2 &
        relay_pids+=($!)
      fi ;;
    nginx)
      cat > "$work/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
worker_processes $(nproc);
worker_rlimit_nofile 65536;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log crit;
events { worker_connections 65536; }
stream {
  server { listen 127.0.0.1:$P udp reuseport; proxy_pass 127.0.0.1:$S; proxy_timeout 1h; }
  server { listen 127.0.0.1:$((P + 1)) udp reuseport; proxy_pass 127.0.0.1:$((S + 1)); proxy_timeout 1h; }
}
CONF
      setsid "$nginx_bin" -p "$work" -c "$work/nginx.conf" & relay_pid=$! ;;
    socat)
      setsid socat UDP4-LISTEN:$P,bind=127.0.0.1,fork,reuseaddr UDP4:127.0.0.1:$S & relay_pid=$!
      setsid socat UDP4-LISTEN:$((P + 1)),bind=127.0.0.1,fork,reuseaddr UDP4:127.0.0.1:$((S + 1)) &
      relay_pids+=($!) ;;
  esac
  relay_pids+=("$relay_pid")
  port=$P
  sleep 0.5
  # A background job of a script is not a process group leader, so setsid makes the new
  # session in the process itself rather than in a fork: the recorded id leads the group.
  local p
  for p in "${relay_pids[@]}"; do
    if [ -d "/proc/$p" ] && [ "$(ps -o pgid= -p "$p" | tr -d ' ')" != "$p" ]; then
      echo "relay process $p does not lead its own process group" >&2
      exit 1
    fi
  done
}
stop_relay() {  # ends the relay's processes and the children they forked, by recorded id
  local p
  for p in "${relay_pids[@]}"; do
    kill -- "-$p" 2>/dev/null || kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  relay_pids=()
  sleep 0.3
}
# The resident memory of the relay and its children, in KiB.
rss_tree() {
  local total=0 p
  for p in $1 $(pgrep -P "$1" || true); do
    total=$((total + $(awk '/VmRSS/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)))
  done
  echo $total
}
field() { tr ' ' '\n' | awk -F= -v k="$1" '$1 == k {print $2}'; }

results="$work/results"
: > "$results"
record() { echo "$1 $2 $3" >> "$results"; }  # workload relay value

read -r -a relays <<<"${BENCH_RELAYS:-direct tavorin nginx socat}"
workloads=" ${BENCH_WORKLOADS:-16x8 1client 1000x2 2000x1 open burst 1400 scale} "
want() { [[ $workloads == *" $1 "* ]]; }
parts=${BENCH_PARTS:-workloads capacity}
for round in $(seq 1 "$rounds"); do
  [[ $parts == *workloads* ]] || break
  for relay in "${relays[@]}"; do
    echo "round $round: $relay" >&2
    if want 16x8 || want 1client; then
      start_relay $relay
      if want 16x8; then
        out=$("$bench" load $port 16 8 64 "$seconds"); record tput64 $relay "$(field rtps <<<"$out")"
        record lost64 $relay "$(field lost <<<"$out")"; record refills64 $relay "$(field refills <<<"$out")"
        record inflight64 $relay "$(field inflight <<<"$out")"
        out=$("$bench" load $port 16 8 520 "$seconds"); record tput520 $relay "$(field rtps <<<"$out")"
      fi
      if want 1client; then
        out=$("$bench" load $port 1 1 64 "$seconds")
        record p50 $relay "$(field p50_us <<<"$out")"; record p99 $relay "$(field p99_us <<<"$out")"
      fi
      stop_relay
    fi
    if [ $relay != socat ]; then  # socat forks a process per client
      # each many-client workload meets a relay with no links
      if want 1000x2; then
        start_relay $relay
        out=$("$bench" load $port 1000 2 256 "$seconds"); record many1000 $relay "$(field rtps <<<"$out")"
        record lost1000 $relay "$(field lost <<<"$out")"; record refills1000 $relay "$(field refills <<<"$out")"
        record inflight1000 $relay "$(field inflight <<<"$out")"
        stop_relay
      fi
      if want 2000x1; then
        start_relay $relay
        out=$("$bench" load $port 2000 1 256 "$seconds"); record many2000 $relay "$(field rtps <<<"$out")"
        record lost2000 $relay "$(field lost <<<"$out")"
        stop_relay
      fi
      if want open; then
        start_relay $relay
        out=$("$bench" open $port 1000 20000 256 "$seconds")
        record open_p50 $relay "$(field p50_us <<<"$out")"; record open_p99 $relay "$(field p99_us <<<"$out")"
        record open_p99_worst $relay "$(field p99_us <<<"$out")"
        record open_lost $relay "$(field lost <<<"$out")"; record open_lost_worst $relay "$(field lost <<<"$out")"
        stop_relay
      fi
    fi
    if want burst; then
      start_relay $relay
      out=$("$bench" burst $port 2000); record burst $relay "$(field percent <<<"$out")"
      stop_relay
    fi
    if want 1400; then
      start_relay $relay 1500  # datagrams of the size of most links' MTU
      out=$("$bench" load $port 16 8 1400 "$seconds"); record tput1400 $relay "$(field rtps <<<"$out")"
      record lost1400 $relay "$(field lost <<<"$out")"
      stop_relay
    fi
    if [ "$round" = 1 ] && want scale; then
      for links in 10 100 1000 10000; do
        if [ $relay = socat ] && [ $links -gt 1000 ]; then continue; fi  # a process per client
        start_relay $relay
        target=${relay_pid:-$$}
        out=$("$bench" scale $port $links 2 "$target")
        record "scale$links" $relay "$(field rtps <<<"$out")"
        [ -n "$relay_pid" ] && record "rss$links" $relay "$(rss_tree "$relay_pid")"
        stop_relay
      done
    fi
  done
done

# Capacity: an open loop over 1,000 clients at rising offered rates, each rate on a relay
# started afresh so that no links pile up; per rate the datagrams lost and p99, and the highest
# rate up to which a relay lost nothing. socat is left out: it forks a process per client.
read -r -a rates <<<"${BENCH_RATES:-20000 30000 40000 50000 60000 70000 80000}"
for round in $(seq 1 "$rounds"); do
  [[ $parts == *capacity* ]] || break
  for relay in "${relays[@]}"; do
    [ $relay != socat ] || continue
    echo "round $round: capacity $relay" >&2
    carried=0
    clean=1
    for rate in "${rates[@]}"; do
      start_relay $relay
      out=$("$bench" open $port 1000 $rate 256 "$seconds")
      stop_relay
      lost=$(field lost <<<"$out")
      record "caplost$rate" $relay "$lost"
      record "capp99$rate" $relay "$(field p99_us <<<"$out")"
      if [ $clean = 1 ] && [ "$lost" = 0 ]; then carried=$rate; else clean=0; fi
    done
    record capclean $relay $carried
  done
done

# One row per workload: the median of the rounds for each relay (the largest for a row whose
# name ends in _worst), then each peer over tavorin.
awk -v relays="${relays[*]}" '
  { v[$1 " " $2] = v[$1 " " $2] " " $3; if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
  function median(list,   a, k, i, j, t) {
    k = split(list, a, " "); if (k == 0) return "-"
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return (k % 2) ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  function largest(list,   a, k, i, m) {
    k = split(list, a, " "); if (k == 0) return "-"
    m = a[1]; for (i = 2; i <= k; i++) if (a[i] + 0 > m + 0) m = a[i]
    return m
  }
  END {
    r = split(relays, name, " ")
    for (j = 1; j <= r; j++) col[name[j]] = j
    label["tput64"] = "16x8 64 B round trips/s"; label["lost64"] = "16x8 64 B datagrams lost"
    label["tput520"] = "16x8 520 B round trips/s"; label["p50"] = "1 client p50 us"
    label["tput1400"] = "16x8 1400 B round trips/s (MaxDatagram=1500)"
    label["lost1400"] = "16x8 1400 B datagrams lost"
    label["p99"] = "1 client p99 us"; label["burst"] = "burst 2000 new: % answered"
    label["refills64"] = "16x8 64 B windows refilled after 1 s"; label["inflight64"] = "16x8 64 B in flight (mean rtt x rate)"
    label["many1000"] = "1000x2 256 B round trips/s"; label["lost1000"] = "1000x2 256 B datagrams lost"
    label["refills1000"] = "1000x2 256 B windows refilled"; label["inflight1000"] = "1000x2 256 B in flight"
    label["many2000"] = "2000x1 256 B round trips/s"; label["lost2000"] = "2000x1 256 B datagrams lost"
    label["open_p50"] = "open loop 1000 clients 20000/s p50 us"; label["open_p99"] = "open loop 1000 clients 20000/s p99 us"
    label["open_lost"] = "open loop 1000 clients 20000/s lost"
    label["open_p99_worst"] = "open loop 1000 clients 20000/s p99 us, worst round"
    label["open_lost_worst"] = "open loop 1000 clients 20000/s lost, worst round"
    for (i = 1; i <= n; i++) if (order[i] ~ /^caplost/) label[order[i]] = "capacity 1000 clients " substr(order[i], 8) "/s: lost"
    for (i = 1; i <= n; i++) if (order[i] ~ /^capp99/) label[order[i]] = "capacity 1000 clients " substr(order[i], 7) "/s: p99 us"
    label["capclean"] = "capacity: highest rate/s with nothing lost"
    for (i = 1; i <= n; i++) if (order[i] ~ /^scale/) label[order[i]] = substr(order[i], 6) " links: round trips/s"
    for (i = 1; i <= n; i++) if (order[i] ~ /^rss/) label[order[i]] = substr(order[i], 4) " links: RSS KiB"
    printf "| workload |"; for (j = 1; j <= r; j++) printf " %s |", name[j]
    printf " nginx/tavorin | socat/tavorin |\n|---|"; for (j = 1; j <= r + 2; j++) printf "---|"; printf "\n"
    for (i = 1; i <= n; i++) {
      w = order[i]; printf "| %s |", label[w]
      for (j = 1; j <= r; j++) {
        m[name[j]] = w ~ /_worst$/ ? largest(v[w " " name[j]]) : median(v[w " " name[j]])
        printf " %s |", m[name[j]]
      }
      split("nginx socat", peer, " ")
      for (j = 1; j <= 2; j++) {
        t = m["tavorin"]; q = m[peer[j]]
        printf " %s |", (t + 0 > 0 && q != "-" && q != "") ? sprintf("%.2f", q / t) : "-"
      }
      printf "\n"
    }
  }' "$results"
