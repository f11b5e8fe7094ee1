# Installs the Debian packages the project needs, only those that are missing.
# Sourced by scripts/run and scripts/test.

LUMIVOR_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-svg-dev libgl-dev
  libpugixml-dev libxlsxwriter-dev libblkid-dev libutfcpp-dev libcli11-dev
  libgtest-dev googletest
  libsqlite3-dev libre2-dev zlib1g-dev libdeflate-dev liburing-dev libarchive-dev libtag1-dev libexiv2-dev libmediainfo-dev
  libavformat-dev libavcodec-dev libavutil-dev
  ffmpeg libimage-exiftool-perl p7zip-full zip ccache clang libclang-rt-14-dev openbox
  xvfb xauth xdotool imagemagick unzip fonts-dejavu-core
  libxxhash-dev xxhash libpq-dev postgresql-15 libsimdjson-dev
  ncdu libarchive-tools hashdeep
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

# Runs every benchmark built in $1 once at a small size: a smoke test that they still run and
# print their figures, not a measurement. Each benchmark reads the options it knows and ignores
# the others; a failing benchmark, or one that prints no key=value line, fails the run.
lumivor_bench_smoke() {
  local build_dir="$1"
  local small=(--records=20000 --files=2000 --folders=100 --repeat=1 --catalogs=3 --entries=2000
    --rounds=1 --groups=3)
  local bench output
  local found=0
  for bench in "$build_dir"/bench/*_bench "$build_dir"/bench/ui/*_bench; do
    [ -x "$bench" ] || continue
    found=1
    echo "== $(basename "$bench") ${small[*]}"
    output="$(QT_QPA_PLATFORM=offscreen timeout 600 "$bench" "${small[@]}")"
    echo "$output"
    if ! grep -q '^[a-z_0-9]*=' <<<"$output"; then
      echo "$(basename "$bench") printed no key=value line" >&2
      return 1
    fi
  done
  if [ "$found" -eq 0 ]; then
    echo "no benchmark found in $build_dir/bench" >&2
    return 1
  fi
}
