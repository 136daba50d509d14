# Installs the Debian 12 packages that building and testing gridwright need, when any is missing.
# Sourced by the other scripts.

GRIDWRIGHT_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev
  libavcodec-dev libavutil-dev libswscale-dev libavformat-dev
  libturbojpeg0-dev libyuv-dev libpugixml-dev
  ffmpeg
  # The Python client's tests, the Debian package (dpkg-shlibdeps reads binaries with file),
  # and the player page's test in a real browser.
  python3 file dpkg-dev chromium
)

ensure_packages() {
  local missing=()
  for p in "${GRIDWRIGHT_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The players that the tests run in headless Chromium (Shaka Player, dash.js) and puppeteer-core,
# which drives it: the versions pinned in tests/players/package-lock.json, from the npm registry,
# into tests/players/node_modules. Node.js and npm come from Debian when the machine has none.
ensure_player_packages() {
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends nodejs npm
  fi
  local players
  players="$(dirname "${BASH_SOURCE[0]}")/../tests/players"
  if ! (cd "$players" && npm ls --omit=dev >/dev/null 2>&1); then
    echo "installing the test players from npm (tests/players)"
    (cd "$players" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
}
