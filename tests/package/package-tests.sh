#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The module as streamers get it: the packages of a Release build folder and
# scripts/setup.sh.
#
#   package-tests.sh build DIR [-DVAR=VALUE]...
#       scripts/package.sh makes the packages of both architectures in
#       DIR/dist from its build folders below DIR/build, and they are checked;
#       the x86-64 build folder is installed into DIR/destdir (and once more
#       below a prefix, then what its install_manifest.txt lists is removed)
#   package-tests.sh debian12-root ROOT
#       a bare Debian 12 root (debootstrap), with only what the e2e harness needs
#   package-tests.sh source DIR SUITE ROOT
#       dpkg-buildpackage -us -uc (unit tests included) in a copy of ROOT, a
#       minimal root of SUITE, and lintian; with bookworm, a second build
#       elsewhere, later, must give the same .deb. The .debs go to DIR/SUITE.
#   package-tests.sh deb DIR ROOT [ARCH]
#       apt installs DIR's .deb with Debian's obs-studio into ROOT; OBS there
#       loads the module from the system folders; purging leaves none of its files.
#       Then, in the same root, apt installs it from scripts/apt-repo.sh's
#       repository (a throw-away key as Signed-By), upgrades to a newer
#       version published there, OBS loads that, purge leaves nothing; a
#       repository signed by another key is refused.
#       With ARCH arm64, DIR's arm64 .deb goes into ROOT, the arm64 root of
#       scripts/obs32-chroot.sh --arch arm64, itself (not a copy of a bare
#       root) and is purged from it again whatever happens
#   package-tests.sh tgz DIR ROOT
#       DIR's tarball unpacked into the user's plug-in folder loads in ROOT's
#       OBS (the upstream-layout OBS 32 copy of scripts/obs32-chroot.sh)
#   package-tests.sh setup DIR
#       scripts/setup.sh installs per user (and for the Flatpak OBS when its
#       folder exists) in a throw-away HOME, with Debian's OBS or, with
#       --no-debian-obs, without; --uninstall leaves it as it was; it names the
#       log line to look for, and refuses sudo and a Flatpak OBS never started
set -euo pipefail

REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CHROOT=$REPO_DIR/scripts/obs32-chroot.sh
PACKAGE=brivora-signature-guard
HARNESS_PACKAGES="xvfb xauth python3 python3-websocket"

log() { printf '[package-tests] %s\n' "$*" >&2; }
die() { log "FAIL: $*"; exit 1; }

# DIR's folders: the x86-64 build folder and the packages.
build_dir() { echo "$1/build/amd64"; }
dist_dir() { echo "$1/dist"; }
version() { sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$(build_dir "$1")/CMakeCache.txt"; }
host_name() { sed -n 's/^BRIVORA_SERVICE_HOST:[A-Z]*=//p' "$(build_dir "$1")/CMakeCache.txt"; }
# The packages of DIR for a Debian architecture (default amd64).
deb_file() { echo "$(dist_dir "$1")/${PACKAGE}_$(version "$1")_${2:-amd64}.deb"; }
tgz_file() { echo "$(dist_dir "$1")/$PACKAGE-$(version "$1")-linux-$(cpu "${2:-amd64}").tar.gz"; }
cpu() { case $1 in amd64) echo x86_64 ;; arm64) echo aarch64 ;; esac; }
elf_machine() { case $1 in amd64) echo "Advanced Micro Devices X86-64" ;; arm64) echo AArch64 ;; esac; }
ARCHES=(amd64 arm64)

