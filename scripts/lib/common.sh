# Shared by the scripts: package installation and the isolated network namespace.

# Installs the Debian packages that are missing; does nothing when all are present.
ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" ||
        { "${sudo[@]}" apt-get update -q && "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; }
}

# Runs a command in a fresh network namespace where only loopback is up, so nothing it sends can
# leave the machine (discovery broadcasts included).
isolated() {
    local unshare=(unshare -n)
    [ "$(id -u)" -eq 0 ] || unshare=(unshare -rn)
    "${unshare[@]}" sh -c 'ip link set lo up && exec "$@"' isolated "$@"
}

BUILD_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
    libbenchmark-dev qt6-base-dev libproj-dev proj-bin iproute2 util-linux
    qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
    libusb-1.0-0-dev umockdev libumockdev-dev libftdi1-dev
    libgdal-dev gdal-bin
    libsystemd-dev libbluetooth-dev dbus-daemon python3-dbusmock)
# What scripts/package needs beside the build: dpkg-shlibdeps, file (both for CPack), lintian,
# and appstreamcli for the AppStream metadata.
PACKAGE_PACKAGES=(dpkg-dev file lintian appstream)

build_jobs() { nproc 2>/dev/null || echo 2; }
