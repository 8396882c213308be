#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The manual pages as man shows them: groff renders each one without a
# warning, and each program's page names every option its --help prints
# (vessikd's options are settings of vessikd.conf(5) too).
#
# manpages_test.sh MAN_DIR PAGE=PROGRAM...
#   MAN_DIR holds the rendered pages (vessik-read.1 ...); each PAGE=PROGRAM
#   pairs a page with the program whose --help it must cover.
set -euo pipefail

man_dir=$1
shift
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The page as plain text, one paragraph to a line: no option is split at a
# line's end.
page_text() { groff -man -Tascii -rLL=10000n -P-cbou "$man_dir/$1" 2>/dev/null; }

# Options a --help names, once each: --json, --max-request-bytes ...
help_options() { "$1" --help | grep -oE -- '--[a-z][a-z-]*[a-z]' | sort -u; }

# An option as a whole word: --card is not found in --card-after.
names() { grep -qE -- "(^|[^a-z-])$2([^a-z-]|\$)" <<<"$1"; }

for page in "$man_dir"/*.[158]; do
  warnings=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): groff warns:"$'\n'"$warnings"
done

conf_text=""
[ -f "$man_dir/vessikd.conf.5" ] && conf_text=$(page_text vessikd.conf.5)

for pair in "$@"; do
  page=${pair%%=*}
  program=${pair#*=}
  text=$(page_text "$page")
  options=$(help_options "$program")
  [ -n "$options" ] || fail "$program --help names no option"
  for option in $options; do
    names "$text" "$option" || fail "$page does not name $option"
    # Every option of vessikd but these is also a setting of its file.
    if [ "$page" = vessikd.8 ] && [[ ! $option =~ ^--(config|help|version)$ ]]; then
      names "$conf_text" "${option#--} =" || fail "vessikd.conf.5 has no setting ${option#--}"
    fi
  done
done

[ "$failures" -eq 0 ] || exit 1
pages=("$man_dir"/*.[158])
echo "manual pages: ${#pages[@]} rendered cleanly, $# cover their programs' options"
