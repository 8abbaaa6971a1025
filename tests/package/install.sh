#!/usr/bin/env bash
# Installs the Debian package into an empty root, as dpkg does on a surveyor's system (its
# postinst included), and runs the programs from there: the libraries they link come from this
# system, everything of ours from the root.
#   tests/package/install.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# Without chroot the postinst runs here, told by DPKG_ROOT that this system is not the one it
# installs to; its dependencies are this system's, not the root's.
dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless -i "$deb"
dpkg --root="$root" -s survokart | grep -qx 'Status: install ok installed' ||
    fail "the package is not configured"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$root/usr/lib/$multiarch/survokart
[ -f "$libdir/libsurvokart-ftd2xx.so.1" ] || fail "no FTDI adapter in $libdir"
[ -f "$root/usr/lib/udev/rules.d/70-survokart-usb.rules" ] || fail "no udev rule"
[ -f "$root/usr/share/applications/survokart.desktop" ] || fail "no desktop entry"
grep -qx 'Icon=survokart' "$root/usr/share/applications/survokart.desktop" ||
    fail "the desktop entry names another icon"
for size in 16 24 32 48 64 128 256; do
    icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/survokart.png
    [ -f "$icon" ] || fail "no ${size}x${size} icon"
    # A PNG's width and height are the two big-endian words at byte 16.
    read -r w h < <(od -An -tu1 -j16 -N8 "$icon" |
        awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    [ "$w $h" = "$size $size" ] || fail "the ${size}x${size} icon is ${w}x${h}"
done
appstreamcli validate --no-net "$root/usr/share/metainfo/com.corvanta.survokart.metainfo.xml"
for page in survokart survokart-cli survokart-sim; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q '^\.SH DESCRIPTION' ||
        fail "no manual page for $page"
done

export PATH=$root/usr/bin:$PATH QT_QPA_PLATFORM=offscreen
home=$root/home
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache
export XDG_RUNTIME_DIR=$home/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR" && cd "$home"
[ "$(command -v survokart)" = "$root/usr/bin/survokart" ] || fail "survokart is not on the path"
help=$(survokart-cli --help) && grep -q 'usage: survokart-cli' <<<"$help" ||
    fail "survokart-cli --help"
help=$(survokart-sim --help) && grep -q -- '--version' <<<"$help" || fail "survokart-sim --help"
[ "$(survokart --version)" = "Survokart $(dpkg-deb -f "$deb" Version)" ] ||
    fail "survokart --version: $(survokart --version)"

# The FTDI transport loads its adapter by name at run time: opening an FTDI instrument must
# load the one installed beside the program, not one from this system.
out=$(LD_DEBUG=files survokart-cli identify USBF/F0000001 2>&1 || true)
loaded=$(sed -n 's|.*file=\(/[^ ]*libsurvokart-ftd2xx[^ ]*\) .*dynamically loaded.*|\1|p' <<<"$out")
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$libdir/libsurvokart-ftd2xx.so.1" ] ||
    fail "survokart-cli did not load the installed FTDI adapter: $(grep -i ftd <<<"$out")"

# A short offscreen run of the application: it starts, draws its window and ends by itself.
SURVOKART_DEMO_SECONDS=2 timeout 120 survokart ||
    fail "survokart did not run to its end (status $?)"
echo "package installs and runs from $root"
