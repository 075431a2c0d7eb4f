#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzer and the benchmarks need.
# Idempotent: asks apt only for what dpkg does not already report as installed.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build make pkg-config
  python3-dev pypy3 pypy3-dev
  libmsgpuck-dev libmsgpack-dev nettle-dev
  libgtest-dev libbenchmark-dev
  python3-pytest python3-exceptiongroup python3-tomli python3-msgpack
  clang-14 libclang-rt-14-dev clang-format-14
  python3-venv pypy3-venv python3-pip python3-setuptools python3-wheel
  python3-pip-whl python3-setuptools-whl python3-wheel-whl
  mypy tmux python3-websockets
  gcovr python3-coverage
)
# Node's ws client, the WebSocket cross-check of `make test` (tests/node, pinned and installed
# by `npm ci`): node, and npm unless that node brings its own.
PACKAGES+=(nodejs)
command -v npm > /dev/null || PACKAGES+=(npm)
# --i386: for the steps that build inside a 32-bit x86 root. --i386-emulation: also what runs
# that root where the kernel runs no 32-bit x86 program (scripts/i386-root.sh asks for it).
# --browser: what `make test-browser` drives the controller page with (Chromium; Node and npm
# for the pinned puppeteer-core are in the base list above).
case ${1:-} in
  --i386) PACKAGES+=(debootstrap) ;;
  --i386-emulation) PACKAGES+=(debootstrap qemu-user-static) ;;
  --browser) PACKAGES+=(chromium) ;;
  "") ;;
  *) echo "install-deps: unknown option $1 (--i386, --i386-emulation, --browser)" >&2; exit 2 ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) != 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
