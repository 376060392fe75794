#!/usr/bin/env bash
# Installs the built package in a minimal Debian bookworm image with systemd and boots it under
# qemu with Debian's kernel, the simulator on the host, and reports one line per check:
#   scripts/boot-test.sh amd64    (after scripts/package.sh)
#   scripts/boot-test.sh arm64    (after scripts/cross.sh arm64)
# The guest reaches nothing but the simulator: qemu's user network with restrict=on and one
# forward per simulator port. Work files and the guest's serial log land in build-boot-ARCH/.
set -euo pipefail
arch=${1:?usage: scripts/boot-test.sh amd64|arm64}
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-boot-$arch
case $arch in
  amd64) qemu=qemu-system-x86_64; qemu_pkg=qemu-system-x86; console=ttyS0; deb_dir=build-deb
         machine=(-machine pc -cpu max) ;;
  arm64) qemu=qemu-system-aarch64; qemu_pkg=qemu-system-arm; console=ttyAMA0; deb_dir=build-cross-arm64
         machine=(-machine virt -cpu max) ;;
  *) echo "unsupported architecture: $arch" >&2; exit 2 ;;
esac
deb=$(ls "$root/$deb_dir"/kipd_*_"$arch".deb 2>/dev/null | tail -n 1 || true)
[ -n "$deb" ] || { echo "no kipd_*_$arch.deb in $deb_dir: build it first" >&2; exit 1; }
extra=()
[ "$arch" = amd64 ] || extra=(qemu-user-static binfmt-support)
bash scripts/deps.sh mmdebstrap "$qemu_pkg" e2fsprogs socat "${extra[@]}"
command -v "$qemu" >/dev/null || { echo "$qemu cannot run: it is not installed" >&2; exit 1; }
# A foreign image runs its maintainer scripts under qemu user emulation, through binfmt_misc.
if [ "$arch" != "$(dpkg --print-architecture)" ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  echo "mmdebstrap cannot run $arch programs: no qemu-aarch64 handler in /proc/sys/fs/binfmt_misc" \
       "(mount binfmt_misc there, then: update-binfmts --enable qemu-aarch64)" >&2
  exit 1
fi
start=$(date +%s)
rm -rf "$out"; mkdir -p "$out"

# The package's dependencies come from Debian while the image is made; the package itself goes in
# with dpkg -i and stays in /root for the reinstall check.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/ //g' | paste -sd, -)
expected_device=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["devices"][2]["mac"])' examples/network.json)
sed "s/@EXPECTED_DEVICE@/$expected_device/" scripts/boot/guest-check.sh >"$out/kip-boot-check"
echo "Making the image (log: $out/mmdebstrap.log)..."
mmdebstrap --variant=minbase --architectures="$arch" --format=directory \
  --include="systemd,systemd-sysv,udev,linux-image-$arch,iproute2,socat,procps,$depends" \
  --dpkgopt='path-exclude=/usr/share/{doc,man,locale}/*' \
  --customize-hook="copy-in '$deb' /root" \
  --customize-hook='mv "$1"/root/kipd_*.deb "$1"/root/kipd.deb && chroot "$1" dpkg -i /root/kipd.deb' \
  --customize-hook="copy-in '$out/kip-boot-check' /usr/local/sbin" \
  --customize-hook="copy-in '$root/scripts/boot/kip-boot-check.service' /etc/systemd/system" \
  --customize-hook='chmod 755 "$1"/usr/local/sbin/kip-boot-check' \
  --customize-hook="sed -i 's|/dev/ttyS0|/dev/$console|' \"\$1\"/usr/local/sbin/kip-boot-check" \
  --customize-hook='chroot "$1" systemctl enable kip-boot-check.service' \
  --customize-hook='chroot "$1" systemctl mask apt-daily.timer apt-daily-upgrade.timer systemd-timesyncd.service systemd-resolved.service e2scrub_all.timer fstrim.timer' \
  --customize-hook="chroot \"\$1\" systemctl mask serial-getty@$console.service" \
  --customize-hook='echo "/dev/vda / ext4 rw 0 1" >"$1"/etc/fstab; echo kipbox >"$1"/etc/hostname; echo "root:kip" | chroot "$1" chpasswd' \
  --customize-hook="cp \"\$1\"/boot/vmlinuz-* '$out/vmlinuz'; cp \"\$1\"/boot/initrd.img-* '$out/initrd.img'" \
  bookworm "$out/root" >"$out/mmdebstrap.log" 2>&1 || { tail -n 20 "$out/mmdebstrap.log" >&2; exit 1; }
