#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test zqsfx: the host
# toolchain, GoogleTest and CLI11, musl for the static Linux stub, zlib and
# libsodium (the oracle of the cryptographic primitives' tests),
# zip/unzip, gnuplot and strace for the benchmarks and the system-call count, clang's runtime for the fuzzers, mingw-w64 +
# 32-bit Wine for the Windows stub, the aarch64 cross toolchain + qemu-user for
# the aarch64 stub, file, man-db and dpkg-dev for the package checks, clang-format for the
# source style check, and osslsigncode, openssl and python3-pefile to sign Windows
# self-extractors and read their resources back.
set -euo pipefail

# The Wine tests of Japanese names run under LC_ALL=ja_JP.UTF-8, which gives
# Wine the ANSI code page 932; without the generated locale Wine cannot create
# two-byte-named folders at all.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q 'install ok installed' ||
    { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq locales >/dev/null; }
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen ja_JP.UTF-8 >/dev/null
fi
need=(cmake g++ make pkg-config libgtest-dev zlib1g-dev libsodium-dev libcli11-dev musl-tools
      zip unzip time gnuplot-nox clang libclang-rt-14-dev mingw-w64 wine wine32
      g++-aarch64-linux-gnu qemu-user file man-db dpkg-dev clang-format
      osslsigncode openssl python3-pefile strace)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index; the install below still says
# plainly whether what it needs was found.
apt_update() {
  $SUDO apt-get update -qq || echo "deps.sh: apt-get update reported errors; installing anyway" >&2
}
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO dpkg --add-architecture i386
  apt_update
  # Where one architecture's index of the security updates failed, the other
  # architecture's newer version of a shared library cannot sit beside the
  # older one that multi-arch needs for wine32; the release's own versions
  # exist for both.
  install "${missing[@]}" ||
    { echo "deps.sh: installing $codename's own versions instead" >&2
      install -t "$codename" "${missing[@]}"; }
fi

# Wine's loader and server are 32-bit x86 programs. A kernel built without
# IA32 emulation refuses them ("Exec format error"); there qemu-i386 runs them,
# registered with binfmt_misc. It must be qemu 10 or later: Debian 12's 7.2
# answers Wine's mmap(MAP_FIXED_NOREPLACE) probes over taken ranges with a
# mapping elsewhere instead of EEXIST, and Wine's start-up reservation of the
# address space then crawls on for many minutes. Debian 12 has qemu 10 in
# its backports. A kernel that runs 32-bit programs itself is left alone.
binfmt=/proc/sys/fs/binfmt_misc
qemu_new_enough() {
  local major
  major=$("$1" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}
if [ -e "$binfmt/qemu-i386" ] &&
   ! qemu_new_enough "$(sed -n 's/^interpreter //p' "$binfmt/qemu-i386")"; then
  echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if ! qemu_new_enough /usr/bin/qemu-i386; then
    if ! apt-get indextargets --format '$(RELEASE)' | grep -qx "$codename-backports"; then
      site=$(apt-get indextargets --format '$(SITE) $(RELEASE)' |
             awk -v r="$codename" '$2 == r { print $1; exit }')
      printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: %s\n' \
        "$site" "$codename" /usr/share/keyrings/debian-archive-keyring.gpg |
        $SUDO tee "/etc/apt/sources.list.d/$codename-backports.sources" >/dev/null
    fi
    apt_update
    $SUDO apt-get install -y -qq --no-install-recommends -t "$codename-backports" qemu-user >/dev/null
  fi
  mountpoint -q "$binfmt" || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  # i386 executables, fixed or position-independent; F opens the interpreter now, so it
  # also serves programs started inside a chroot or namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
    $SUDO tee "$binfmt/register" >/dev/null
  /usr/lib/wine/wine --version >/dev/null ||
    { echo "deps.sh: 32-bit programs still do not run, even under qemu-i386" >&2; exit 1; }
fi
