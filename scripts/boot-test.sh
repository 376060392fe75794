#!/usr/bin/env bash
# Installs the built package in a minimal Debian bookworm image with systemd and boots it under
# qemu with Debian's kernel, the simulator on the host, and reports one line per check:
#   scripts/boot-test.sh amd64    (builds the package with scripts/package.sh where there is none)
#   scripts/boot-test.sh arm64    (likewise with scripts/cross.sh arm64)
# The image boots twice: with net.ifnames=0 (eth0, every check) and with Debian's interface naming
# (how kipd names itself there). The guest reaches nothing but the simulators: qemu's user network
# with restrict=on and one forward per simulator port. Emulation unless a quick probe shows that a
# KVM guest boots. Work files and the guests' serial logs land in build-boot-ARCH/.
set -euo pipefail
arch=${1:?usage: scripts/boot-test.sh amd64|arm64}
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-boot-$arch
case $arch in
  amd64) qemu=qemu-system-x86_64; qemu_pkg=qemu-system-x86; console=ttyS0; deb_dir=build-deb
         machine=(-machine pc -cpu max); user_cpu=x86_64 ;;
  arm64) qemu=qemu-system-aarch64; qemu_pkg=qemu-system-arm; console=ttyAMA0; deb_dir=build-cross-arm64
         machine=(-machine virt -cpu max); user_cpu=aarch64 ;;
  *) echo "unsupported architecture: $arch" >&2; exit 2 ;;
esac
deb=$(ls "$root/$deb_dir"/kipd_*_"$arch".deb 2>/dev/null | tail -n 1 || true)
if [ -z "$deb" ]; then
  # A fresh clone has no package yet: build it the way the test command does.
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then builder=(scripts/package.sh); else builder=(scripts/cross.sh "$arch"); fi
  echo "No kipd_*_$arch.deb in $deb_dir: building it first (${builder[*]})"
  bash "${builder[@]}"
  deb=$(ls "$root/$deb_dir"/kipd_*_"$arch".deb 2>/dev/null | tail -n 1 || true)
  [ -n "$deb" ] || { echo "${builder[*]} made no kipd_*_$arch.deb in $deb_dir" >&2; exit 1; }
fi
extra=()
[ "$arch" = amd64 ] || extra=(qemu-user-static binfmt-support)
bash scripts/deps.sh mmdebstrap "$qemu_pkg" e2fsprogs socat "${extra[@]}"
command -v "$qemu" >/dev/null || { echo "$qemu cannot run: it is not installed" >&2; exit 1; }
# A foreign image runs its maintainer scripts under qemu user emulation, through binfmt_misc;
# as root the script mounts it and enables the handler where they are missing.
handler=/proc/sys/fs/binfmt_misc/qemu-$user_cpu
if [ "$arch" != "$(dpkg --print-architecture)" ] && [ ! -e "$handler" ]; then
  if [ "$(id -u)" = 0 ] && [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    echo "Mounting binfmt_misc on /proc/sys/fs/binfmt_misc (mmdebstrap runs $arch programs through it)"
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  fi
  if [ "$(id -u)" = 0 ] && [ -e /proc/sys/fs/binfmt_misc/register ]; then
    echo "Enabling the qemu-$user_cpu handler: update-binfmts --enable qemu-$user_cpu"
    update-binfmts --enable "qemu-$user_cpu" || true
  fi
  if [ ! -e "$handler" ]; then
    echo "mmdebstrap cannot run $arch programs: no qemu-$user_cpu handler in /proc/sys/fs/binfmt_misc" \
         "(as root: mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc;" \
         "update-binfmts --enable qemu-$user_cpu)" >&2
    exit 1
  fi
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

# Simulators on free host ports; their logs show how kipd named itself.
sims=()
start_simulator() {  # start_simulator NAME; sets port_main, port_direct, sim_pid
  local name=$1
  python3 tools/kip-confd-sim --network examples/network.json --main-port 0 --direct-port 0 \
    --log "$out/sim-$name.jsonl" >"$out/sim-$name.out" 2>&1 &
  sim_pid=$!; sims+=("$sim_pid")
  for _ in $(seq 1 100); do grep -q "listening on" "$out/sim-$name.out" && break; sleep 0.1; done
  local ports; ports=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\),\([0-9]*\).*/\1 \2/p' "$out/sim-$name.out" | head -n 1)
  [ -n "$ports" ] || { echo "the simulator $name did not start: $(cat "$out/sim-$name.out")" >&2; exit 1; }
  read -r port_main port_direct <<<"$ports"
}
stop_simulators() { for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done; sims=(); }
trap stop_simulators EXIT
forwards() {  # forwards GUEST-ADDRESS MAIN-PORT DIRECT-PORT: the guest's two ports to a simulator
  echo "guestfwd=tcp:$1:3972-cmd:socat STDIO TCP:127.0.0.1:$2,guestfwd=tcp:$1:3973-cmd:socat STDIO TCP:127.0.0.1:$3"
}

