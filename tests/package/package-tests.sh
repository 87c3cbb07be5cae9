#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The module as streamers get it: the packages of a Release build folder and
# scripts/setup.sh.
#
#   package-tests.sh build DIR [-DVAR=VALUE]...
#       configure a Release build without tests in DIR, build it, install it
#       into DIR/destdir (and once more below a prefix, then removes what its
#       install_manifest.txt lists) and make the .deb and the tarball there
#       (cpack -G DEB, cpack -G TGZ)
#   package-tests.sh debian12-root ROOT
#       a bare Debian 12 root (debootstrap), with only what the e2e harness needs
#   package-tests.sh deb DIR ROOT
#       apt installs DIR's .deb with Debian's obs-studio into ROOT; OBS there
#       loads the module from the system folders; purging leaves none of its files
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

version() { sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$1/CMakeCache.txt"; }
host_name() { sed -n 's/^BRIVORA_SERVICE_HOST:[A-Z]*=//p' "$1/CMakeCache.txt"; }
deb_file() { echo "$1/${PACKAGE}_$(version "$1")_amd64.deb"; }
tgz_file() { echo "$1/$PACKAGE-$(version "$1")-linux-x86_64.tar.gz"; }

cmd_build() {
  local dir=$1
  shift
  cmake -S "$REPO_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; die "configure failed"; }
  cmake --build "$dir" -j"$(nproc)"
  # The default install: system-wide, under the prefix (/usr unless given).
  rm -rf "$dir/destdir"
  DESTDIR=$dir/destdir cmake --install "$dir" >/dev/null
  for path in "lib/x86_64-linux-gnu/obs-plugins/$PACKAGE.so" "share/obs/obs-plugins/$PACKAGE/locale/en-US.ini"; do
    [[ -f $dir/destdir/usr/$path ]] || die "cmake --install put no /usr/$path"
  done
  # The README's way back: remove what install_manifest.txt lists (here
  # below a throw-away prefix; the manifest holds the full paths).
  rm -rf "$dir/prefix"
  cmake --install "$dir" --prefix "$dir/prefix" >/dev/null
  [[ -n $(find "$dir/prefix" -type f) ]] || die "cmake --install --prefix installed nothing"
  (cd "$dir" && xargs -d '\n' rm -f -- <install_manifest.txt)
  [[ -z $(find "$dir/prefix" ! -type d) ]] || die "left after removing install_manifest.txt's files: $(find "$dir/prefix" ! -type d)"
  rm -rf "$dir/prefix"
  # Without dpkg-shlibdeps on PATH (no dpkg-dev), cpack -G DEB must stop and say why.
  local nobin out status=0
  nobin=$(mktemp -d)
  ln -s "$(command -v cpack)" "$nobin/cpack"
  rm -f "$(deb_file "$dir")"
  out=$(cd "$dir" && PATH=$nobin cpack -G DEB 2>&1) || status=$?
  rm -rf "$nobin"
  [[ $status -ne 0 && ! -e $(deb_file "$dir") ]] || die "cpack -G DEB made a package without dpkg-shlibdeps"
  grep -q "needs dpkg-shlibdeps" <<<"$out" || { echo "$out"; die "cpack -G DEB did not say dpkg-shlibdeps is missing"; }
  (cd "$dir" && cpack -G DEB && cpack -G TGZ) >"$dir.cpack.log" 2>&1 || { cat "$dir.cpack.log"; die "cpack failed"; }
  dpkg-deb --info "$(deb_file "$dir")"
  local depends
  depends=$(dpkg-deb --field "$(deb_file "$dir")" Depends)
  grep -q "libc6 (>= " <<<"$depends" || die "the .deb names no libc6 version"
  # The README tells streamers which releases can install it from this line.
  grep -qF "line: \`$depends\`" "$REPO_DIR/README.md" || die "README's Depends line is not the package's: $depends"
  tar -tzf "$(tgz_file "$dir")"
  local file
  for file in "$(deb_file "$dir")" "$(tgz_file "$dir")"; do  # "Get it" names the files a streamer installs
    grep -qF "| \`$(basename "$file")\` |" "$REPO_DIR/README.md" || die "README's file table does not name $(basename "$file")"
  done
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

cmd_deb() {
  local dir=$1 fresh=$2 root=$2.deb-test deb listed path left=()
  deb=$(deb_file "$dir")
  [[ -f $deb ]] || die "no package at $deb"
  cmd_debian12_root "$fresh"
  # Each run on a copy, so every run starts from the bare root.
  local t=$SECONDS
  rm -rf --one-file-system "$root"
  cp -a --one-file-system "$fresh" "$root"
  log "step copy of the root took $((SECONDS - t)) s"
  t=$SECONDS
  cp "$deb" "$root/var/tmp/"
  # unsafe-io: no fsync per file, the root is thrown away anyway.
  in_root "$root" apt-get -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-unsafe-io -q install -y --no-install-recommends \
    "/var/tmp/$(basename "$deb")" obs-studio >"$root.deb-install.log" 2>&1 ||
    { tail -n 30 "$root.deb-install.log"; die "apt could not install $(basename "$deb") with obs-studio"; }
  listed=$(in_root "$root" dpkg -L "$PACKAGE")
  log "step apt-get install took $((SECONDS - t)) s: $(grep -c . <<<"$listed") paths of $PACKAGE"
  "$CHROOT" --root "$root" e2e --src "$REPO_DIR" --no-setup --installed --scenario newcomer \
    --host-name "$(host_name "$dir")" || die "OBS in Debian 12 did not run the installed module"
  in_root "$root" apt-get -o Dpkg::Use-Pty=0 -q purge -y "$PACKAGE" >>"$root.deb-install.log" 2>&1 ||
    die "apt-get purge $PACKAGE failed"
  rm -f "$root/var/tmp/$(basename "$deb")"
  # A listed file must be gone; a listed folder may stay only while it holds
  # something else (/usr, /usr/share/doc, ...).
  while IFS= read -r path; do
    [[ $path == /* ]] || continue
    if [[ -L $root$path || -f $root$path ]]; then
      left+=("$path")
    elif [[ -d $root$path && -z $(ls -A "$root$path") ]]; then
      left+=("$path/")
    fi
  done <<<"$listed"
  [[ ${#left[@]} -eq 0 ]] || die "left after purge: ${left[*]}"
  log "PASS purge removed every file of the package"
  rm -rf --one-file-system "$root"
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
      BRIVORA_BUILD_DIR="$dir" PATH="$work/bin:$PATH" "$REPO_DIR/scripts/setup.sh" ${start[@]+"${start[@]}"} \
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
      cmp "$dir/$PACKAGE.so" "$p/$PACKAGE/bin/64bit/$PACKAGE.so" || die "setup.sh: no module in $p"
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
  deb) cmd_deb "$@" ;;
  tgz) cmd_tgz "$@" ;;
  setup) cmd_setup "$@" ;;
  *) die "unknown command $command" ;;
esac