# The .deb and the tarball of one architecture: its name in the .deb, the
# Depends line the README shows, the module built for it in both, with only
# the host's entry points exported.
check_packages() { # DIR ARCH
  local top=$1 arch=$2 deb tgz unpacked depends so
  deb=$(deb_file "$top" "$arch")
  tgz=$(tgz_file "$top" "$arch")
  dpkg-deb --info "$deb"
  [[ $(dpkg-deb --field "$deb" Architecture) == "$arch" ]] || die "$(basename "$deb") is for $(dpkg-deb --field "$deb" Architecture)"
  depends=$(dpkg-deb --field "$deb" Depends)
  grep -q "libc6 (>= " <<<"$depends" || die "$(basename "$deb") names no libc6 version"
  # What Debian's OBS plug-ins carry.
  [[ $(dpkg-deb --field "$deb" Section Enhances) == $'Section: video\nEnhances: obs-studio' ]] ||
    die "$(basename "$deb"): $(dpkg-deb --field "$deb" Section Enhances)"
  # The README tells streamers which releases can install it from this line.
  grep -qF "line: \`$depends\`" "$REPO_DIR/README.md" || die "README's Depends line is not $(basename "$deb")'s: $depends"
  tar -tzf "$tgz"
  for so in "$deb" "$tgz"; do  # "Other ways" names the files a streamer installs
    grep -qF "| \`$(basename "$so")\` |" "$REPO_DIR/README.md" || die "README's file table does not name $(basename "$so")"
  done
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked/deb"
  mkdir "$unpacked/tgz"
  tar -xzf "$tgz" -C "$unpacked/tgz"
  for so in "$unpacked/deb/usr/lib/$(cpu "$arch")-linux-gnu/obs-plugins/$PACKAGE.so" \
            "$unpacked/tgz/$PACKAGE/bin/64bit/$PACKAGE.so"; do
    [[ -f $so ]] || die "no ${so#"$unpacked/"} in the $arch packages"
    readelf -h "$so" | grep -q "Machine: *$(elf_machine "$arch")\$" || die "${so#"$unpacked/"} is not built for $arch"
    cmake -DMODULE="$so" -P "$REPO_DIR/tests/check-exports.cmake" || die "${so#"$unpacked/"} exports more than the entry points"
  done
  rm -rf "$unpacked"
}

cmd_build() {
  local top=$1 dir
  shift
  dir=$(build_dir "$top")
  "$REPO_DIR/scripts/package.sh" --out "$(dist_dir "$top")" --build "$top/build" "$@" || die "scripts/package.sh failed"
  local expected listed arch
  expected=$(for arch in "${ARCHES[@]}"; do basename "$(deb_file "$top" "$arch")"; basename "$(tgz_file "$top" "$arch")"; done | sort)
  listed=$(ls -1 "$(dist_dir "$top")" | sort)
  [[ $listed == "$expected" ]] || die "scripts/package.sh made $(echo $listed), not $(echo $expected)"
  for arch in "${ARCHES[@]}"; do
    check_packages "$top" "$arch"
  done
  # The default install: system-wide, under the prefix (/usr unless given).
  rm -rf "$dir/destdir"
  DESTDIR=$dir/destdir cmake --install "$dir" >/dev/null
  for path in "lib/x86_64-linux-gnu/obs-plugins/$PACKAGE.so" "share/obs/obs-plugins/$PACKAGE/locale/en-US.ini"; do
    [[ -f $dir/destdir/usr/$path ]] || die "cmake --install put no /usr/$path"
  done
  # No mirror named by the project: without apt sources (none in destdir) there is none.
  ! "$REPO_DIR/scripts/apt-mirror.sh" "$dir/destdir" 2>/dev/null || die "scripts/apt-mirror.sh named a mirror of its own"
  # The README's way back: remove what install_manifest.txt lists (here
  # below a throw-away prefix; the manifest holds the full paths).
  rm -rf "$dir/prefix"
  cmake --install "$dir" --prefix "$dir/prefix" >/dev/null
  [[ -n $(find "$dir/prefix" -type f) ]] || die "cmake --install --prefix installed nothing"
  (cd "$dir" && xargs -d '\n' rm -f -- <install_manifest.txt)
  [[ -z $(find "$dir/prefix" ! -type d) ]] || die "left after removing install_manifest.txt's files: $(find "$dir/prefix" ! -type d)"
  rm -rf "$dir/prefix"
  # -DBRIVORA_INSTALL_FOR=user: a plain cmake --install goes into the user's plug-in folder.
  local home
  home=$(mktemp -d)
  env -u XDG_CONFIG_HOME HOME="$home" cmake -S "$REPO_DIR" -B "$dir" -DBRIVORA_INSTALL_FOR=user >/dev/null
  cmake --install "$dir" >/dev/null
  [[ -f $home/.config/obs-studio/plugins/$PACKAGE/bin/64bit/$PACKAGE.so ]] ||
    die "cmake --install with BRIVORA_INSTALL_FOR=user put no module in the user's plug-in folder"
  rm -rf "$home"
  cmake -S "$REPO_DIR" -B "$dir" -DBRIVORA_INSTALL_FOR=system >/dev/null
  grep -qx "CMAKE_INSTALL_PREFIX:PATH=/usr" "$dir/CMakeCache.txt" || die "the prefix did not return to /usr"
}

