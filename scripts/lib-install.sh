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

# The emulated unit (scripts/mkimage, scripts/vm, the vm test stage): qemu's
# full-system ARM emulator and the tools that build the image; the armhf
# packages the image is made of (kernel, BusyBox, the boot environment
# tools) are downloaded by scripts/mkimage with apt-get download, which
# needs the armhf architecture in dpkg's list; BusyBox's source package
# (the image's FTP server) with apt-get source, unpacked by dpkg-source.
vm_packages="qemu-system-arm device-tree-compiler fdisk kmod cpio e2fsprogs
             iproute2 python3 libubootenv-tool busybox-static crossbuild-essential-armhf
             dpkg-dev bzip2 curl"

install_vm() {
    local missing=() p
    for p in $vm_packages; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    local armhf=0
    dpkg --print-foreign-architectures | grep -qx armhf || armhf=1
    [ ${#missing[@]} -eq 0 ] && [ $armhf -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing for the emulated unit: ${missing[*]} (and the armhf architecture if not added; run as root)" >&2
        return 1
    fi
    [ $armhf -eq 0 ] || dpkg --add-architecture armhf
    echo "installing for the emulated unit: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
}

# build_vm <log>: the emulated unit's programs and firmware: the armhf
# programs the image holds, the host's meter, station and package tools
# (release), then the image (scripts/mkimage). Everything goes to the log;
# 1 on the first failure, with a line naming the step.
VM_ARMHF_TARGETS="kelcontrol kelstpclient kelupgrade kelindustry kelappclient keypadsim flashdump kelvboard_assets"
VM_HOST_TARGETS="kelmetersim_cli kelmkupg kelstationsim_cli"

build_vm() {
    local log=$1
    if ! { cmake --preset armhf && cmake --build --preset armhf -j 2 --target $VM_ARMHF_TARGETS \
           && cmake --preset release && cmake --build --preset release -j 2 --target $VM_HOST_TARGETS; } >>"$log" 2>&1; then
        echo "vm: build FAILED (see $log)"; grep -E 'error|warning' "$log" | head -40; return 1
    fi
    if ! "$top/scripts/mkimage" >>"$log" 2>&1; then
        echo "vm: image FAILED (see $log)"; tail -20 "$log"; return 1
    fi
}
