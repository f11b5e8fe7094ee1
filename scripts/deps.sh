# Installs the Debian packages the project needs, only those that are missing.
# Sourced by scripts/run and scripts/test.

LUMIVOR_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-svg-dev libgl-dev
  libpugixml-dev libxlsxwriter-dev libblkid-dev libutfcpp-dev libcli11-dev
  libgtest-dev googletest
  libsqlite3-dev libre2-dev libarchive-dev libtag1-dev libexiv2-dev libmediainfo-dev
  libavformat-dev libavcodec-dev libavutil-dev
  ffmpeg libimage-exiftool-perl p7zip-full zip ccache clang libclang-rt-14-dev openbox
  xvfb xauth xdotool imagemagick unzip fonts-dejavu-core
)

lumivor_install_deps() {
  local missing=()
  local package
  for package in "${LUMIVOR_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds into $1 with the extra CMake arguments that follow.
lumivor_build() {
  local build_dir="$1"
  shift
  cmake -S "$LUMIVOR_ROOT" -B "$build_dir" -G Ninja "$@"
  cmake --build "$build_dir" --parallel "$(nproc)"
}
