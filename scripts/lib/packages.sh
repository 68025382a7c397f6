# Debian packages the build, the tests, the demo, the benchmarks and the fuzz targets need.
UPDATER_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  zlib1g-dev libcurl4-openssl-dev libexpat1-dev nettle-dev libsodium-dev minisign libzstd-dev
  libisal-dev libssl-dev libdeflate-dev
  python3 python3-pytest
  nginx tinyproxy microsocks
  valgrind strace
  prometheus
  libfuse3-dev fuse3
  clang-14 libclang-rt-14-dev clang-format
)

# Installs the packages once per machine: apt-get update, then apt-get install -y.
install_packages() {
  local missing=()
  for p in "${UPDATER_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y "${UPDATER_PACKAGES[@]}"
  fi
}
