#!/usr/bin/env bash
# The .deb as an administrator meets it on this host (as root): its maintainer scripts stop
# the instances on removal, restart them after an upgrade and delete their state on purge
# (maintainer_scripts_test.sh, in a mount namespace of its own); it installs with apt, its
# rotation of the link logs is a conffile that logrotate reads, its man page is found, its unit
# verifies and the installed binary relays both ways; it purges cleanly, the conffile with it.
#   host_install_test.sh BUILD_DIR PACKAGE_BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
package_build=$(realpath "$2")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$package_build/CMakeCache.txt")
deb="$package_build/tavorin_${version}_amd64.deb"
smoke=$(cat "$(dirname "$0")/smoke_tests")
[ "$(id -u)" = 0 ] || { echo "host_install_test.sh installs a package: run it as root"; exit 1; }

echo "== $deb on this host"
"$(dirname "$0")/maintainer_scripts_test.sh" "$deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tavorin >/dev/null' EXIT
test "$(dpkg-query -W -f='${Version}' tavorin)" = "$version"
# dpkg lists the rotation's file as a conffile, and logrotate reads it without an error.
dpkg-query -W -f='${Conffiles}\n' tavorin | grep -qE '^ /etc/logrotate.d/tavorin [0-9a-f]{32}$'
if PATH=$PATH:/usr/sbin command -v logrotate >/dev/null; then
  errors=$(PATH=$PATH:/usr/sbin logrotate -d -s /dev/null /etc/logrotate.d/tavorin 2>&1 |
    grep -i error || true)
  [ -z "$errors" ] || { echo "$errors"; exit 1; }
fi
man -w tavorin
systemd-analyze verify tavorin@ci.service
TAVORIN_RELAY=/usr/bin/tavorin "$build/tests/program_tests" --gtest_filter="$smoke"
trap - EXIT
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tavorin >/dev/null
[ ! -e /etc/logrotate.d/tavorin ] || { echo "the purge left /etc/logrotate.d/tavorin"; exit 1; }
