# Installs the Debian packages that building and testing need, when missing.
# Sourced by scripts/test, scripts/fuzz and scripts/demo.

KELVO_PACKAGES=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev googletest
  libssl-dev lrzsz strace time procps util-linux
  qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
  xvfb xauth imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev
  dpkg-dev fakeroot lintian desktop-file-utils man-db groff-base gzip
  libtomlplusplus-dev libncurses-dev tmux python3
  libqpid-proton-cpp12-dev nlohmann-json3-dev python3-qpid-proton rabbitmq-server
)

kelvo_missing_packages() {
  local pkg
  for pkg in "${KELVO_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      printf '%s\n' "$pkg"
    fi
  done
}

kelvo_ensure_deps() {
  local missing
  mapfile -t missing < <(kelvo_missing_packages)
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
