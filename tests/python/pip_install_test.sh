#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The README's installs of the Python package, with no package index: pip
# install ./python into a fresh virtualenv, then the README's one-liner under
# the virtual reader, from outside the sources; and the pure wheel, built by
# pip, installed into a Python that has nothing but pip (no setuptools, no
# wheel, no Debian packages: as a Python built from source or by pyenv).
# pip_install_test.sh PYTHON PACKAGE_DIR WORK_DIR LAUNCHER CARD LIBRARY DECODER
set -euo pipefail
python=$1 package=$2 work=$3 launcher=$4 card=$5
export VESSIK_LIBRARY=$6 VESSIK_PHOTO_DECODER=$7
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cp -r "$package" "$work/python" # pip builds inside the folder it installs from
cd "$work"
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
"$python" -m venv venv
venv/bin/pip install ./python >pip.log 2>&1 || { cat pip.log; fail "pip install"; }
[ -f "$(echo venv/lib/python3*/site-packages/vessik/py.typed)" ] || fail "py.typed not installed"

out=$("$launcher" --card "$card" -- venv/bin/python -c \
  'import vessik; print(vessik.__file__); print(vessik.read(timeout=5))' 2>&1) ||
  { echo "$out"; fail "reading through the installed package"; }

grep -q "^$work/venv/lib/python3.*/site-packages/vessik/__init__.py$" <<<"$out" ||
  fail "the package imported is not the installed one"
id_number=$(sed -n 's/^id_number *= *//p' "$card")
grep -q "$id_number" <<<"$out" || fail "the card was not printed"

# The installed command beside a vessik/ folder, which python3 -m vessik imports.
mkdir -p decoy/vessik
echo 'raise SystemExit("the decoy was imported")' >decoy/vessik/__init__.py
! (cd decoy && ../venv/bin/python -m vessik --help >/dev/null 2>&1) ||
  fail "python3 -m vessik did not import the decoy: this check proves nothing"
help=$(cd decoy && ../venv/bin/vessik --help) || fail "vessik --help beside a vessik/ folder"
grep -q "^usage: vessik " <<<"$help" || fail "vessik --help printed no usage of vessik"

# The wheel CI builds: pure Python, for every Python 3.
"$python" -m pip wheel --no-deps -w dist ./python >wheel.log 2>&1 || { cat wheel.log; fail "pip wheel"; }
wheel=$(echo dist/vessik-*.whl)
[[ $wheel == dist/vessik-*-py3-none-any.whl ]] || fail "the wheel is $wheel, not py3-none-any"

# A Python with pip alone: pip run from its own wheel, which Debian ships.
pip_wheel=$(compgen -G "/usr/share/python-wheels/pip-*.whl" | head -n 1) ||
  fail "no pip wheel in /usr/share/python-wheels (python3-pip-whl)"
"$python" -m venv --without-pip bare
! bare/bin/python -c 'import setuptools' 2>/dev/null || fail "the bare Python has setuptools"
bare/bin/python "$pip_wheel/pip" install "$wheel" >bare.log 2>&1 || { cat bare.log; fail "the wheel"; }
out=$("$launcher" --card "$card" -- bare/bin/vessik --json --timeout 5 2>&1) ||
  { echo "$out"; fail "bare/bin/vessik"; }
grep -q "\"id_number\":\"$id_number\"" <<<"$out" || { echo "$out"; fail "bare/bin/vessik: no card"; }
