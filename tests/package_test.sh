#!/usr/bin/env bash
# Makes the Debian package from a build folder (cpack, as the "package" target does), unpacks
# it into a scratch folder and checks what an operator gets: the files, the library
# packages it depends on, the program itself, the changelog's version, the service template
# (systemd-analyze verify), the log rotation on a log held open for appending, and that
# lintian, where installed, finds no error.
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD-FOLDER}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack could not make the package"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
root=$scratch/root
dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)

# What the package installs; every file of it is named here.
expected="etc/logrotate.d/drav-logger
usr/bin/drav-logger
usr/lib/systemd/system/drav-logger@.service
usr/share/doc/drav-logger/README.md
usr/share/doc/drav-logger/changelog.gz
usr/share/doc/drav-logger/copyright
usr/share/doc/drav-logger/drav-logger.cfg.example
usr/share/man/man1/drav-logger.1.gz"
files=$(cd "$root" && find . -type f -printf '%P\n' | LC_ALL=C sort)
[ "$files" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"
[ -x "$root/usr/bin/drav-logger" ] || fail "the program is not executable"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/logrotate.d/drav-logger ] || fail "conffiles"

# The dependencies are found from the libraries the program links.
depends=$(dpkg-deb -f "$deb" Depends)
[[ ", $depends," =~ ,\ (libncursesw6|libtinfo6)[\ ,] ]] || fail "Depends lacks ncurses: $depends"
[ "$("$root/usr/bin/drav-logger" --version)" = "drav-logger $version" ] ||
  fail "the packaged program is not version $version"
zcat "$root/usr/share/doc/drav-logger/changelog.gz" >"$scratch/changelog"
[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's latest entry is not version $version"

# The unit as systemd reads it; the copy runs the unpacked program and finds its manual page.
unit=$root/usr/lib/systemd/system/drav-logger@.service
grep -qx 'ExecStartPre=/usr/bin/drav-logger --check-config' "$unit" || fail "no configuration check"
grep -qx 'ExecStart=/usr/bin/drav-logger --headless' "$unit" || fail "no headless run"
mkdir "$scratch/unit"
sed "s|/usr/bin/drav-logger|$root/usr/bin/drav-logger|" "$unit" >"$scratch/unit/drav-logger@.service"
verified=$(MANPATH=$root/usr/share/man systemd-analyze verify "$scratch/unit/drav-logger@.service" 2>&1) ||
  fail "systemd-analyze verify: $verified"
[ -z "$verified" ] || fail "systemd-analyze verify: $verified"

# The snippet rotates a log that stays open for appending, as the program keeps it: the next
# line must land alone in the emptied log, not in the rotated copy.
if command -v logrotate >/dev/null; then
  mkdir -p "$scratch/lib/second"
  log=$scratch/lib/second/drav-logger.log
  echo before >"$log"
  sed "s|/var/lib/drav-logger/|$scratch/lib/|" "$root/etc/logrotate.d/drav-logger" >"$scratch/logrotate.conf"
  exec 3>>"$log"
  logrotate --force --state "$scratch/logrotate.state" "$scratch/logrotate.conf" ||
    fail "logrotate rejects the snippet"
  echo after >&3
  exec 3>&-
  [ "$(cat "$log")" = after ] && [ "$(cat "$log.1")" = before ] ||
    fail "the rotation lost or misplaced lines: log '$(cat "$log")', copy '$(cat "$log.1" 2>&1)'"
else
  echo "logrotate is not installed: the rotation is not tried"
fi

if command -v lintian >/dev/null; then
  lintian --fail-on error --display-info "$deb" || fail "lintian found errors"
else
  echo "lintian is not installed: the package is not linted"
fi
echo "package $(basename "$deb") checked"
