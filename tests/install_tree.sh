# Sourced by install_test.sh and package_test.sh: the files an install of the relay puts in
# place, one a line, sorted; a package adds its own beside them.
install_tree() {
  cat <<'LIST'
etc/logrotate.d/tavorin
usr/bin/tavorin
usr/lib/systemd/system/tavorin@.service
usr/share/doc/tavorin/LICENSE
usr/share/doc/tavorin/README.md
usr/share/doc/tavorin/TAVORIN.INI
usr/share/doc/tavorin/docs/architecture.md
usr/share/doc/tavorin/docs/operations.md
usr/share/doc/tavorin/docs/performance.md
usr/share/man/man1/tavorin.1.gz
LIST
}
