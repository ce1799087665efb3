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
  nginx nginx-dev
  redis-server memcached
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

# turnpike_add_architecture ARCH: lets Debian install packages of ARCH beside
# the machine's own (wine32:i386). Added once; turnpike_install_packages then
# updates the package lists, as it does whenever something is missing.
turnpike_add_architecture() {
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "== adding the architecture $1"
  "${sudo[@]}" dpkg --add-architecture "$1"
}

# turnpike_run_i386_programs: makes sure the kernel runs 32-bit x86 Linux
# programs (Wine's 32-bit loader, which runs 32-bit Windows programs). Some
# virtual machines' kernels have no 32-bit user mode and refuse them ("Exec
# format error"); there QEMU's user-mode emulator runs them, registered once
# with binfmt_misc (until the next boot), several times slower. Where the
# kernel runs them itself nothing is changed. Needs libc6:i386 (wine32 brings it).
turnpike_run_i386_programs() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 && return 0
  turnpike_install_packages qemu-user-static
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  local binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    echo "== 32-bit x86 programs run through qemu-i386-static on this kernel"
    # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386);
    # F: the emulator is opened now, so it also serves inside other mount namespaces.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      "${sudo[@]}" tee "$binfmt/register" >/dev/null
  fi
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || {
    echo "this machine runs no 32-bit x86 program, not even through qemu-i386-static" >&2
    return 1
  }
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
