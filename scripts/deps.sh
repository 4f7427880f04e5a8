# Installs the Debian packages that are missing for "$1" (run, deb, repo or test); sourced.
# Runs apt-get update once, and only when something must be installed.

vyr_packages_run="cmake ninja-build g++ qtbase5-dev libqt5sql5-sqlite libssl-dev openssl fonts-dejavu-core fonts-liberation"
vyr_packages_deb="$vyr_packages_run debhelper help2man lintian"
vyr_packages_repo="$vyr_packages_deb reprepro gnupg"
vyr_packages_test="$vyr_packages_repo xvfb xdotool x11-utils x11-xserver-utils util-linux dbus at-spi2-core python3-pyatspi
    mingw-w64 wine64 fonts-wine clang libclang-rt-14-dev ansible-core ansible imagemagick dpkg-dev curl ca-certificates
    debootstrap desktop-file-utils polkitd firefox-esr chromium default-jdk-headless p11-kit-modules
    osslsigncode wixl msitools python3-gi gir1.2-libmsi-1.0 strace prometheus prometheus-node-exporter diffoscope-minimal faketime"

vyr_install_missing() {
    local wanted missing="" package
    eval "wanted=\$vyr_packages_$1"
    for package in $wanted; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
}
