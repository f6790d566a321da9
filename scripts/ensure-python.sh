#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter with its C headers, pip and venv,
# installing one when the machine has none:
#   1. one already on the machine (PATH, /usr/bin, /usr/local/bin, /opt/python3.13, pyenv);
#   2. Debian's python3.13-dev and python3.13-venv packages, where the release ships them;
#   3. otherwise CPython built from Debian's own python3.13 source package (trixie) into
#      /opt/python3.13 (a few minutes, once per machine). The extra source list lives in a
#      private folder, so the machine's apt configuration is left as it was.
# Progress goes to stderr; stdout carries only the path.
set -euo pipefail

PREFIX=${ZELK_PYTHON_PREFIX:-/opt/python3.13}

usable() {
  "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os, venv, ensurepip
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

find_one() {
  local c
  for c in "${ZELK_PYTHON:-}" "$(command -v python3.13 || true)" /usr/bin/python3.13 \
           /usr/local/bin/python3.13 "$PREFIX/bin/python3.13" \
           "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
    if [ -n "$c" ] && [ -x "$c" ] && usable "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

find_one && exit 0

command -v apt-get >/dev/null || { echo "ensure-python: no CPython 3.13 found and no apt-get to install one" >&2; exit 1; }
sudo_=""; [ "$(id -u)" = 0 ] || sudo_="sudo"

# 2. The distribution's own packages, where it has them.
echo "ensure-python: looking for Debian's python3.13 packages" >&2
$sudo_ apt-get update -q >&2 || true
if apt-cache show python3.13-dev >/dev/null 2>&1; then
  $sudo_ apt-get install -y -q python3.13-dev python3.13-venv >&2 && find_one && exit 0
fi

# 3. Build from Debian's source package in a private apt tree.
echo "ensure-python: building CPython 3.13 from Debian's source package into $PREFIX" >&2
work=$(mktemp -d /tmp/zelk-python313.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
uri=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1 || true)
[ -n "$uri" ] || uri=$(grep -h -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n1 || true)
[ -n "$uri" ] || { echo "ensure-python: no Debian archive found in the apt sources" >&2; exit 1; }
cat > "$work/parts/trixie.sources" <<SRC
Types: deb-src
URIs: $uri
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_=(apt-get -q -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$work/parts"
      -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
"${apt_[@]}" update >&2
$sudo_ apt-get install -y -q build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev uuid-dev xz-utils >&2
(cd "$work/src" && "${apt_[@]}" source --download-only python3.13 >&2)
tar -C "$work/src" -xf "$work"/src/python3.13_*.orig.tar.xz
cd "$work"/src/Python-3.13.*/
./configure -q --prefix="$PREFIX" --with-ensurepip=install >&2
make -s -j"$(nproc)" >&2
$sudo_ make -s install >&2
find_one
