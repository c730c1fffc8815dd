#!/usr/bin/env bash
# Makes the Debian package from a build folder (cpack, as the "package" target does), unpacks
# it into a scratch folder and checks what an operator gets: the files, the library
# packages it depends on, the program itself, the changelog's version, the service template
# (systemd-analyze verify) with its start limit, the maintainer scripts' calls of systemctl on
# remove, upgrade and purge, the log rotation on a log held open for appending, that the demo
# installs no test tool, and that lintian, where installed, finds no error.
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
[[ ", $depends," =~ ,\ libevent-core-[0-9.-]+[\ ,] ]] || fail "Depends lacks libevent: $depends"
[[ ", $depends," =~ ,\ init-system-helpers[\ ,] ]] || fail "Depends lacks deb-systemd-invoke: $depends"
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

grep -qx 'StartLimitBurst=5' "$unit" || fail "no start limit: a broken configuration restarts for ever"

# The maintainer scripts as dpkg runs them, against a stand-in systemctl that records its calls
# (the actions; not the questions deb-systemd-invoke asks first) and knows two running, enabled
# instances in a scratch root.
dpkg-deb -e "$deb" "$scratch/control"
fake=$scratch/fake
wants=$fake/root/etc/systemd/system/multi-user.target.wants
mkdir -p "$fake/bin" "$fake/root/run/systemd/system" "$wants"
ln -s /usr/lib/systemd/system/drav-logger@.service "$wants/drav-logger@one.service"
cat >"$fake/bin/systemctl" <<'EOF'
#!/bin/sh
case "$*" in
  *is-enabled*) echo enabled; exit 0 ;;
  *is-active*) exit 3 ;;
esac
echo "$*" >>"$CALLS"
case "$*" in *list-units*)
  echo "drav-logger@one.service loaded active running Game server monitor and logger for one"
  echo "drav-logger@two.service loaded activating auto-restart Game server monitor and logger for two"
esac
EOF
chmod +x "$fake/bin/systemctl"
expect_calls() {
  : >"$fake/calls"
  CALLS=$fake/calls DPKG_ROOT=$fake/root PATH=$fake/bin:$PATH "$scratch/control/$2" "${@:3}" ||
    fail "${*:2} failed"
  [ "$(cat "$fake/calls")" = "$1" ] ||
    fail "${*:2} called systemctl with:"$'\n'"$(cat "$fake/calls")"$'\n'"instead of:"$'\n'"$1"
}
instances="drav-logger@one.service drav-logger@two.service"
list="--system list-units --state=active,activating --plain --no-legend drav-logger@*.service"
reload="--system daemon-reload"
expect_calls "$list"$'\n'"stop $instances" prerm remove
expect_calls "$reload" postrm remove
expect_calls "$list"$'\n'"stop $instances" prerm upgrade 1.0.1
expect_calls "$reload"$'\n'"--quiet --system start $instances" postinst configure "$version"
expect_calls "$reload" postinst configure
expect_calls "$reload"$'\n'"try-restart drav-logger@*.service" postinst configure 0.9
expect_calls "$reload" postrm purge
[ ! -L "$wants/drav-logger@one.service" ] || fail "the purge left the instance enabled"

# The demo's install step asks only for what building and running the programs needs, not for
# a test tool: with stand-ins that find nothing installed, record what apt-get is asked for and
# stop the demo at its first cmake.
source=$(cd "$(dirname "$0")/.." && pwd)
demo=$scratch/demo
mkdir -p "$demo"
printf '#!/bin/sh\necho "$*" >>"%s/apt-get.calls"\n' "$demo" >"$demo/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$demo/dpkg-query"
printf '#!/bin/sh\nexit 3\n' >"$demo/cmake"
printf '#!/bin/sh\nexec "$@"\n' >"$demo/sudo"
chmod +x "$demo"/*
status=0
PATH=$demo:$PATH DRAV_DEMO_BUILD=$demo/build "$source/scripts/demo" >"$demo/out" 2>&1 || status=$?
[ "$status" = 3 ] || fail "the demo did not stop at cmake (status $status): $(cat "$demo/out")"
[ "$(cat "$demo/apt-get.calls")" = "update -q
install -y -q --no-install-recommends g++ cmake make pkg-config libncurses-dev libevent-dev nlohmann-json3-dev" ] ||
  fail "the demo asked apt-get for:"$'\n'"$(cat "$demo/apt-get.calls")"

if command -v lintian >/dev/null; then
  lintian --fail-on error --display-info "$deb" || fail "lintian found errors"
else
  echo "lintian is not installed: the package is not linted"
fi
echo "package $(basename "$deb") checked"