in_root() { # ROOT CMD...
  local root=$1
  shift
  "$CHROOT" --root "$root" run -- "$@"
}

cmd_debian12_root() {
  "$CHROOT" --root "$1" --suite bookworm --packages "$HARNESS_PACKAGES" setup
  # Downloaded, not installed: the test's apt run installs it with the
  # package, without waiting for the mirror.
  in_root "$1" apt-get -o Dpkg::Use-Pty=0 -q install -y --download-only --no-install-recommends obs-studio \
    >"$1.download.log" 2>&1 || { tail -n 30 "$1.download.log"; die "could not download obs-studio"; }
}

cmd_source() {
  local dir=$1 suite=$2 root=$3.build deb t=$SECONDS
  "$CHROOT" --root "$3" --suite "$suite" --packages "build-essential lintian" setup
  rm -rf --one-file-system "$root" && cp -a --one-file-system "$3" "$root"
  "$REPO_DIR/scripts/package.sh" --tree "$root/build/src"
  in_root "$root" sh -c 'apt-get -q build-dep -y /build/src && cd /build/src && dpkg-buildpackage -us -uc -j2' \
    >"$root.log" 2>&1 && grep -q "100% tests passed" "$root.log" || { tail -n 40 "$root.log"; die "the $suite build failed"; }
  in_root "$root" sh -c 'cd /build && lintian --fail-on error,warning --info *.changes' || die "lintian ($suite)"
  log "PASS dpkg-buildpackage and lintian in $suite: $((SECONDS - t)) s"
  rm -rf "${dir:?}/$suite" && mkdir -p "$dir/$suite" && cp "$root"/build/*.deb "$dir/$suite/"
  if [[ $suite == bookworm ]]; then
    "$REPO_DIR/scripts/package.sh" --tree "$root/var/tmp/elsewhere/src"
    in_root "$root" sh -c 'umask 077 && cd /var/tmp/elsewhere/src && TZ=Pacific/Kiritimati dpkg-buildpackage -us -uc -b -Pnocheck' \
      >"$root.again.log" 2>&1 || { tail -n 40 "$root.again.log"; die "the second build failed"; }
    deb=${PACKAGE}_$(dpkg-parsechangelog -l "$REPO_DIR/debian/changelog" -S Version)_amd64.deb
    cmp "$root/build/$deb" "$root/var/tmp/elsewhere/$deb" || die "two builds gave different $deb"
    log "PASS reproducible: a second build gave the same $deb"
  fi
  rm -rf --one-file-system "$root"
}

cmd_deb() {
  local dir=$1 fresh=$2 arch=${3:-amd64} root=$2.deb-test deb listed t=$SECONDS work newer_pid
  deb=$(deb_file "$dir" "$arch")
  [[ -f $deb ]] || die "no package at $deb"
  if [[ $arch == amd64 ]]; then
    work=$(mktemp -d)
    trap "rm -rf $(printf '%q' "$work")" EXIT
    newer_deb "$dir" "$work" &
    newer_pid=$!
    cmd_debian12_root "$fresh"
    # Each run on a copy, so every run starts from the bare root.
    rm -rf --one-file-system "$root"
    cp -a --one-file-system "$fresh" "$root"
    log "step copy of the root took $((SECONDS - t)) s"
  else
    root=$fresh
    in_root "$root" dpkg-query -W obs-studio >/dev/null || die "no obs-studio in $root"
    trap "in_root $(printf '%q' "$root") apt-get -q purge -y $PACKAGE >/dev/null 2>&1 || true" EXIT
  fi
  t=$SECONDS
  cp "$deb" "$root/var/tmp/"
  # unsafe-io: no fsync per file, the root is thrown away anyway.
  in_root "$root" apt-get -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-unsafe-io -q install -y --no-install-recommends \
    "/var/tmp/$(basename "$deb")" obs-studio >"$root.deb-install.log" 2>&1 ||
    { tail -n 30 "$root.deb-install.log"; die "apt could not install $(basename "$deb") with obs-studio"; }
  listed=$(in_root "$root" dpkg -L "$PACKAGE")
  log "step apt-get install took $((SECONDS - t)) s: $(grep -c . <<<"$listed") paths of $PACKAGE"
  "$CHROOT" --root "$root" e2e --src "$REPO_DIR" --no-setup --installed --scenario newcomer \
    --host-name "$(host_name "$dir")" || die "OBS in $root did not run the installed module"
  in_root "$root" apt-get -o Dpkg::Use-Pty=0 -q purge -y "$PACKAGE" >>"$root.deb-install.log" 2>&1 ||
    die "apt-get purge $PACKAGE failed"
  rm -f "$root/var/tmp/$(basename "$deb")"
  purged_clean "$root" "$listed"
  log "PASS purge removed every file of the package"
  if [[ $arch == amd64 ]]; then
    wait "$newer_pid" || die "building the newer version failed"
    apt_route "$dir" "$root" "$work"
    rm -rf --one-file-system "$root"
  fi
}

# None of LISTED's paths (dpkg -L) is left in ROOT: a listed file must be
# gone; a listed folder may stay only while it holds something else (/usr,
# /usr/share/doc, ...).
purged_clean() { # ROOT LISTED
  local root=$1 path left=()
  while IFS= read -r path; do
    [[ $path == /* ]] || continue
    if [[ -L $root$path || -f $root$path ]]; then
      left+=("$path")
    elif [[ -d $root$path && -z $(ls -A "$root$path") ]]; then
      left+=("$path/")
    fi
  done <<<"$2"
  [[ ${#left[@]} -eq 0 ]] || die "left after purge: ${left[*]}"
}

installed_version() { in_root "$1" dpkg-query -W -f='${Version}' "$PACKAGE" 2>/dev/null || true; }

# DIR's source with its version raised by one, built into WORK/new.
newer_deb() { # DIR WORK
  local version newer
  version=$(version "$1")
  newer=${version%.*}.$((${version##*.} + 1))
  "$REPO_DIR/scripts/package.sh" --tree "$2/new/src"
  sed -i "s/^project($PACKAGE VERSION $version /project($PACKAGE VERSION $newer /" "$2/new/src/CMakeLists.txt"
  sed -i "1s/($version)/($newer)/" "$2/new/src/debian/changelog"
  (cd "$2/new/src" && DEB_BUILD_OPTIONS=nocheck nice dpkg-buildpackage -us -uc -b -Pnocheck) >"$2/new.log" 2>&1 ||
    { tail -n 30 "$2/new.log"; return 1; }
}

apt_route() { # DIR ROOT WORK
  local dir=$1 root=$2 version key repo apt listed newer
  version=$(version "$dir")
  newer=$(dpkg-parsechangelog -l "$3/new/src/debian/changelog" -S Version)
  export GNUPGHOME=$3/gnupg
  mkdir -m 700 "$GNUPGHOME"
  for key in publisher impostor; do
    gpg --batch --passphrase '' --quick-gen-key "$key <$key@test.invalid>" ed25519 sign never 2>/dev/null
    "$REPO_DIR/scripts/apt-repo.sh" --key $key --from "$(dist_dir "$dir")" --repo "$root/srv/$key"
  done
  cp "$root/srv/publisher/$PACKAGE.gpg" "$root/usr/share/keyrings/"
  apt=(apt-get -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-unsafe-io -q -y)
  for repo in impostor publisher; do  # the README's sources file, a folder as the address
    printf 'Types: deb\nURIs: file:/srv/%s\nSuites: stable\nComponents: main\nSigned-By: /usr/share/keyrings/%s.gpg\n' \
      "$repo" "$PACKAGE" >"$root/etc/apt/sources.list.d/$PACKAGE.sources"
    in_root "$root" sh -c "${apt[*]} update && ${apt[*]} install $PACKAGE" >"$root.$repo.log" 2>&1 || [[ $repo == impostor ]] ||
      { tail -n 30 "$root.$repo.log"; die "apt could not install $PACKAGE from the repository"; }
    [[ $repo == publisher || -z $(installed_version "$root") ]] || die "apt installed from the repository of another key"
  done
  [[ $(installed_version "$root") == "$version" ]] || die "apt installed $(installed_version "$root"), not $version"
  "$REPO_DIR/scripts/apt-repo.sh" --key publisher --from "$3/new" --repo "$root/srv/publisher"
  in_root "$root" sh -c "${apt[*]} update && ${apt[*]} upgrade" >>"$root.publisher.log" 2>&1 &&
    [[ $(installed_version "$root") == "$newer" ]] || die "apt-get upgrade left $(installed_version "$root"), not $newer"
  "$CHROOT" --root "$root" e2e --src "$REPO_DIR" --no-setup --installed --scenario newcomer \
    --host-name "$(host_name "$dir")" --module-version "$newer" || die "OBS did not load the upgraded module"
  listed=$(in_root "$root" dpkg -L "$PACKAGE")
  in_root "$root" "${apt[@]}" purge "$PACKAGE" >>"$root.publisher.log" 2>&1 || die "apt-get purge $PACKAGE failed"
  purged_clean "$root" "$listed"
  log "PASS apt: installed $version, upgraded to $newer, purged; the repository of another key refused"
}

cmd_tgz() {
  local dir=$1 root=$2 tgz
  tgz=$(tgz_file "$dir")
  [[ -f $tgz ]] || die "no tarball at $tgz"
  "$CHROOT" --root "$root" e2e --src "$REPO_DIR" --no-setup --module "$tgz" --scenario newcomer \
    --host-name "$(host_name "$dir")" || die "the tarball's module did not run in $root"
}

# Every path below DIR with its type and content checksum.
snapshot() {
  (cd "$1" && find . -printf '%y %p\n' | sort && find . -type f -exec md5sum {} + | sort -k2)
}

cmd_setup() {
  local dir=$1 work home plugins flatpak start
  work=$(mktemp -d)
  trap "rm -rf $(printf '%q' "$work")" EXIT
  mkdir -p "$work/bin"
  printf '#!/bin/sh\necho "started with DISPLAY=$DISPLAY" >%q\n' "$work/obs-started" >"$work/bin/obs"
  printf '#!/bin/sh\necho "$*" >%q\n' "$work/flatpak-started" >"$work/bin/flatpak"
  # Stand-ins that find no package installed and note what apt would install.
  printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
  printf '#!/bin/sh\necho "$*" >>%q\n' "$work/apt-get" >"$work/bin/apt-get"
  chmod +x "$work/bin/obs" "$work/bin/flatpak" "$work/bin/dpkg-query" "$work/bin/apt-get"
  for flatpak in no yes; do
    home=$work/home-$flatpak
    mkdir -p "$home/.config/obs-studio/plugins/other-plugin/bin/64bit"
    echo '[General]' >"$home/.config/obs-studio/global.ini"
    echo 'not ours' >"$home/.config/obs-studio/plugins/other-plugin/bin/64bit/other-plugin.so"
    [[ $flatpak == no ]] || mkdir -p "$home/.var/app/com.obsproject.Studio/data"
    snapshot "$home" >"$work/before"
    # --start-obs must start OBS after installing (a stand-in here, on Xvfb
    # since there is no display); with --no-debian-obs the Flatpak OBS, and
    # Debian's obs-studio is not installed.
    start=(--start-obs)
    [[ $flatpak == no ]] || start=(--no-debian-obs --start-obs)
    rm -f "$work/apt-get"
    env -u XDG_CONFIG_HOME -u XDG_STATE_HOME -u DISPLAY -u WAYLAND_DISPLAY -u SUDO_USER HOME="$home" \
      BRIVORA_BUILD_DIR="$(build_dir "$dir")" PATH="$work/bin:$PATH" "$REPO_DIR/scripts/setup.sh" ${start[@]+"${start[@]}"} \
      >"$work/setup.log" 2>&1 || { cat "$work/setup.log"; die "setup.sh ${start[*]} failed"; }
    grep -qx "  \[$PACKAGE\] Brivora Rurozezod Ivuri loaded (version $(version "$dir"))" "$work/setup.log" ||
      { cat "$work/setup.log"; die "setup.sh did not name the log line to look for"; }
    if [[ $flatpak == no ]]; then
      [[ -n $(cat "$work/obs-started" 2>/dev/null) ]] || die "setup.sh --start-obs started no OBS"
      grep -qw obs-studio "$work/apt-get" || die "setup.sh did not install obs-studio: $(cat "$work/apt-get")"
    else
      [[ $(cat "$work/flatpak-started" 2>/dev/null) == "run com.obsproject.Studio" ]] ||
        die "setup.sh --no-debian-obs --start-obs did not start the Flatpak OBS"
      grep -qw libobs-dev "$work/apt-get" && ! grep -qw obs-studio "$work/apt-get" ||
        die "setup.sh --no-debian-obs: apt-get $(cat "$work/apt-get")"
    fi
    plugins=("$home/.config/obs-studio/plugins")
    [[ $flatpak == no ]] || plugins+=("$home/.var/app/com.obsproject.Studio/config/obs-studio/plugins")
    for p in "${plugins[@]}"; do
      cmp "$(build_dir "$dir")/$PACKAGE.so" "$p/$PACKAGE/bin/64bit/$PACKAGE.so" || die "setup.sh: no module in $p"
      cmp "$REPO_DIR/data/locale/en-US.ini" "$p/$PACKAGE/data/locale/en-US.ini" || die "setup.sh: no locale in $p"
    done
    [[ $flatpak == yes || ! -e $home/.var ]] || die "setup.sh made a Flatpak folder"
    env -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME="$home" "$REPO_DIR/scripts/setup.sh" --uninstall >/dev/null ||
      die "setup.sh --uninstall failed"
    snapshot "$home" | diff "$work/before" - || die "setup.sh --uninstall did not leave the home as it was (flatpak: $flatpak)"
    log "PASS setup.sh install and uninstall (Flatpak OBS: $flatpak)"
  done
  # Refusals, before anything is installed: the Flatpak OBS asked for but
  # never started here (home-no has no Flatpak folder), and, as root, sudo.
  home=$work/home-no
  snapshot "$home" >"$work/before"
  refused "$home" "start it once" --no-debian-obs
  [[ $(id -u) -ne 0 ]] || SUDO_USER=streamer refused "$home" "as streamer, without sudo"
  snapshot "$home" | diff "$work/before" - || die "a refused setup.sh changed the home"
}

refused() { # HOME TEXT SETUP-ARGS...: setup.sh fails and says TEXT, installing nothing
  local home=$1 text=$2 out
  shift 2
  rm -f "$work/apt-get"
  if out=$(env -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME="$home" PATH="$work/bin:$PATH" \
    "$REPO_DIR/scripts/setup.sh" "$@" 2>&1); then
    die "setup.sh $* (SUDO_USER=${SUDO_USER:-}) did not refuse"
  fi
  grep -qiF "$text" <<<"$out" || die "setup.sh $* (SUDO_USER=${SUDO_USER:-}) did not say '$text': $out"
  [[ ! -e $work/apt-get ]] || die "a refused setup.sh $* installed packages"
  log "PASS setup.sh $* (SUDO_USER=${SUDO_USER:-}) refused: $(head -n 1 <<<"$out")"
}

[[ $# -ge 2 ]] || { sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
command=$1
shift
case $command in
  build) cmd_build "$@" ;;
  debian12-root) cmd_debian12_root "$@" ;;
  source) cmd_source "$@" ;;
  deb) cmd_deb "$@" ;;
  tgz) cmd_tgz "$@" ;;
  setup) cmd_setup "$@" ;;
  *) die "unknown command $command" ;;
esac
