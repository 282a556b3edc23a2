#!/usr/bin/env bash
# Runs the 32-bit Windows build's tests under 32-bit Wine inside an emulated x86-64 machine.
#   bash scripts/wine32-guest.sh build_dir linux_program
# It exists for machines whose kernel starts no 32-bit x86 program (IA-32 emulation off), where
# Wine's 32-bit half cannot run: QEMU's TCG emulator boots Debian's own kernel, which does run
# them, over a small initramfs made here. The guest sees this machine's root file system
# read-only over 9p, so Wine, CTest and the source tree are the host's own, and a writable share
# in a temporary folder outside the checkout, which brings CTest's status back. The build tree
# and the Linux program (the end-to-end tests compare their figures with it) are copied into the
# guest's memory first, the tree to its own absolute path, which CTest's files name: programs
# run straight from the 9p share got zero-filled code pages. CTest's output comes over the
# guest's serial console; the status is CTest's, or 1 when the guest gave none.
set -euo pipefail

# The guest's half: run by the initramfs's init, chrooted into the host's root file system.
if [[ ${1:-} == --inside ]]; then
  build=$2 linux=$3 share=$4
  status=0
  VANTREL_LINUX=$linux bash "$(dirname "$0")/wine-ctest.sh" "$build" 32 || status=$?
  echo "$status" > "$share/status"
  exit 0
fi

build=$(realpath "$1")
linux=$(realpath "$2")
script=$(realpath "$0")
source=$(realpath "$(dirname "$0")/..")
share=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-guest.XXXXXX")
trap 'rm -rf "$share"' EXIT

kernel=$(ls -v /boot/vmlinuz-* | tail -n 1)
version=${kernel#/boot/vmlinuz-}

# The initramfs: busybox, the modules for 9p over virtio (in load order) and init.
initramfs=$share/initramfs
mkdir -p "$initramfs"/{bin,dev,proc,sys,modules,newroot,copies}
cp /bin/busybox "$initramfs/bin/busybox"
for module in virtio_pci 9pnet_virtio 9p; do
  modprobe -S "$version" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r path; do
  cp "$path" "$initramfs/modules/"
  basename "$path" >> "$initramfs/modules/order"
done

# Mounts the host's root at /newroot with memory (tmpfs) where the tests write, copies the build
# tree and the Linux program into memory, runs the guest's half and powers off.
cat > "$initramfs/init" << EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in \$(cat /modules/order); do insmod /modules/\$module; done
options=trans=virtio,version=9p2000.L,msize=524288
mount -t 9p -o ro,cache=loose,\$options hostroot /newroot
mount -t tmpfs -o size=80% copies /copies
cp -a $(printf %q "/newroot$build") /copies/build
cp $(printf %q "/newroot$linux") /copies/vantrel
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
# The writable places hide what the host has there: the source tree (the tests' scripts, this
# script) is held aside and put back at its own path, for a checkout under /tmp, say.
mkdir -p /held
mount --bind $(printf %q "/newroot$source") /held
for dir in /dev/shm /tmp /run /root; do mount -t tmpfs tmpfs /newroot\$dir; done
mkdir -p $(printf %q "/newroot$source")
mount --bind /held $(printf %q "/newroot$source")
mkdir -p $(printf %q "/newroot$build")
mount --bind /copies/build $(printf %q "/newroot$build")
mkdir -p /newroot/tmp/vantrel-guest $(printf %q "/newroot$share")
mount --bind /copies /newroot/tmp/vantrel-guest
mount -t 9p -o \$options share $(printf %q "/newroot$share")
chroot /newroot /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
  bash $(printf %q "$script") --inside $(printf %q "$build") /tmp/vantrel-guest/vantrel $(printf %q "$share")
sync
poweroff -f
EOF
chmod +x "$initramfs/init"
(cd "$initramfs" && find . | cpio -o -H newc --quiet) > "$share/initramfs.cpio"

# -cpu max without SMAP: with SMAP every Wine process is killed. The overall limit fails the
# step instead of leaving CI waiting on a guest that hangs.
timeout --foreground 3600 qemu-system-x86_64 -accel tcg -cpu max,-smap -smp 8 -m 6G \
  -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$share/initramfs.cpio" -append "console=ttyS0 quiet panic=-1" \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=share,path="$share",security_model=none \
  -device virtio-9p-pci,fsdev=share,mount_tag=share < /dev/null || true

if [[ ! -s "$share/status" ]]; then
  echo "the 32-bit test guest ended without a CTest status" >&2
  exit 1
fi
exit "$(cat "$share/status")"
