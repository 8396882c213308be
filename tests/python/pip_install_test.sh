#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The README's install of the Python package: pip install ./python into a
# fresh virtualenv with no package index, then the README's one-liner under
# the virtual reader, from outside the sources.
# pip_install_test.sh PYTHON PACKAGE_DIR WORK_DIR LAUNCHER CARD LIBRARY DECODER
set -euo pipefail
python=$1 package=$2 work=$3 launcher=$4 card=$5
export VESSIK_LIBRARY=$6 VESSIK_PHOTO_DECODER=$7
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cp -r "$package" "$work/python" # pip builds inside the folder it installs from
cd "$work"
"$python" -m venv --system-site-packages venv
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 venv/bin/pip install --no-build-isolation ./python \
  >pip.log 2>&1 || { cat pip.log; fail "pip install"; }
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
