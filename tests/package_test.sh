#!/usr/bin/env bash
# The packages, as built by `make package` and `make package-windows`, checked without root
# and without touching the host (host_install_test.sh installs the .deb):
# - the .deb holds the install tree and Debian's copyright, changelog and lintian overrides,
#   nothing else, its files in /etc as conffiles; the binary taken out of it relays both ways;
#   lintian finds no error or warning;
# - the zip holds the exe and three text files with CR LF line ends, and the exe passes the
#   smoke tests under Wine.
#   package_test.sh BUILD_DIR PACKAGE_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/install_tree.sh"
build=$(realpath "$1")
package_build=$(realpath "$2")
windows_build=$(realpath "$3")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$package_build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
smoke=$(cat "$(dirname "$0")/smoke_tests")

deb="$package_build/tavorin_${version}_amd64.deb"
echo "== $deb"
# The install tree, and Debian's own files.
diff -u <({ install_tree; printf '%s\n' usr/share/doc/tavorin/changelog.gz \
  usr/share/doc/tavorin/copyright usr/share/lintian/overrides/tavorin; } | sort) \
  <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
# Every file in /etc is a conffile, and nothing else is.
diff -u <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed -n 's|^\./etc/|/etc/|p' | sort) \
  <(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles | sort)
dpkg-deb -x "$deb" "$work/deb"
TAVORIN_RELAY="$work/deb/usr/bin/tavorin" "$build/tests/program_tests" --gtest_filter="$smoke"
lintian --fail-on error,warning --allow-root "$deb"

zip="$windows_build/tavorin-${version}-win64.zip"
echo "== $zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
diff -u - <(cd "$work/zip" && find . -type f | sed 's|^\./||' | sort) <<'LIST'
LICENSE.txt
README.txt
TAVORIN.INI
tavorin.exe
LIST
for text in LICENSE.txt README.txt TAVORIN.INI; do
  if grep -q $'[^\r]$' "$work/zip/$text" || grep -q $'^$' "$work/zip/$text"; then
    echo "$text has a line without CR LF"
    exit 1
  fi
done
export WINEPREFIX="$windows_build/wineprefix" WINEDEBUG=-all
"$(dirname "$0")/../tools/wine-prefix"
status=0
TAVORIN_WINE_BINARY="$work/zip/tavorin.exe" "$build/tests/program_tests" --gtest_filter="$smoke" ||
  status=$?
wineserver -k || true
exit $status
