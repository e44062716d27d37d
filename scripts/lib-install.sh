# Sourced by scripts/test and scripts/demo: the Debian packages the build,
# the tests and the virtual board need, and their installation when missing
# (as root; otherwise the missing ones are named and the caller stops).

packages="cmake g++ make crossbuild-essential-armhf qemu-user busybox-static
          libubootenv-tool googletest libgtest-dev libpng-dev pkg-config
          libcpp-httplib-dev clang libclang-rt-14-dev strace valgrind
          tshark tcpdump lintian"
# The front panel's browser test drives the system Chromium through its
# WebDriver; where these cannot be installed the test is skipped (and says
# so), the rest goes on.
browser_packages="chromium chromium-driver"

install_missing() {
    local missing=()
    for p in $packages; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The browser packages, when they can be had; never fails.
install_browser() {
    local missing=()
    for p in $browser_packages; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing: ${missing[*]}"
        apt-get update -qq >/dev/null 2>&1
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 \
            && return 0
    fi
    echo "warning: cannot install ${missing[*]}: the front panel's browser test will be skipped" >&2
    return 0
}
