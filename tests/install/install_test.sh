#!/bin/bash
# Installs the program into a scratch root - from the Debian package (dpkg -x) where dpkg is
# there, else with DESTDIR - checks the installed files, then runs the installed program against
# the simulated network server: a client's bytes go through an echo modem and come back, and
# SIGTERM ends the program with 0 (where the build watches stop signals: LINUX_PARTS ON).
# Usage: install_test.sh BUILD_DIR SIMULATOR LINUX_PARTS
set -euo pipefail
build_dir=$1
simulator=$2
linux_parts=${3:-ON}
bound=300  # tenths of a second for each wait below

work=$(mktemp -d)
sim_pid=
program_pid=
cleanup() {
    local pid
    for pid in $program_pid $sim_pid; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits until the command succeeds, polling every tenth of a second up to the bound.
wait_for() {
    local i
    for ((i = 0; i < bound; ++i)); do "$@" && return 0; sleep 0.1; done
    return 1
}

root=$work/root
if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    (cd "$build_dir" && cpack -G DEB -B "$work/package" >"$work/cpack.out" 2>&1) ||
        { cat "$work/cpack.out" >&2; fail "cpack"; }
    deb=$(ls "$work"/package/*.deb)
    dpkg-deb -x "$deb" "$root"
    for field in Package Version Maintainer Description Depends; do
        [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "the package has no $field field"
    done
    dpkg-deb -f "$deb" Depends | grep -Eq 'libqt[56]' || fail "the dependencies name no Qt library"
    echo "Package $(basename "$deb"), depends on: $(dpkg-deb -f "$deb" Depends)"
else
    DESTDIR=$root cmake --install "$build_dir" --prefix /usr >/dev/null
    echo "Installed with DESTDIR (no dpkg)"
fi

for file in bin/quvo_vevi2zar share/applications/quvo_vevi2zar.desktop \
            share/man/man1/quvo_vevi2zar.1.gz \
            share/doc/quvo_vevi2zar/examples/quvo_vevi2zar.cfg share/doc/quvo_vevi2zar/examples/devices.cfg \
            share/doc/quvo_vevi2zar/examples/quvo_vevi2zar.service \
            share/doc/quvo_vevi2zar/examples/quvo_vevi2zar-user.service; do
    [ -s "$root/usr/$file" ] || fail "missing /usr/$file"
done
[ -x "$root/usr/bin/quvo_vevi2zar" ] || fail "the program is not executable"
for size in 16 22 24 32 48 64; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/quvo_vevi2zar.png
    [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "no PNG icon of $size"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/quvo_vevi2zar.desktop" || fail "desktop entry"
fi
zcat "$root/usr/share/man/man1/quvo_vevi2zar.1.gz" | grep -q '^\.SH "СОСТОЯНИЕ ВЫХОДА"' || fail "manual page"
if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$root/usr/share/man/man1/quvo_vevi2zar.1.gz" 2>/dev/null | grep -q 'SIGTERM' ||
        fail "the manual page does not render"
fi

# The simulated network server with one echo modem.
"$simulator" --modem "0011223344556677:Meter:echo" </dev/null >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for grep -q '^listening ' "$work/sim.out" || fail "the simulator did not start"
url=$(sed -n 's/^listening //p' "$work/sim.out" | head -1)

# A port that nobody on loopback answers at the moment, below the system's range for outgoing
# connections, so that no other test's client takes it meanwhile.
port=
for candidate in $(shuf -i 20000-32000 -n 50); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || fail "no free port"

run=$work/run
mkdir "$run"
sed -e "s|^ws_url = .*|ws_url = \"$url\"|" -e 's|^trace_tcp = .*|trace_tcp = all|' \
    "$root/usr/share/doc/quvo_vevi2zar/examples/quvo_vevi2zar.cfg" >"$run/quvo_vevi2zar.cfg"
echo "device(eui=0011223344556677, tcp_port=$port)" >"$run/devices.cfg"
(cd "$run" && exec env QT_QPA_PLATFORM=offscreen "$root/usr/bin/quvo_vevi2zar" >program.out 2>&1) &
program_pid=$!
wait_for grep -q "tcp$port\.listen" "$run/quvo_vevi2zar.log" 2>/dev/null ||
    { cat "$run/quvo_vevi2zar.log" >&2 || true; fail "the installed program serves no modem"; }
# The port is traced just before it listens.
connect_client() { exec 3<>"/dev/tcp/127.0.0.1/$port"; }
wait_for connect_client 2>/dev/null ||
    { cat "$run/quvo_vevi2zar.log" >&2; fail "the modem's port accepts no client"; }
printf 'ping' >&3
reply=
read -r -t $((bound / 10)) -N 4 reply <&3 || true
exec 3>&-
[ "$reply" = ping ] || fail "the bytes did not come back through the modem (got '$reply')"

if [ "$linux_parts" != ON ]; then
    echo "The exit on SIGTERM is not checked: the build watches no stop signals"
    echo "1 passed, 0 failed"
    exit 0
fi
kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=
[ "$status" -eq 0 ] || fail "exit code $status after SIGTERM"
grep -q 'Сигнал SIGTERM' "$run/quvo_vevi2zar.log" || fail "SIGTERM not logged"
echo "1 passed, 0 failed"
