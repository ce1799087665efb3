# Shared by the scripts: the Debian packages the project needs, installed
# when any is missing, and the build of one CMake preset.

TURNPIKE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

TURNPIKE_PACKAGES=(
  cmake ninja-build g++ pkg-config ca-certificates python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libxml2-dev
  apache2 apache2-dev chromium chromium-driver python3-selenium
  clang-14 libclang-rt-14-dev
  wrk libapache2-mod-auth-cas python3-matplotlib openssl
)

turnpike_install_packages() {
  local missing=()
  for package in "${TURNPIKE_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "== installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# turnpike_build PRESET [TARGET...]
turnpike_build() {
  local preset=$1
  shift
  cmake --preset "$preset" -S "$TURNPIKE_ROOT" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$TURNPIKE_ROOT/build/$preset" --target "$@"
  else
    cmake --build "$TURNPIKE_ROOT/build/$preset"
  fi
}
