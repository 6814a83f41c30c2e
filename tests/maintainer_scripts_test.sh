#!/usr/bin/env bash
# The .deb's prerm, postinst and postrm, run as dpkg runs them: the calls they make, recorded by
# stand-ins for systemctl and deb-systemd-invoke (all the PATH holds, with rm and readlink), and
# the state they leave. As root, in a mount namespace of its own with empty tmpfs on /run,
# /var/lib and /etc/systemd/system.
#   maintainer_scripts_test.sh DEB
set -euo pipefail
if [ -z "${TAVORIN_OWN_MOUNTS:-}" ]; then
  exec unshare --mount --propagation private env TAVORIN_OWN_MOUNTS=1 \
    bash "$(realpath "$0")" "$(realpath "$1")"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -e "$1" "$work/control"

# bin has both stand-ins; bare lacks deb-systemd-invoke, as a system without it would.
mkdir "$work/bin" "$work/bare"
for command in systemctl deb-systemd-invoke; do
  # shellcheck disable=SC2016 # $* and $CALLS are the stand-in's
  printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' $command >"$work/bin/$command"
  chmod +x "$work/bin/$command"
done
ln -s "$(command -v rm)" "$work/bin/rm"
ln -s "$(command -v readlink)" "$work/bin/readlink"
cp -P "$work/bin/rm" "$work/bin/readlink" "$work/bin/systemctl" "$work/bare/"

# Two instances below ROOT/var/lib as systemd leaves them: sip started (its directory below
# private/, a link to it, a link in it to a directory outside) and voip made by hand; beside
# them another service's state. With "link", /var/lib/tavorin is one link to private/tavorin.
# In /etc/systemd/system: sip enabled (wanted, from /usr/lib) and voip required (from /lib), as
# systemctl enable and add-requires link them; an instance masked, one of a template of the
# administrator's own, a drop-in and another service enabled, all of them not the package's.
make_state() {
  local lib=$1/var/lib etc=$1/etc/systemd/system
  mkdir -p "$etc/multi-user.target.wants" "$etc/multi-user.target.requires" \
    "$etc/tavorin@sip.service.d"
  ln -s /usr/lib/systemd/system/tavorin@.service "$etc/multi-user.target.wants/tavorin@sip.service"
  ln -s /lib/systemd/system/tavorin@.service "$etc/multi-user.target.requires/tavorin@voip.service"
  ln -s /etc/systemd/system/tavorin@.service "$etc/multi-user.target.wants/tavorin@own.service"
  ln -s /lib/systemd/system/other.service "$etc/multi-user.target.wants/other.service"
  ln -s /dev/null "$etc/tavorin@old.service"
  touch "$etc/tavorin@sip.service.d/override.conf"
  mkdir -p "$lib/private/tavorin/sip" "$lib/private/other" "$lib/elsewhere"
  touch "$lib/private/tavorin/sip/TAVORIN.INI" "$lib/private/other/state" "$lib/elsewhere/log"
  ln -s "$lib/elsewhere" "$lib/private/tavorin/sip/logs"
  if [ "$2" = link ]; then
    ln -s private/tavorin "$lib/tavorin"
  else
    mkdir "$lib/tavorin" "$lib/tavorin/voip"
    ln -s ../private/tavorin/sip "$lib/tavorin/sip"
  fi
}
listing() {
  (cd "$1/var/lib" && find . ! -path './root*' | sort | tr '\n' ' ')
  (cd "$1/etc/systemd/system" && find . | sort | tr '\n' ' ')
}
purged='. ./elsewhere ./elsewhere/log ./private ./private/other ./private/other/state '
purged+='. ./multi-user.target.requires ./multi-user.target.wants '
purged+='./multi-user.target.wants/other.service ./multi-user.target.wants/tavorin@own.service '
purged+='./tavorin@old.service ./tavorin@sip.service.d ./tavorin@sip.service.d/override.conf '

# check SCRIPT ARGUMENTS SETUP LEFT CALLS: SETUP is words: systemd (it runs), root (DPKG_ROOT is
# /var/lib/root, an install into another root), bare, link. LEFT is what stays of the state in
# /var/lib and in DPKG_ROOT's, kept or purged; CALLS the calls in order, joined by "; ".
failed=0
check() {
  local setup=" $3 " root='' bin=bin layout=dir status=0 made calls left state
  mount -t tmpfs tmpfs /run
  mount -t tmpfs tmpfs /var/lib
  mount -t tmpfs tmpfs /etc/systemd/system
  if [[ $setup == *" systemd "* ]]; then mkdir -p /run/systemd/system; fi
  if [[ $setup == *" root "* ]]; then root=/var/lib/root; fi
  if [[ $setup == *" bare "* ]]; then bin=bare; fi
  if [[ $setup == *" link "* ]]; then layout='link'; fi
  make_state "" $layout
  make_state /var/lib/root $layout
  made=$(listing "")
  : >"$work/calls"
  # shellcheck disable=SC2086 # the arguments are words
  env -i PATH="$work/$bin" CALLS="$work/calls" ${root:+DPKG_ROOT=$root} \
    "$work/control/$1" $2 || status=$?
  calls=$(paste -sd ';' "$work/calls" | sed 's/;/; /g')
  left=
  for state in "$(listing "")" "$(listing /var/lib/root)"; do
    case "$state" in
    "$made") left+=" kept" ;;
    "$purged") left+=" purged" ;;
    *) left+=" damaged($state)" ;;
    esac
  done
  umount /etc/systemd/system /var/lib /run
  if [ $status != 0 ] || [ "$calls" != "$5" ] || [ "${left# }" != "$4" ]; then
    echo "FAILED $1 $2 [$3]: status $status; calls '$calls', expected '$5';" \
      "left '${left# }', expected '$4'"
    failed=$((failed + 1))
  fi
}
reload='systemctl --system daemon-reload'
check prerm remove systemd 'kept kept' 'deb-systemd-invoke stop tavorin@*.service'
check prerm remove 'systemd bare' 'kept kept' 'systemctl stop tavorin@*.service'
check prerm 'upgrade 1.0.1' systemd 'kept kept' ''
check prerm remove '' 'kept kept' ''
check postinst 'configure 1.0.0' systemd 'kept kept' \
  "$reload; deb-systemd-invoke try-restart tavorin@*.service"
check postinst 'configure 1.0.0' 'systemd bare' 'kept kept' \
  "$reload; systemctl try-restart tavorin@*.service"
check postinst configure systemd 'kept kept' "$reload"
check postinst 'abort-upgrade 1.0.1' systemd 'kept kept' "$reload"
check postinst 'configure 1.0.0' '' 'kept kept' ''
check postinst 'configure 1.0.0' 'systemd root' 'kept kept' ''
check postrm remove systemd 'kept kept' "$reload"
check postrm remove '' 'kept kept' ''
check postrm 'upgrade 1.0.1' systemd 'kept kept' ''
check postrm purge systemd 'purged kept' ''
check postrm purge 'systemd link' 'purged kept' ''
check postrm purge root 'kept purged' ''
echo "maintainer scripts: $failed failed"
[ $failed = 0 ]
