#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs browser_test.mjs with playwright-core installed beside it in WORK_DIR
# (a folder of the build tree) and Debian's chromium. When node, npm or
# chromium is missing, or too old for the pinned playwright-core, it says
# which version it found and which it needs, and exits 77 (ctest: skipped);
# under CI (CI=true) it fails instead: CI must not go green without the page
# having been seen in a browser.
#
#   run_browser_test.sh SOURCE_DIR WORK_DIR LAUNCHER VESSIKD DECODER CARDS [SCRIPT ARG...]
# SCRIPT (browser_test.mjs by default) runs beside SOURCE_DIR's modules, with
# the options above and its own ARGs.
set -eu
source_dir=$1
work_dir=$2
shift 2
script=$source_dir/browser_test.mjs
[ $# -gt 4 ] && script=$5
chromium=${VESSIK_CHROMIUM:-/usr/bin/chromium}
# npm ci needs a lockfile of version 3 understood: npm 7 or newer.
npm_needed=7

cannot_run() {
    if [ "${CI:-}" = true ]; then
        echo "FAILED: $1 (CI=true: the browser test may not be skipped)"
        exit 1
    fi
    echo "SKIPPED: $1"
    exit 77
}

# The major number of the first dotted version in the text on stdin.
major_of() {
    sed -n 's/^[^0-9]*\([0-9][0-9]*\)\.[0-9].*/\1/p' | head -n 1
}

# The Node the pinned playwright-core declares it needs (its engines field
# in the lockfile), as a major number: ">=18" gives 18.
node_needed() {
    awk '/"node_modules\/playwright-core"/ { inside = 1 }
         inside && /"node": *">= *[0-9]+/ { sub(/.*">= */, ""); sub(/[^0-9].*/, ""); print; exit }' \
        "$source_dir/package-lock.json"
}

playwright_version() {
    awk '/"node_modules\/playwright-core"/ { inside = 1 }
         inside && /"version"/ { sub(/.*"version": *"/, ""); sub(/".*/, ""); print; exit }' \
        "$source_dir/package-lock.json"
}

# The Chromium the installed playwright-core was made for: older ones lack
# parts of the protocol it speaks.
chromium_needed() {
    awk '/"name": *"chromium"/ { inside = 1 }
         inside && /"browserVersion"/ { sub(/.*"browserVersion": *"/, ""); sub(/\..*/, ""); print; exit }' \
        node_modules/playwright-core/browsers.json 2>/dev/null
}

playwright=$(playwright_version)
for tool in node npm; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        cannot_run "$tool is not installed; playwright-core $playwright needs it (apt-get install -y nodejs npm)"
    fi
done
needed=$(node_needed)
found=$(node --version 2>/dev/null || true)
found_major=$(echo "$found" | major_of)
if [ -z "$needed" ]; then
    echo "FAILED: no Node version found in the engines of playwright-core in package-lock.json"
    exit 1
fi
if [ -z "$found_major" ] || [ "$found_major" -lt "$needed" ]; then
    cannot_run "Node ${found:-of unknown version} found at $(command -v node); playwright-core $playwright needs Node $needed or newer"
fi
npm_found=$(npm --version 2>/dev/null || true)
npm_major=$(echo "$npm_found" | major_of)
if [ -z "$npm_major" ] || [ "$npm_major" -lt "$npm_needed" ]; then
    cannot_run "npm ${npm_found:-of unknown version} found at $(command -v npm); installing playwright-core from its lockfile needs npm $npm_needed or newer"
fi
if [ ! -x "$chromium" ]; then
    cannot_run "no chromium at $chromium; playwright-core $playwright drives one (apt-get install -y chromium)"
fi
chromium_found=$("$chromium" --version 2>/dev/null | grep -i chrom | tail -n 1 || true)
chromium_major=$(echo "$chromium_found" | major_of)
if [ -z "$chromium_major" ]; then
    cannot_run "$chromium does not run (\"$chromium --version\" gave no version)"
fi

mkdir -p "$work_dir"
# The script runs from the folder that holds node_modules, so that Node finds
# playwright-core there.
for file in "$source_dir"/package.json "$source_dir"/package-lock.json "$source_dir"/*.mjs \
    "$script"; do
    cp "$file" "$work_dir/"
done
cd "$work_dir"
if [ ! -f node_modules/playwright-core/package.json ] ||
   ! cmp -s package-lock.json node_modules/.package-lock.json.installed; then
    if ! npm ci --no-audit --no-fund --loglevel=error; then
        echo "FAILED: npm ci (npm $npm_found, Node $found) could not install playwright-core $playwright into $work_dir"
        exit 1
    fi
    cp package-lock.json node_modules/.package-lock.json.installed
fi
chromium_wanted=$(chromium_needed)
if [ -n "$chromium_wanted" ] && [ "$chromium_major" -lt "$chromium_wanted" ]; then
    cannot_run "$chromium_found found at $chromium; playwright-core $playwright drives Chromium $chromium_wanted or newer"
fi
echo "node $found, npm $npm_found, playwright-core $playwright, $chromium_found"

launcher=$1 vessikd=$2 decoder=$3 cards=$4
shift 4
[ $# -gt 0 ] && shift
exec node "$(basename "$script")" --launcher "$launcher" --vessikd "$vessikd" --decoder "$decoder" \
    --cards "$cards" --out "$work_dir/screenshots" --chromium "$chromium" "$@"