mke2fs -q -t ext4 -d "$out/root" "$out/disk.img" 2G
rm -rf "$out/root"
image_done=$(date +%s)

# Two simulators on free host ports: one behind the serial bridge (phase 1), one behind the
# forwards of qemu's user network (phase 2). Their logs show how kipd named itself.
sims=()
start_simulator() {  # start_simulator NAME; sets port_main, port_direct
  local name=$1
  python3 tools/kip-confd-sim --network examples/network.json --main-port 0 --direct-port 0 \
    --log "$out/sim-$name.jsonl" >"$out/sim-$name.out" 2>&1 &
  sims+=($!)
  for _ in $(seq 1 100); do grep -q "listening on" "$out/sim-$name.out" && break; sleep 0.1; done
  local ports; ports=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\),\([0-9]*\).*/\1 \2/p' "$out/sim-$name.out" | head -n 1)
  [ -n "$ports" ] || { echo "the simulator $name did not start: $(cat "$out/sim-$name.out")" >&2; exit 1; }
  read -r port_main port_direct <<<"$ports"
}
cleanup() { for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT
start_simulator bridge; bridge_main=$port_main; bridge_direct=$port_direct
start_simulator network; net_main=$port_main; net_direct=$port_direct
net_sim=${sims[1]}

accel=tcg
if [ "$arch" = amd64 ] && [ -w /dev/kvm ] && [ "${KIPD_BOOT_KVM:-0}" = 1 ]; then accel=kvm; fi
mac=52:54:00:4b:49:50
echo "Booting with $accel (serial log: $out/serial.log)..."
timeout 600 "$qemu" "${machine[@]}" -accel "$accel" -smp 2 -m 1024 -nographic -no-reboot \
  -kernel "$out/vmlinuz" -initrd "$out/initrd.img" \
  -append "root=/dev/vda rw console=$console quiet systemd.show_status=0" \
  -drive "file=$out/disk.img,format=raw,if=virtio" \
  -netdev "user,id=net0,restrict=on,guestfwd=tcp:10.0.2.100:3972-cmd:socat STDIO TCP:127.0.0.1:$net_main,guestfwd=tcp:10.0.2.100:3973-cmd:socat STDIO TCP:127.0.0.1:$net_direct,guestfwd=tcp:10.0.2.100:3999-cmd:kill $net_sim" \
  -device "virtio-net-pci,netdev=net0,mac=$mac" \
  -device virtio-serial-pci \
  -chardev "socket,id=main,host=127.0.0.1,port=$bridge_main" -device virtserialport,chardev=main,name=kip.main \
  -chardev "socket,id=direct,host=127.0.0.1,port=$bridge_direct" -device virtserialport,chardev=direct,name=kip.direct \
  -serial "file:$out/serial.log" -monitor none -display none </dev/null >"$out/qemu.log" 2>&1 || true
end=$(date +%s)

# The guest's lines, then what the simulators saw of kipd's name.
grep -a '^KIPCHECK' "$out/serial.log" | tr -d '\r' | sed 's/^KIPCHECK //' | tee "$out/checks.txt" | grep -v '^  |' || true
names() { python3 -c 'import json,sys
print("\n".join(sorted({e["from"] for e in map(json.loads, open(sys.argv[1])) if e["dir"] == "in" and "from" in e})))' "$1"; }
bridge_names=$(names "$out/sim-bridge.jsonl" 2>/dev/null || true)
net_names=$(names "$out/sim-network.jsonl" 2>/dev/null || true)
upper_mac=${mac^^}
{
  if [ "$bridge_names" = "kip@" ]; then echo "ok: without KIPD_INTERFACE on a box without eth0 kipd is kip@"
  else echo "FAIL: without KIPD_INTERFACE kipd named itself: ${bridge_names:-nothing}"; fi
  if [ "$net_names" = "kip@$upper_mac" ]; then echo "ok: with KIPD_INTERFACE kipd is kip@$upper_mac"
  else echo "FAIL: with KIPD_INTERFACE kipd named itself: ${net_names:-nothing} (expected kip@$upper_mac)"; fi
  grep -q '^done:' "$out/checks.txt" && echo "ok: the guest ran every check" || echo "FAIL: the guest did not finish its checks (see $out/serial.log)"
} | tee -a "$out/checks.txt"
passed=$(grep -c '^ok:' "$out/checks.txt" || true)
failed=$(grep -c '^FAIL:' "$out/checks.txt" || true)
echo "image $((image_done - start)) s, boot and checks $((end - image_done)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