# KVM only where a KVM guest really boots (on a virtual machine it may hang after the firmware):
# the probe boots Debian's kernel without a disk and waits 10 s for its first lines.
probe_kvm() {  # sets accel and accel_reason
  accel=tcg
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    accel_reason="KVM runs only guests of the host's own architecture, $(dpkg --print-architecture)"; return
  fi
  if [ ! -w /dev/kvm ]; then accel_reason="/dev/kvm is missing or not writable"; return; fi
  "$qemu" "${machine[@]}" -accel kvm -m 256 -nographic -no-reboot -kernel "$out/vmlinuz" \
    -append "console=$console panic=-1" -serial "file:$out/kvm-probe.log" -monitor none -display none \
    </dev/null >"$out/kvm-probe.qemu.log" 2>&1 &
  local probe=$! exited=0
  sims+=("$probe")  # killed with the simulators if the script is interrupted
  for _ in $(seq 1 20); do
    grep -qa "Linux version" "$out/kvm-probe.log" 2>/dev/null && break
    kill -0 "$probe" 2>/dev/null || { exited=1; break; }
    sleep 0.5
  done
  kill "$probe" 2>/dev/null || true; wait "$probe" 2>/dev/null || true
  if grep -qa "Linux version" "$out/kvm-probe.log" 2>/dev/null; then
    accel=kvm; accel_reason="a KVM probe guest printed its kernel's first lines"
  elif [ "$exited" = 1 ]; then
    accel_reason="KVM failed: $(head -n 1 "$out/kvm-probe.qemu.log")"
  else
    accel_reason="a KVM probe guest printed no kernel line within 10 s; its console stopped at:"
    accel_reason+=" $(sed 's/\x1b\[[0-9;?]*[[:alpha:]]//g; s/\x1b.//g' "$out/kvm-probe.log" | tr -d '\r' |
                     grep -a '[[:alnum:]]' | tail -n 1)"
  fi
}

