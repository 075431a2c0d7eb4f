#!/usr/bin/env bash
# Builds and tests inside a 32-bit x86 Debian root with PyPy, the platform the module ships on.
#
#   scripts/i386-root.sh setup            create the root (or bring its packages up to date)
#   scripts/i386-root.sh run -- CMD...    run CMD inside the root, the project mounted at /src
#   scripts/i386-root.sh can-run          whether 32-bit x86 programs run here, natively or under
#                                         user-mode emulation (which it sets up, as root)
#
# The root lives in $VELTO_I386_ROOT (default /var/tmp/velto-i386-root). Creating it takes
# about 90 s on a kernel that runs 32-bit x86 programs, about 6 min under emulation; later
# calls reuse it and reinstall only when the package list changes. Each call runs in a private
# mount namespace, so its mounts vanish with it even when it is killed.
#
# Where the kernel runs no 32-bit x86 program (built or booted without IA-32 emulation: every
# i386 execve fails with ENOEXEC), the root runs under qemu's user-mode emulation instead:
# qemu-user-static is installed and registered with the kernel's binfmt_misc for i386 ELF
# programs, with flag F, so that the kernel opens the interpreter once at registration and
# programs inside the root run without a copy of it there. A registration that already
# exists is left as it is. Inside an emulated root, VELTO_EMULATOR names the emulator and
# VELTO_WAIT_FACTOR (default 10) multiplies every bounded wait of the tests.
set -euo pipefail

ROOT=$(realpath -m "${VELTO_I386_ROOT:-/var/tmp/velto-i386-root}")
SUITE=bookworm
PACKAGES="pypy3 pypy3-dev g++ make cmake ninja-build libmsgpuck-dev nettle-dev libgtest-dev
          python3-pytest python3-exceptiongroup python3-tomli
          pypy3-venv python3-pip python3-setuptools python3-wheel
          python3-pip-whl python3-setuptools-whl python3-wheel-whl"
STAMP=var/lib/velto-i386.stamp
HERE=$(cd "$(dirname "$0")/.." && pwd)

QEMU=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
# i386 executables and shared objects (ELF, 32-bit, little-endian, machine 3).
QEMU_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
QEMU_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

die() { echo "i386-root: $*" >&2; exit 1; }

# The probe is a program that only exits, assembled and linked for i386 by the host's
# binutils: whether it runs says whether i386 programs run, natively or emulated. With
# `native`, a byte of the identification's padding is set, which the kernel ignores but which
# keeps binfmt_misc's i386 entries from matching, so only the kernel itself can run it.
runs_i386() {
  local dir status=0
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' > "$dir/exit.s"
  # A probe that cannot be built decides nothing: the real steps then show what happens.
  if as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null &&
     ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null; then
    if [[ ${1:-} == native ]]; then
      printf '\x01' | dd of="$dir/exit" bs=1 seek=15 conv=notrunc status=none
    fi
    "$dir/exit" 2>/dev/null || status=1
  fi
  rm -rf "$dir"
  return $status
}

# Registers qemu-i386-static for i386 programs, installing it first; fails with the reason
# where that cannot be done.
register_qemu() {
  [[ $(id -u) == 0 ]] || die "$NO_I386, and only root can set up user-mode emulation (qemu-user-static and a binfmt_misc entry)"
  grep -qw binfmt_misc /proc/filesystems ||
    die "$NO_I386, and it has no binfmt_misc, which user-mode emulation needs"
  [[ -x $QEMU ]] || bash "$HERE/scripts/install-deps.sh" --i386-emulation >&2
  [[ -x $QEMU ]] || die "$NO_I386, and $QEMU is missing after installing qemu-user-static"
  if [[ ! -e $BINFMT/register ]]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" ||
      die "$NO_I386, and binfmt_misc cannot be mounted on $BINFMT"
  fi
  # A call beside this one may have registered the entry first: that one serves as well.
  printf ':qemu-i386:M::%s:%s:%s:F\n' "$QEMU_MAGIC" "$QEMU_MASK" "$QEMU" > "$BINFMT/register" 2>/dev/null ||
    [[ -e $BINFMT/qemu-i386 ]] || die "$NO_I386, and binfmt_misc refused the qemu-i386 entry"
  echo "i386-root: registered $QEMU for i386 programs ($BINFMT/qemu-i386)" >&2
}

# Decides how the root runs, setting EMULATED: natively (0) or under user-mode emulation (1),
# which it sets up where the kernel runs no i386 program. Fails with the reason where neither
# works. An enabled qemu-i386 entry that was there before serves even on a kernel that runs
# i386 programs itself (binfmt_misc comes first), and then the root runs emulated too.
NO_I386="this kernel does not run 32-bit x86 programs (IA-32 emulation is off; see dmesg)"
EMULATED=0
ensure_i386() {
  local entry=$BINFMT/qemu-i386
  if [[ -e $entry ]] && grep -qx enabled "$entry"; then
    # Used as it is, ours or not; but the root needs its flag F.
    grep -qx 'flags:.*F.*' "$entry" ||
      die "the qemu-i386 entry in $BINFMT lacks flag F, so programs inside the root cannot reach its interpreter (echo -1 > $entry removes it; where the kernel runs no i386 program this script then registers its own)"
  elif runs_i386 native; then
    return 0
  elif [[ -e $entry ]]; then
    die "$NO_I386, and the qemu-i386 entry in $BINFMT is disabled (echo 1 > $entry enables it)"
  else
    register_qemu
  fi
  runs_i386 || die "$NO_I386, and an i386 program does not run under user-mode emulation either ($entry)"
  EMULATED=1
}

