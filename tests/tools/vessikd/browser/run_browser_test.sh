#!/bin/sh
# Runs browser_test.mjs with playwright-core installed beside it in WORK_DIR
# (a folder of the build tree) and Debian's chromium. Exit 77 (ctest: skipped)
# only when chromium, node or npm is not installed, and never under CI
# (CI=true), where a missing browser fails the test: CI must not go green
# without the page having been seen in a browser.
#
#   run_browser_test.sh SOURCE_DIR WORK_DIR LAUNCHER VESSIKD DECODER
set -eu
source_dir=$1
work_dir=$2
shift 2
chromium=${VESSIK_CHROMIUM:-/usr/bin/chromium}

missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAILED: $1 (CI=true: the browser test may not be skipped)"
        exit 1
    fi
    echo "SKIPPED: $1"
    exit 77
}

for tool in node npm; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        missing "$tool is not installed (apt-get install -y nodejs npm)"
    fi
done
if [ ! -x "$chromium" ]; then
    missing "no chromium at $chromium (apt-get install -y chromium)"
fi

mkdir -p "$work_dir"
# The script runs from the folder that holds node_modules, so that Node finds
# playwright-core there.
for file in package.json package-lock.json browser_test.mjs; do
    cp "$source_dir/$file" "$work_dir/$file"
done
cd "$work_dir"
if [ ! -f node_modules/playwright-core/package.json ] ||
   ! cmp -s package-lock.json node_modules/.package-lock.json.installed; then
    if ! npm ci --no-audit --no-fund --loglevel=error; then
        echo "FAILED: npm ci could not install playwright-core into $work_dir"
        exit 1
    fi
    cp package-lock.json node_modules/.package-lock.json.installed
fi

exec node browser_test.mjs --launcher "$1" --vessikd "$2" --decoder "$3" --cards "$4" \
    --out "$work_dir/screenshots" --chromium "$chromium"
