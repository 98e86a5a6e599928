# Sourced by the test scripts to install what a fresh Debian machine lacks.
#
#   need PACKAGES COMMAND...   notes PACKAGES for installation unless COMMAND
#                              succeeds
#   need_build_tools           notes cmake, ninja and g++ where missing
#   install_needed [OPTION...] installs everything noted in one apt-get run
#                              (after apt-get update), as root or through sudo
needed=""

need() {
  packages=$1
  shift
  "$@" >/dev/null 2>&1 || needed="$needed $packages"
}

need_build_tools() {
  need cmake command -v cmake
  need ninja-build command -v ninja
  need g++ command -v g++
}

install_needed() {
  [ -n "$needed" ] || return 0
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" $needed
}