if [[ ${1:-} == can-run ]]; then
  ensure_i386
  if (( EMULATED )); then
    echo "i386-root: 32-bit x86 programs run here under user-mode emulation" >&2
  fi
  exit 0
fi

[[ $(id -u) == 0 ]] || die "must run as root (debootstrap, chroot and mounts need it)"
[[ $# -ge 1 ]] || die "usage: $0 setup | run -- CMD... | can-run"

if [[ ${VELTO_I386_NS:-} != 1 ]]; then
  # In the first namespace: binfmt_misc belongs to the whole machine, and a mount of it made
  # inside the private namespace would vanish with it.
  ensure_i386
  if (( EMULATED )); then
    echo "i386-root: this kernel runs no 32-bit x86 program: the root runs under user-mode emulation ($QEMU), several times slower than native" >&2
  fi
  VELTO_I386_NS=1 VELTO_I386_EMULATED=$EMULATED exec unshare --mount --propagation private "$BASH" "$0" "$@"
fi
EMULATED=${VELTO_I386_EMULATED:-0}

# The mirror the host itself uses for the suite (one-line or deb822 sources).
host_mirror() {
  local uri
  uri=$(grep -hE "^deb .* $SUITE( |$)" /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '{ for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; exit } }' | head -n 1)
  if [[ -z $uri ]]; then
    uri=$(awk -v RS= -v s="$SUITE" '/Types:.*deb/ && $0 ~ ("Suites:[^\n]*[ ]" s "([ \n]|$)") {
            if (match($0, /URIs: *[^ \n]+/)) { u = substr($0, RSTART, RLENGTH); sub(/URIs: */, "", u); print u; exit } }' \
          /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

MOUNTS=()
mnt() { mount "$@"; MOUNTS=("${!#}" "${MOUNTS[@]}"); }
cleanup() {
  local m
  for m in "${MOUNTS[@]}"; do umount -R "$m" 2>/dev/null || umount -R -l "$m" || true; done
  MOUNTS=()
}
trap cleanup EXIT

mount_root() {
  mnt -t proc proc "$ROOT/proc"
  mnt --rbind /dev "$ROOT/dev"
  mnt -t sysfs -o ro sysfs "$ROOT/sys"
  mnt -t tmpfs -o mode=1777 tmpfs "$ROOT/tmp"
}

in_root() {  # in_root DIR CMD...
  local dir=$1; shift
  # Python's bytecode caches stay in the root: the project is the host's tree under another
  # path (/src), and a cache written on one side names its source by that side's path.
  local envs=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
              LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive PYTHONPYCACHEPREFIX=/var/cache/velto-pycache)
  [[ -n ${CI:-} ]] && envs+=("CI=$CI")
  if (( EMULATED )); then
    envs+=("VELTO_EMULATOR=$QEMU" "VELTO_WAIT_FACTOR=${VELTO_WAIT_FACTOR:-10}")
  elif [[ -n ${VELTO_WAIT_FACTOR:-} ]]; then
    envs+=("VELTO_WAIT_FACTOR=$VELTO_WAIT_FACTOR")
  fi
  setarch i686 chroot "$ROOT" /usr/bin/env -i -C "$dir" "${envs[@]}" "$@"
}

ensure_root() {
  local mirror
  mirror=$(host_mirror)
  if [[ ! -x $ROOT/usr/bin/apt-get ]]; then
    command -v debootstrap >/dev/null || { apt-get update -q && apt-get install -y -q debootstrap; }
    rm -rf "$ROOT.new"
    echo "i386-root: bootstrapping $SUITE/i386 into $ROOT from $mirror" >&2
    debootstrap --arch=i386 --variant=minbase "$SUITE" "$ROOT.new" "$mirror" >&2
    mv "$ROOT.new" "$ROOT"
  fi
  local want
  # shellcheck disable=SC2086
  want=$(printf '%s\n' $PACKAGES | sort -u | tr '\n' ' ')
  [[ ${1:-} != update && $(cat "$ROOT/$STAMP" 2>/dev/null) == "$want" ]] && return 0
  {
    echo "deb $mirror $SUITE main"
    echo "deb $mirror $SUITE-updates main"
  } > "$ROOT/etc/apt/sources.list"
  [[ -e /etc/resolv.conf ]] && cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
  [[ -s $ROOT/etc/hosts ]] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$ROOT/etc/hosts"
  mount_root
  in_root / apt-get update -q >&2
  # shellcheck disable=SC2086
  in_root / apt-get install -y -q --no-install-recommends $PACKAGES >&2
  in_root / apt-get clean
  cleanup
  echo "$want" > "$ROOT/$STAMP"
}

mkdir -p "$(dirname "$ROOT")"
exec 9>>"$ROOT.lock"
flock 9
case $1 in
  setup) ensure_root update ;;
  run)
    [[ $# -ge 3 && $2 == -- ]] || die "usage: $0 run -- CMD..."
    shift 2
    ensure_root
    mount_root
    mkdir -p "$ROOT/src"
    mnt --bind "$HERE" "$ROOT/src"
    in_root /src "$@" 9>&- ;;
  *) die "unknown command $1" ;;
esac
