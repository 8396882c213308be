# SPDX-License-Identifier: LGPL-2.1-or-later
# Sourced by run.sh and scripts/hardening.sh.
# apt_install_missing PACKAGE...: installs those of the Debian packages that
# are not installed yet (one apt-get update first), with sudo when not root.
apt_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
}
