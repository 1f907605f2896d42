#!/usr/bin/env bash
# Builds the Debian packages (debian/) from this checkout, checks them with lintian, installs them
# with apt, runs the installed server as its service account on a private socket and calls it with
# the installed client, reinstalls with a changed schedule and checks the store, the schedule and
# the registry were kept, then removes (data kept) and purges (data gone, nothing else left).
#   bash tools/package_test.sh
# It installs into this machine, so it runs only as root with apt and dpkg-buildpackage, and not
# where kelvarin is already installed (its purge would delete that installation's data); otherwise
# it says why it skips and exits 0. No systemd runs in a container: the server is started the way
# the packaged unit starts it (its account and its Environment= lines), not through systemctl.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

skip() { echo "package_test: SKIPPED: $*"; exit 0; }
fail() { echo "package_test: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
command -v apt-get >/dev/null || skip "no apt-get here"
command -v dpkg-buildpackage >/dev/null || skip "no dpkg-buildpackage (bash tools/setup.sh package)"
command -v setpriv >/dev/null || skip "no setpriv to run the server as its account"
for p in kelvarin kelvarin-cli python3-kelvarin; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
    skip "$p is already installed here; this test would purge it"
  fi
done

started=$SECONDS
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
# Built in a fixed folder outside the checkout: dpkg-buildpackage writes its results beside the
# source, and a fixed path lets the compiler cache hit on the next run.
work=/tmp/kelvarin-pkg
rm -rf "$work"
mkdir -p "$work/kelvarin-$version"
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files -co --exclude-standard -z | xargs -0 tar -cf - | tar -xf - -C "$work/kelvarin-$version"
else
  tar -cf - --exclude=./build --exclude=./.git . | tar -xf - -C "$work/kelvarin-$version"
fi

echo "package_test: building kelvarin $version"
build_env=(DEB_BUILD_OPTIONS="nocheck parallel=2")
if command -v ccache >/dev/null; then
  build_env+=(KELVARIN_CCACHE=1 CCACHE_DIR="${CCACHE_DIR:-/tmp/ccache}" CCACHE_BASEDIR="$work/kelvarin-$version"
              CCACHE_NOHASHDIR=1)
fi
(cd "$work/kelvarin-$version" && env "${build_env[@]}" dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; fail "dpkg-buildpackage (log: $work/build.log)"; }
echo "package_test: built in $((SECONDS - started)) s"
arch=$(dpkg --print-architecture)
debs=("$work/kelvarin_${version}_$arch.deb" "$work/kelvarin-cli_${version}_$arch.deb"
      "$work/python3-kelvarin_${version}_all.deb")
for d in "${debs[@]}"; do [ -f "$d" ] || fail "no $d"; done

if command -v lintian >/dev/null; then
  # Errors and warnings fail; the accepted ones are overridden, with reasons, in debian/.
  lintian --fail-on error,warning "$work/kelvarin_${version}_${arch}.changes" ||
    fail "lintian reported errors or warnings"
else
  echo "package_test: lintian not installed, not run"
fi

# What exists outside the documented paths before installing, to compare after the purge.
snapshot() {
  find /etc /usr /var /opt /srv -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
    -o -path /var/log -o -path /var/tmp -o -path /var/lib/systemd/deb-systemd-helper-masked \) -prune \
    -o -print 2>/dev/null | grep -v -E '^/etc/(passwd|group|shadow|gshadow)-?$|^/etc/ld.so.cache$' | sort
}
snapshot >"$work/before.txt"

echo "package_test: installing"
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${debs[@]}" >"$work/install.log" 2>&1 ||
  { tail -30 "$work/install.log"; fail "apt-get install"; }

unit=/lib/systemd/system/CalculatorServerService.service
getent passwd kelvarin >/dev/null || fail "no account kelvarin after installing"
for d in /var/lib/kelvarin /etc/kelvarin; do
  [ "$(stat -c %U:%a "$d")" = kelvarin:750 ] || fail "$d is not kelvarin's with mode 750: $(stat -c %U:%a "$d")"
done
grep -qx 'User=kelvarin' "$unit" || fail "the unit does not run as kelvarin"
grep -q '<policy user="kelvarin">' /usr/share/dbus-1/system.d/com.quorlith.Kelvarin.conf ||
  fail "the bus policy does not let kelvarin own the name"
[ -L /etc/systemd/system/multi-user.target.wants/CalculatorServerService.service ] ||
  fail "the unit is not enabled"
/usr/bin/python3 -c 'import kelvarin' || fail "python3-kelvarin does not import"

