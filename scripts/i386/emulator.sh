# Sourced by scripts/setup.sh (which sets cache, sudo, install_missing,
# private_apt and check_sha256): makes sure that i386 Linux programs, and
# with them Wine's 32-bit half, run here with their faults as a native
# kernel reports them.
#
# Tried first, always: fault_probe.c, built for i386. Where it runs and
# passes (a machine that executes 32-bit code, or one already set up here),
# nothing changes. Where it cannot run ("Exec format error": a processor or
# hypervisor without 32-bit execution) or runs unfaithfully (another
# emulator registered), qemu's i386 user-mode emulator is built from
# Debian's source (bookworm-backports, fetched through a private apt
# configuration) with qemu-signal-frames.patch, which gives Wine the signal
# frames a kernel gives, and registered with binfmt_misc for i386 ELF
# programs alone. The registration lasts until the machine restarts; the
# next setup makes it again.

i386_dir=$(dirname "${BASH_SOURCE[0]}")
probe="$cache/i386-fault-probe"
if [ ! -x "$probe" ] || [ "$i386_dir/fault_probe.c" -nt "$probe" ]; then
  mkdir -p "$cache"
  clang --target=i386-linux-gnu -ffreestanding -nostdlib -static -fno-pic -fno-stack-protector -O1 \
    -o "$probe" "$i386_dir/fault_probe.c"
fi

# why_not: the probe's first line, or what the shell said when it could not start it.
why_not() { local line; line=$("$probe" 2>&1 | head -n 1); echo "${line#*"$probe": }"; }

if ! "$probe" >/dev/null 2>&1; then
  echo "setup: i386 programs do not run here as on a native kernel: $(why_not)"
  qemu="$cache/qemu-i386"
  patch_sum=$(sha256sum <"$i386_dir/qemu-signal-frames.patch")
  if [ ! -x "$qemu" ] || [ "$(cat "$qemu.patch" 2>/dev/null)" != "$patch_sum" ]; then
    echo "setup: building qemu's i386 user-mode emulator into $cache (about two minutes)"
    install_missing libglib2.0-dev python3-venv pkgconf patch xz-utils
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # The Debian archive this machine installs from.
    mirror=$( { sed -n 's/\[[^]]*\]//; s/^[[:space:]]*deb[[:space:]]\{1,\}\([^[:space:]]*\)[[:space:]]\{1,\}'"$codename"'[[:space:]].*/\1/p' \
                  /etc/apt/sources.list 2>/dev/null
                awk -v s="$codename" '/^URIs:/ { u = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s) print u }' \
                  /etc/apt/sources.list.d/*.sources 2>/dev/null; } | head -n 1)
    private_apt
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    for type in deb deb-src; do
      echo "$type [signed-by=$keyring] ${mirror:-http://deb.debian.org/debian} $codename-backports main"
    done >"$apt/sources.list"
    apt-get "${apt_options[@]}" -qq update
    (cd "$apt/download" &&
     apt-get "${apt_options[@]}" -qq source --download-only --tar-only qemu=1:10.0.2+ds-2+deb13u1~bpo12+1 &&
     apt-get "${apt_options[@]}" -qq download meson=1.7.0-1~bpo12+1 python3-pycotap=1.3.1-2~bpo12+1)
    check_sha256 "$apt/download/qemu_10.0.2+ds.orig.tar.xz" 0901da33844a331bf8b3602b9c1fbd178e60b737c8e3ade678255bd090c9b9f1
    check_sha256 "$apt/download/meson_1.7.0-1~bpo12+1_all.deb" 4b86d2f2cb4431d03826fa4b2c3a89508edeb8140509e7e4b285285ec3175bbe
    check_sha256 "$apt/download/python3-pycotap_1.3.1-2~bpo12+1_all.deb" 3774be6e79318192059aa72e7b7a701e8b99bba2147befcc715650a0da65ca96
    # qemu's build wants a newer meson than bookworm's: the backport's
    # Python modules, unpacked beside the sources, not installed.
    work="$apt/qemu"
    mkdir -p "$work"
    for deb in "$apt"/download/*.deb; do dpkg-deb -x "$deb" "$work/python"; done
    tar -xf "$apt/download/qemu_10.0.2+ds.orig.tar.xz" -C "$work"
    patch -s -d "$work/qemu-10.0.2" -p1 <"$i386_dir/qemu-signal-frames.patch"
    mkdir "$work/qemu-10.0.2/build"
    (cd "$work/qemu-10.0.2/build" &&
     export PYTHONPATH="$work/python/usr/lib/python3/dist-packages" &&
     ../configure --python=/usr/bin/python3 --target-list=i386-linux-user --static --disable-system \
       --disable-tools --disable-docs --disable-plugins --disable-install-blobs --without-default-features \
       >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
     ninja qemu-i386 >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; })
    # A new file, not the old one rewritten: the kernel holds the
    # registered one open.
    cp "$work/qemu-10.0.2/build/qemu-i386" "$qemu.new" && mv -f "$qemu.new" "$qemu"
    echo "$patch_sum" >"$qemu.patch"
    rm -rf "$apt"
  fi

  binfmt=/proc/sys/fs/binfmt_misc
  # i386 ELF executables and shared objects (the header's class, data,
  # version, type and machine fields), run by the emulator; F: the kernel
  # opens it now, so it serves in every mount namespace.
  entry=':veltrano-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'
  entry+='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
  if { [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; } &&
     { [ ! -e "$binfmt/veltrano-i386" ] || echo -1 | $sudo tee "$binfmt/veltrano-i386" >/dev/null; } &&
     echo "setup: registering with binfmt_misc: $entry" &&
     printf '%s' "$entry" | $sudo tee "$binfmt/register" >/dev/null && "$probe" >/dev/null; then
    echo "setup: i386 programs now run through $qemu"
  else
    echo "setup: i386 programs still cannot run here as on a native kernel ($(why_not));" \
         "the win32 tests will fail and the demo runs the x86-64 installer" >&2
  fi
fi
