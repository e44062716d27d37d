# Layout of the emulated unit's SD card, shared by the image builder
# (scripts/mkimage), the boot loader (sim/vm/bootloader) and scripts/vm.
# Sourced by bash on the host; the unit's own copy of the device names is
# in the root file system (etc/fw_env.config, usr/bin/fwupgrade).
#
# The card (a raw image file, the PL181 slot of the board, /dev/mmcblk0 in
# the unit) holds, in this order:
#   the GPT, then the boot environment in two copies at fixed offsets (the
#   U-Boot way on an SD card: raw sectors below the first partition),
#   p1 kernel0   bank 0: uImage (kernel and its initramfs)
#   p2 rootfs0   bank 0: root file system (ext4)
#   p3 kernel1   bank 1: uImage
#   p4 rootfs1   bank 1: root file system
#   p5 data      /kel and what else outlives an upgrade (ext4)
# qemu wants an SD card whose size is a power of two.

VM_SD_BYTES=$((256 * 1024 * 1024))
VM_ENV_SIZE=$((16 * 1024))
VM_ENV_OFFSET=$((1024 * 1024))
VM_ENV_REDUND_OFFSET=$((1024 * 1024 + 128 * 1024))

VM_MIB=$((1024 * 1024))
# name  start(MiB)  size(MiB)
VM_PARTS="kernel0 2 16
rootfs0 18 64
kernel1 82 16
rootfs1 98 64
data 162 93"

# vm_part_field <name> <start|size>: bytes
vm_part_field() {
    local name=$1 field=$2 n s z
    while read -r n s z; do
        [ "$n" = "$name" ] || continue
        case "$field" in
            start) echo $((s * VM_MIB));;
            size) echo $((z * VM_MIB));;
        esac
        return 0
    done <<<"$VM_PARTS"
    return 1
}

# vm_env_config <card image>: an fw_env.config for the host's tools
vm_env_config() {
    printf '%s 0x%x 0x%x\n%s 0x%x 0x%x\n' \
        "$1" "$VM_ENV_OFFSET" "$VM_ENV_SIZE" "$1" "$VM_ENV_REDUND_OFFSET" "$VM_ENV_SIZE"
}

# Kernel command line the boot loader hands over: the serial console, the
# bank's root file system, the bank number for the unit's own scripts.
vm_bootargs() { # <bank>
    local root=2
    [ "$1" = 1 ] && root=4
    echo "console=ttyAMA0 root=/dev/mmcblk0p$root rootwait kelbank=$1 quiet"
}