# The unit's environment, as systemd would hand it to the server.
unit_env=(HOME=/var/lib/kelvarin PATH=/usr/bin:/bin)
while IFS= read -r line; do
  value=${line#Environment=}
  value=${value#\"}
  unit_env+=("${value%\"}")
done < <(grep '^Environment=' "$unit")
printf '%s\n' "${unit_env[@]}" | grep -qx 'KELVARIN_PROGRAMDATA=/var/lib/kelvarin' ||
  fail "the unit does not put the data in /var/lib/kelvarin"

rundir=$(mktemp -d)
chown kelvarin:kelvarin "$rundir"
sock=$rundir/bus
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$rundir"
}
trap cleanup EXIT

# The service account and its environment: the private socket is the server's own (mode 0660),
# and the client's registry is then the service's.
as_service() { setpriv --reuid=kelvarin --regid=kelvarin --init-groups env -i "${unit_env[@]}" "$@"; }
cli() { as_service /usr/bin/kelvarin-cli --address "unix:path=$sock" "$@"; }

start_server() {
  # Not through as_service: a function put in the background runs in a subshell, and $! would be
  # that shell's, not the server's.
  setpriv --reuid=kelvarin --regid=kelvarin --init-groups env -i "${unit_env[@]}" \
    /usr/bin/kelvarin --socket "$sock" >>"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 600); do
    cli CalcCommandVersion >/dev/null 2>&1 && return 0
    kill -0 "$server_pid" 2>/dev/null || fail "the installed server ended (log: $work/server.log)"
    sleep 0.1
  done
  fail "the installed server did not answer within 60 s"
}
# SIGTERM, as systemctl stop: the server saves the schedule before it ends.
stop_server() {
  kill -TERM "$server_pid"
  local rc=0
  wait "$server_pid" || rc=$?
  server_pid=""
  [ "$rc" -eq 0 ] || fail "the server ended with status $rc on SIGTERM (log: $work/server.log)"
}

expect() {  # expect TEXT OUTPUT WHAT
  grep -qF -- "$1" <<<"$2" || fail "$3: expected \"$1\" in: $2"
}

start_server
expect "v" "$(cli CalcCommandVersion)" "CalcCommandVersion"
cat >"$rundir/setup.txt" <<'EOF'
c = CreateCalculationObject Doubled "" ""
SetObjectProperties @c Script "return 21 * 2"
SaveCalculationObject @c
AddScheduleGroup Hourly 1h 0 0 0
AddScheduledItem Hourly Doubled
EOF
chown kelvarin "$rundir/setup.txt"
cli batch "$rundir/setup.txt" >/dev/null || fail "creating a calculation and a schedule group"
expect "Value:     42" "$(cli run Doubled)" "run Doubled"
expect "Hourly" "$(cli scheduler)" "the schedule after AddScheduleGroup"

# The schedule changes, then the package is installed again over itself.
cli AddScheduleGroup Nightly 1d 0 0 0 >/dev/null || fail "AddScheduleGroup Nightly"
stop_server
# A registry value the reinstall must keep, written as the service account while no server
# holds the registry.
as_service /usr/bin/kelvarin-cli reg set 'HKLM\SOFTWARE\Kelvarin\PackageTest' Kept yes >/dev/null ||
  fail "writing the registry"
echo "package_test: reinstalling"
DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "${debs[0]}" >>"$work/install.log" 2>&1 ||
  fail "apt-get install --reinstall"
start_server
schedule=$(cli scheduler)
expect "Hourly" "$schedule" "the schedule after the reinstall"
expect "Nightly" "$schedule" "the changed schedule after the reinstall"
expect "Value:     42" "$(cli run Doubled)" "the stored calculation after the reinstall"
expect "yes" "$(as_service /usr/bin/kelvarin-cli reg get 'HKLM\SOFTWARE\Kelvarin\PackageTest' Kept)" "the registry after the reinstall"
stop_server

echo "package_test: removing"
DEBIAN_FRONTEND=noninteractive apt-get remove -y kelvarin >>"$work/install.log" 2>&1 || fail "apt-get remove"
[ ! -e /usr/bin/kelvarin ] || fail "remove left /usr/bin/kelvarin"
[ -n "$(ls -A /var/lib/kelvarin)" ] || fail "remove deleted the store"
[ -f /etc/kelvarin/system.reg ] || fail "remove deleted the registry"

echo "package_test: purging"
DEBIAN_FRONTEND=noninteractive apt-get purge -y kelvarin kelvarin-cli python3-kelvarin >>"$work/install.log" 2>&1 ||
  fail "apt-get purge"
for d in /var/lib/kelvarin /etc/kelvarin; do [ ! -e "$d" ] || fail "purge left $d"; done
snapshot >"$work/after.txt"
left=$(comm -13 "$work/before.txt" "$work/after.txt")
[ -z "$left" ] || fail "purge left files behind: $left"
# The account stays (documented): files elsewhere may still be its own.
echo "package_test: OK in $((SECONDS - started)) s"
