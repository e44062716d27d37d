# The boot loader of the emulated unit. The board's own boot loader lies
# outside the unit's software; under qemu this launcher on the host plays
# its part, reading and writing the boot environment on the SD card image
# with the host's fw_printenv/fw_setenv (-c: the card's two copies).
# Sourced by scripts/vm after sim/vm/layout.sh.
#
# Its rules, at every power-up and every reboot:
#   1. "upgflag" 0: the bank in "actmtdgrp" was just written and is booted
#      for the first time; "upgflag" becomes 1 before it starts.
#   2. "upgflag" 1: that first boot never reached its confirmation (the
#      upgrade program sets "upgflag" 2 and "dftmtdgrp" to the running
#      bank once it runs): the confirmed bank "dftmtdgrp" is booted and
#      "actmtdgrp" set back to it, "upgflag" 2.
#   3. Otherwise the bank in "actmtdgrp" is booted.
#   4. A bank number other than 0 or 1 counts as 0.
#   5. A bank whose uImage fails its checks (magic, header and data CRC,
#      three parts: kernel, initramfs, device tree) is not started: the
#      other bank is, and "actmtdgrp" is set to it.
# The kernel gets the serial console, the bank's root partition and the
# bank's number on its command line (vm_bootargs in layout.sh).

# boot_env_config <card>: writes the host tools' configuration for a card
# into BOOT_TMP and names it in BOOT_ENV_CFG.
boot_env_config() {
    BOOT_ENV_CFG=$BOOT_TMP/fw_env.config
    vm_env_config "$1" >"$BOOT_ENV_CFG"
}

boot_getenv() { fw_printenv -c "$BOOT_ENV_CFG" -n "$1" 2>/dev/null; }

boot_setenv() {
    fw_setenv -c "$BOOT_ENV_CFG" "$@" >/dev/null 2>&1 || echo "boot loader: cannot write the boot environment" >&2
}

boot_bank_number() {
    case "$1" in 1) echo 1;; *) echo 0;; esac
}

# boot_choose: the bank to start under rules 1 to 4, environment updated.
boot_choose() {
    local act dft flag
    act=$(boot_bank_number "$(boot_getenv actmtdgrp)")
    dft=$(boot_bank_number "$(boot_getenv dftmtdgrp)")
    flag=$(boot_getenv upgflag)
    case "$flag" in
        0)  boot_setenv upgflag 1
            echo "$act";;
        1)  echo "boot loader: bank $act was never confirmed, back to bank $dft" >&2
            boot_setenv actmtdgrp "$dft"
            boot_setenv upgflag 2
            echo "$dft";;
        *)  echo "$act";;
    esac
}

# be32_at <file> <offset>: the big-endian 32-bit word there
be32_at() {
    od -An -tu4 --endian=big -j "$2" -N 4 "$1" | tr -d ' '
}

crc32_of() {
    gzip -c -1 <"$1" | tail -c 8 | head -c 4 | od -An -tu4 --endian=little | tr -d ' '
}

# boot_extract <card> <bank> <dir>: the bank's kernel, initramfs and device
# tree as <dir>/kernel, initrd, dtb; non-zero when the uImage is bad.
boot_extract() {
    local card=$1 bank=$2 dir=$3 start size img=$3/uImage hcrc i off n len
    start=$(vm_part_field "kernel$bank" start)
    size=$(vm_part_field "kernel$bank" size)
    dd if="$card" of="$dir/header" bs=64 count=1 iflag=skip_bytes skip="$start" status=none
    [ "$(be32_at "$dir/header" 0)" = $((0x27051956)) ] || { echo "boot loader: bank $bank has no uImage" >&2; return 1; }
    len=$(be32_at "$dir/header" 12)
    [ "$len" -gt 0 ] && [ $((len + 64)) -le "$size" ] || { echo "boot loader: bank $bank uImage size $len" >&2; return 1; }
    hcrc=$(be32_at "$dir/header" 4)
    # The header's CRC is taken with its own field zeroed.
    { head -c 4 "$dir/header"; head -c 4 /dev/zero; tail -c 56 "$dir/header"; } >"$dir/header0"
    [ "$(crc32_of "$dir/header0")" = "$hcrc" ] || { echo "boot loader: bank $bank header CRC" >&2; return 1; }
    dd if="$card" of="$img" bs=1M iflag=skip_bytes,count_bytes skip=$((start + 64)) count="$len" status=none
    [ "$(crc32_of "$img")" = "$(be32_at "$dir/header" 24)" ] || { echo "boot loader: bank $bank data CRC" >&2; return 1; }
    # Multi-file image: a zero-ended table of part sizes, then the parts,
    # each padded to four bytes.
    local sizes=() s
    off=0
    while :; do
        s=$(be32_at "$img" "$off")
        off=$((off + 4))
        [ "$s" = 0 ] && break
        sizes+=("$s")
        [ ${#sizes[@]} -le 3 ] || { echo "boot loader: bank $bank has too many parts" >&2; return 1; }
    done
    [ ${#sizes[@]} -eq 3 ] || { echo "boot loader: bank $bank needs kernel, initramfs and device tree" >&2; return 1; }
    i=0
    for n in kernel initrd dtb; do
        s=${sizes[$i]}
        dd if="$img" of="$dir/$n" bs=1M iflag=skip_bytes,count_bytes skip="$off" count="$s" status=none
        off=$((off + s + (4 - s % 4) % 4))
        i=$((i + 1))
    done
    [ "$off" -le "$len" ] || { echo "boot loader: bank $bank parts overrun the image" >&2; return 1; }
    rm -f "$img"
}

# boot_prepare <card>: chooses the bank (rules 1 to 5), leaves its parts in
# BOOT_TMP and the bank in BOOT_BANK.
boot_prepare() {
    local card=$1 bank other
    boot_env_config "$card"
    bank=$(boot_choose)
    if ! boot_extract "$card" "$bank" "$BOOT_TMP"; then
        other=$((1 - bank))
        echo "boot loader: starting bank $other instead" >&2
        boot_extract "$card" "$other" "$BOOT_TMP" || { echo "boot loader: no bootable bank" >&2; return 1; }
        boot_setenv actmtdgrp "$other"
        bank=$other
    fi
    BOOT_BANK=$bank
}
