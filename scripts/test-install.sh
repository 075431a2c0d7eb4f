#!/usr/bin/env bash
# Installs what `make wheel` wrote to dist/ into fresh virtual environments, one per wheel
# whose interpreter is given, and runs scripts/install_check.py against each from a directory
# outside the source tree. With --source, also installs the source tree itself with
# `pip install --no-index --no-build-isolation .` into an environment that sees the system's
# setuptools and wheel.
#
#   scripts/test-install.sh [--source] PYTHON...
set -euo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
source_too=0
if [[ ${1:-} == --source ]]; then source_too=1; shift; fi
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cp "$HERE/scripts/install_check.py" "$HERE/examples/robot.py" "$WORK/"

run_check() {  # run_check VENV
  (cd "$WORK" && "$1/bin/python" install_check.py "$1")
  (cd "$WORK" && "$1/bin/velto-controller" --help > /dev/null)
  # velto-frame comes with the package: a reply encoded, and a frame decoded from stdin.
  [[ $("$1/bin/velto-frame" encode 1 Idle confirm true) == "93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3" ]] ||
    { echo "test-install: velto-frame in $1 does not encode a reply" >&2; exit 1; }
  printf '\x92\x00\x81\xabClickButton\x90' | "$1/bin/velto-frame" decode - > /dev/null
  # The installed stubs and py.typed as a type checker finds them (PEP 561); mypy runs
  # under CPython only.
  if [[ $("$1/bin/python" -c 'import sys; print(sys.implementation.name)') == cpython ]] &&
     /usr/bin/python3 -c 'import mypy' 2> /dev/null; then
    (cd "$WORK" && /usr/bin/python3 -m mypy --strict --no-error-summary --cache-dir "$WORK/mypy-cache" \
       --python-executable "$1/bin/python" robot.py)
  fi
}

for py in "$@"; do
  tag=$("$py" -c 'import sys; print("pp%d%d" % sys.version_info[:2] if sys.implementation.name == "pypy" else "cp%d%d" % sys.version_info[:2])')
  plat=$("$py" -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
  wheels=("$HERE"/dist/velto_protocol-*-"$tag"-*-"$plat".whl)
  [[ -e ${wheels[0]} ]] || { echo "test-install: no $tag $plat wheel in dist/ (make wheel)" >&2; exit 1; }
  venv=$WORK/wheel-$tag
  "$py" -m venv "$venv"
  "$venv/bin/pip" install -q --no-index "${wheels[-1]}"
  run_check "$venv"
  if [[ $source_too == 1 ]]; then
    venv=$WORK/source-$tag
    "$py" -m venv --system-site-packages "$venv"
    (cd "$HERE" && "$venv/bin/pip" install -q --no-index --no-build-isolation .)
    run_check "$venv"
  fi
done
