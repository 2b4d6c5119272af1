# Wine 10 from Debian 13 (trixie), for running PowerShell for Windows on the detection rule's facts
# (tests/deploy/windows-facts): Debian 12's Wine 8 cannot run .NET 10, and stays for everything
# else. It lives in a root of the project's own in the user's cache, never in the machine's own
# system: a minbase trixie made by mmdebstrap (as root, or in a user namespace), and one 64-bit
# prefix made in it, which each run reads through an overlay of its own. Sourced by
# scripts/install-deps and tests/deploy/windows-facts.
wine10_home=${XDG_CACHE_HOME:-$HOME/.cache}/brolendavir/wine10
wine10_root=$wine10_home/root
wine10_prefix=$wine10_home/prefix
# The 32-bit loader too: the shipped program is 32-bit (tests/pipeline). A root made before it had
# wine32 is not ready, and scripts/install-deps makes it again.
have_wine10() { [ -f "$wine10_home/ready" ] && [ -x "$wine10_root/usr/lib/wine/wine" ]; }

# wine10_enter LOWER UPPER BIND... -- COMMAND...: runs COMMAND (a shell text) in the root, in mount
# and PID namespaces of its own (a user namespace too, when not root), with /prefix an overlay of
# LOWER whose changes go to UPPER (a LOWER of - gives UPPER itself), and each BIND (HOST=INSIDE)
# bound in. Every process it leaves, the wineserver too, ends with it.
wine10_enter() {
  local lower=$1 upper=$2 userns=()
  shift 2
  [ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
  unshare "${userns[@]}" --mount --pid --fork --propagation private /bin/bash -s "$wine10_root" "$lower" "$upper" "$@" <<'INSIDE'
set -e
root=$1 lower=$2 upper=$3
shift 3
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/prefix"
if [ "$lower" = - ]; then
  mount --bind "$upper" "$root/prefix"
else
  mkdir -p "$upper/changes" "$upper/work"
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$upper/changes,workdir=$upper/work" "$root/prefix"
fi
while [ "$1" != -- ]; do
  mkdir -p "$root${1#*=}"
  mount --bind "${1%%=*}" "$root${1#*=}"
  shift
done
shift
# No debugger on a crash; no display wanted (the null graphics driver is set in the prefix).
exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin LANG=C.UTF-8 WINEPREFIX=/prefix \
  WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d /bin/sh -c "$1"
INSIDE
}

# make_wine10 MIRROR: the root (wine, wine64 and wine32 from trixie, with i386 beside amd64) and its
# prefix, 64-bit with its 32-bit side filled; "ready" once both are whole.
make_wine10() {
  local mirror=$1
  rm -rf "$wine10_home" && mkdir -p "$wine10_home" || return 1
  mmdebstrap --mode=auto --variant=minbase --architectures=amd64,i386 --include=wine,wine64,wine32:i386 trixie "$wine10_root" "$mirror" || return 1
  mkdir -p "$wine10_prefix"
  # Graphics=null: a program that opens a window runs without X (Wine's "Drivers" key).
  wine10_enter - "$wine10_prefix" -- \
    'wineboot -i && wine reg add "HKCU\Software\Wine\Drivers" /v Graphics /d null /f && wineserver -w' || return 1
  touch "$wine10_home/ready"
}
