# Sourced by scripts/test and scripts/demo: the Debian packages the build,
# the tests and the virtual board need, and their installation when missing
# (as root; otherwise the missing ones are named and the caller stops).

packages="cmake g++ make crossbuild-essential-armhf qemu-user busybox-static
          libubootenv-tool googletest libgtest-dev libpng-dev clang libclang-rt-14-dev"

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
