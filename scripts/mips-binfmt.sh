#!/usr/bin/env bash
# Lets the kernel start 32-bit little-endian MIPS programs through
# qemu-mipsel (binfmt_misc), as a receiver starts its own: the tests' receiver
# in a box runs the package's static wget from the TAP's shell this way, under
# its own name, so the TAP can stop it by name. Needs root (or sudo); does
# nothing when such an entry is there already.
set -euo pipefail
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
dir=/proc/sys/fs/binfmt_misc
[ -f "$dir/register" ] || $sudo_cmd mount -t binfmt_misc binfmt_misc "$dir"
grep -qs '^interpreter .*qemu-mipsel' "$dir"/* && exit 0
qemu="$(command -v qemu-mipsel)"
# ELF, 32-bit, little-endian, executable or shared object, machine MIPS. F:
# the interpreter is opened now, so that it is found inside sandboxes too.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":orvado-mipsel:M::$magic:$mask:$qemu:F" | $sudo_cmd tee "$dir/register" >/dev/null
echo "binfmt_misc: MIPS programs now start through $qemu"