mac=52:54:00:4b:49:50
upper_mac=${mac^^}
boot() {  # boot NAME KERNEL-ARGUMENTS NETDEV [QEMU-ARGUMENTS...]; the guest's lines in checks-NAME.txt
  local name=$1 arguments=$2 netdev=$3; shift 3
  echo "Boot $name with $accel (serial log: $out/serial-$name.log)..."
  timeout 600 "$qemu" "${machine[@]}" -accel "$accel" -smp 2 -m 1024 -nographic -no-reboot \
    -kernel "$out/vmlinuz" -initrd "$out/initrd.img" \
    -append "root=/dev/vda rw console=$console quiet systemd.show_status=0 $arguments" \
    -drive "file=$out/disk.img,format=raw,if=virtio,snapshot=on" \
    -netdev "user,id=net0,restrict=on,$netdev" -device "virtio-net-pci,netdev=net0,mac=$mac" "$@" \
    -serial "file:$out/serial-$name.log" -monitor none -display none </dev/null >"$out/qemu-$name.log" 2>&1 || true
  grep -ao 'KIPCHECK .*' "$out/serial-$name.log" | tr -d '\r' | sed 's/^KIPCHECK //' >"$out/checks-$name.txt" || true
  stop_simulators
}
names() { python3 -c 'import json,sys
print(", ".join(sorted({e["from"] for e in map(json.loads, open(sys.argv[1])) if e["dir"] == "in" and "from" in e})))' "$1"; }
expect_name() {  # expect_name SIMULATOR NAME WHAT
  local seen; seen=$(names "$out/sim-$1.jsonl" 2>/dev/null || true)
  if [ "$seen" = "$2" ]; then echo "ok: $3: kipd is $2"
  else echo "FAIL: $3: kipd named itself ${seen:-nothing} (expected $2)"; fi
}
finished() {  # finished NAME
  grep -q '^done:' "$out/checks-$1.txt" && echo "ok: boot $1: the guest ran every check" ||
    echo "FAIL: boot $1: the guest did not finish its checks (see $out/serial-$1.log)"
}
report() {  # report NAME HOST-CHECKS: the guest's lines, then the host's, into checks.txt
  { cat "$out/checks-$1.txt"; echo "$2"; } | tee -a "$out/checks.txt" | grep -v '^  |' || true
}

probe_kvm
probe_done=$(date +%s)
echo "Using $accel: $accel_reason"
# Pointer authentication with QEMU's own hash instead of the architected one: far faster emulated.
if [ "$arch" = arm64 ] && [ "$accel" = tcg ]; then machine=(-machine virt -cpu max,pauth-impdef=on); fi

# Boot 1, eth0 (net.ifnames=0): phase 1 reaches one simulator through the serial ports, phase 2
# the other through the network; a connection to port 3999 stops the second.
start_simulator bridge; bridge_main=$port_main; bridge_direct=$port_direct
start_simulator network
boot eth0 net.ifnames=0 \
  "$(forwards 10.0.2.100 "$port_main" "$port_direct"),guestfwd=tcp:10.0.2.100:3999-cmd:kill $sim_pid" \
  -device virtio-serial-pci \
  -chardev "socket,id=main,host=127.0.0.1,port=$bridge_main" -device virtserialport,chardev=main,name=kip.main \
  -chardev "socket,id=direct,host=127.0.0.1,port=$bridge_direct" -device virtserialport,chardev=direct,name=kip.direct
report eth0 "$(expect_name bridge "kip@$upper_mac" "eth0 without an address, no KIPD_INTERFACE"
               expect_name network "kip@$upper_mac" "eth0 with an address, no KIPD_INTERFACE"
               finished eth0)"
eth0_done=$(date +%s)

# Boot 2, Debian's naming: 10.0.2.100 reaches one simulator, 10.0.2.101 the other.
start_simulator plain; plain_main=$port_main; plain_direct=$port_direct
start_simulator named
boot names kip.boot=names \
  "$(forwards 10.0.2.100 "$plain_main" "$plain_direct"),$(forwards 10.0.2.101 "$port_main" "$port_direct")"
report names "$(expect_name plain "kip@" "Debian's naming, no KIPD_INTERFACE (no eth0)"
                expect_name named "kip@$upper_mac" "Debian's naming, KIPD_INTERFACE set"
                finished names)"
end=$(date +%s)

passed=$(grep -c '^ok:' "$out/checks.txt" || true)
failed=$(grep -c '^FAIL:' "$out/checks.txt" || true)
echo "image $((image_done - start)) s, KVM probe $((probe_done - image_done)) s," \
     "boot 1 $((eth0_done - probe_done)) s, boot 2 $((end - eth0_done)) s, whole run $((end - start)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
