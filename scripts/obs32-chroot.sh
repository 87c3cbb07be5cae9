#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A Debian chroot carrying that release's OBS Studio, used to build the module
# with that release's toolchain and to run the end-to-end tests against its
# OBS without touching the machine's own OBS. By default Debian unstable with
# OBS 32; --suite trixie gives Debian 13 with OBS 30. --arch arm64 makes the
# root for that architecture, run under qemu-user (qemu-user-static, its
# binfmt_misc entry registered here when missing).
#
# Usage: scripts/obs32-chroot.sh [--root DIR] [--suite S] [--arch A] [--packages "P..."]
#                                [--with-tests] COMMAND [ARGS...]
#
#   setup                     create the chroot unless it is there with the
#                             current suite and package list (idempotent;
#                             delete DIR to start again from today's unstable)
#   upstream-layout --from DIR
#                             make DIR's copy at the --root folder, relinked to
#                             the library names of OBS's own Linux builds:
#                             libobs.so.30 and libobs-frontend-api.so.30, no
#                             .so.0 (idempotent, like setup)
#   run [--bind HOST[:IN]]... -- CMD [ARGS...]
#                             run CMD inside the chroot with /proc /sys /dev
#                             /dev/pts bound in (unmounted again on exit)
#   build-module [--src DIR] [-DVAR=VALUE]...
#                             configure and build the module inside the chroot
#                             from the repository source; prints the host path
#                             of the built .so on the last line of stdout
#   prepare [--src DIR] [-DVAR=VALUE]...
#                             setup, then build-module
#   cross-build --build DIR [--src DIR] [-DVAR=VALUE]...
#                             setup, then configure and build the project with
#                             tests in DIR (a host folder below the source)
#                             with Debian's cross toolchain, the chroot as its
#                             sysroot: for a chroot of another --arch
#   ctest [--src DIR] [--build DIR] [CTEST ARGS...]
#                             run ctest inside the chroot in the folder that
#                             build-module used (build it with -DBUILD_TESTING=ON),
#                             or in the cross-build folder DIR
#   e2e [--src DIR] [--module SO] [--no-setup] [--no-build] [HARNESS ARGS...]
#                             setup, build the module in the chroot (or take the
#                             given SO, e.g. one built on the host against older
#                             headers) and run tests/e2e/run_e2e.py inside the
#                             chroot against its obs; HARNESS ARGS go to the harness
#                             (with --installed, the module a package installed).
#                             --no-build takes the module that build-module left.
#
# DIR defaults to $OBS32_CHROOT_DIR, else build/obs32-root in the repository.
# --arch defaults to the one the chroot was made for, else the machine's; a
# chroot of another architecture builds nothing itself and holds by default
# what its OBS, the e2e harness and the cross-built tests need.
# --suite (default sid) and --packages (default: what the suite's OBS, its e2e
# tests and the module's build need) choose another root, e.g. Debian 13 or a
# bare Debian 12. --with-tests adds what building and running the project's
# own tests needs (GoogleTest, Google Benchmark, Wayland, Mesa).
# The mirror is the machine's (scripts/apt-mirror.sh; without one it stops); a
# root of the machine's own release takes the machine's apt sources whole.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
ROOT=${OBS32_CHROOT_DIR:-$REPO_DIR/build/obs32-root}
SUITE=${OBS32_CHROOT_SUITE:-sid}
HOST_ARCH=$(dpkg --print-architecture)
ARCH=$HOST_ARCH
# What the chroot must hold. Changing this list makes `setup` install again.
PACKAGES=(obs-studio libobs-dev xvfb xauth python3 python3-websocket gdb
          cmake make g++ pkg-config)
EMULATED_PACKAGES=(obs-studio xvfb xauth python3 python3-websocket gdb cmake binutils
                   libobs-dev libgtest-dev libgmock-dev libwayland-dev libegl-mesa0 libgl1-mesa-dri uthash-dev)
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev libbenchmark-dev qtbase5-dev libwayland-dev
               libegl-mesa0 libgl1-mesa-dri)
APT_OPTS=(-o Acquire::Check-Valid-Until=false -o Dpkg::Use-Pty=0 -q)
CHROOT_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

log() { printf '[obs32-chroot] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# The GNU triplet of a Debian architecture: its multiarch library folder.
multiarch() {
    case $1 in
        amd64) echo x86_64-linux-gnu ;;
        arm64) echo aarch64-linux-gnu ;;
        *) die "no multiarch folder known for architecture $1" ;;
    esac
}

# A root of another architecture runs under qemu-user: its binfmt_misc entry
# (with the F flag, so that it works inside the chroot) must be registered.
ensure_binfmt() {
    [[ $ARCH != "$HOST_ARCH" ]] || return 0
    local cpu conf
    cpu=$(multiarch "$ARCH")
    cpu=${cpu%%-*}
    conf=/usr/lib/binfmt.d/qemu-$cpu.conf
    [[ -f $conf ]] || "$REPO_DIR/scripts/install-deps.sh" --tests
    [[ -f $conf ]] || die "no $conf: is qemu-user-static installed?"
    if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || die "cannot mount binfmt_misc"
    fi
    if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-$cpu ]]; then
        grep -v '^#' "$conf" | head -n 1 >/proc/sys/fs/binfmt_misc/register ||
            die "cannot register $conf with binfmt_misc"
        log "registered qemu-$cpu with binfmt_misc"
    fi
}

usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; }

apt_mirror() { "$SCRIPT_DIR/apt-mirror.sh" || die "no mirror to make the chroot from"; }

# Mount points below ROOT, deepest first.
mounts_below_root() {
    awk -v r="$ROOT/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r
}

MOUNTED=()
unmount_all() {
    local i
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTED[i]}" 2>/dev/null || umount -l "${MOUNTED[i]}" 2>/dev/null ||
            log "warning: could not unmount ${MOUNTED[i]}"
    done
    MOUNTED=()
}

bind_mount() { # HOST_PATH PATH_INSIDE
    local target=$ROOT$2
    if [[ -d $1 ]]; then mkdir -p "$target"; else mkdir -p "$(dirname "$target")"; touch "$target"; fi
    mount --bind "$1" "$target"
    MOUNTED+=("$target")
}

mount_system() {
    bind_mount /proc /proc
    bind_mount /sys /sys
    bind_mount /dev /dev
    bind_mount /dev/pts /dev/pts
    if mountpoint -q /dev/shm; then bind_mount /dev/shm /dev/shm; fi
}

# Mounts go into a private mount namespace when the kernel lets us, so they
# vanish with the last process even if this script is killed; the trap
# unmounts them in every case.
enter_private_namespace() {
    if [[ -z ${OBS32_CHROOT_NS:-} ]] && command -v unshare >/dev/null &&
        unshare --mount --propagation private true 2>/dev/null; then
        export OBS32_CHROOT_NS=1
        exec unshare --mount --propagation private -- "${BASH_SOURCE[0]}" "${ORIG_ARGS[@]}"
    fi
}

chroot_command() { # CMD [ARGS...]: sets CHROOT_CMD to run CMD inside the chroot
    # BRIVORA_E2E_EMULATED tells the e2e harness that OBS runs under qemu.
    CHROOT_CMD=(chroot "$ROOT" /usr/bin/env -i HOME=/root PATH="$CHROOT_PATH" LANG=C.UTF-8
                DEBIAN_FRONTEND=noninteractive TERM="${TERM:-dumb}"
                ${EMULATED:+BRIVORA_E2E_EMULATED=1} "$@")
}

in_chroot() { # CMD [ARGS...]  (system mounts must be in place)
    chroot_command "$@"
    "${CHROOT_CMD[@]}"
}

package_stamp() { printf '%s\n' "$SUITE" "${PACKAGES[@]}" "$ARCH" | md5sum | cut -c1-12; }

# A subshell, so the lock is released as soon as the chroot is ready.
cmd_setup() (
    local lock=$ROOT.lock stamp t0 t_all
    t_all=$(now)
    exec 9>"$lock"
    flock 9
    stamp=$ROOT/.brivora-packages-$(package_stamp)
    if [[ -e $stamp ]]; then
        log "chroot ready at $ROOT ($(in_chroot_version))"
        return 0
    fi
    command -v debootstrap >/dev/null 2>&1 || "$REPO_DIR/scripts/install-deps.sh" --tests
    ensure_binfmt
    if [[ ! -e $ROOT/.brivora-debootstrap-done ]]; then
        if [[ -e $ROOT ]]; then
            [[ -z $(mounts_below_root) ]] || die "something is still mounted below $ROOT: $(mounts_below_root | tr '\n' ' ')"
            log "removing the unfinished chroot at $ROOT"
            rm -rf --one-file-system "$ROOT"
        fi
        local mirror
        mirror=$(apt_mirror)
        log "debootstrap $SUITE ($ARCH) from $mirror into $ROOT"
        t0=$(now)
        if [[ $ARCH == "$HOST_ARCH" ]]; then
            debootstrap --variant=minbase "$SUITE" "$ROOT" "$mirror" >"$ROOT.debootstrap.log" 2>&1 ||
                { tail -n 30 "$ROOT.debootstrap.log" >&2; die "debootstrap failed (log: $ROOT.debootstrap.log)"; }
        else
            # Under emulation every fsync costs: the first stage (download and
            # unpack) runs natively, then dpkg is told not to sync before the
            # second stage configures the packages under qemu. The root is a
            # throw-away test root.
            { debootstrap --variant=minbase --arch="$ARCH" --foreign "$SUITE" "$ROOT" "$mirror" &&
              echo force-unsafe-io >"$ROOT/etc/dpkg/dpkg.cfg.d/brivora-unsafe-io" &&
              chroot "$ROOT" /debootstrap/debootstrap --second-stage; } >"$ROOT.debootstrap.log" 2>&1 ||
                { tail -n 30 "$ROOT.debootstrap.log" >&2; die "debootstrap failed (log: $ROOT.debootstrap.log)"; }
        fi
        touch "$ROOT/.brivora-debootstrap-done"
        log "step debootstrap took $(elapsed "$t0") s"
    fi
    # The machine's release: the same mirror and suites (updates, security)
    # as the machine's apt, so both install the same package versions.
    if [[ $SUITE == "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" ]]; then
        rm -f "$ROOT/etc/apt/sources.list" "$ROOT"/etc/apt/sources.list.d/*  # debootstrap's
        # Only the files of the Debian mirror: other repositories' keys are not in the root.
        local mirror_uri src
        mirror_uri=$(apt_mirror)
        for src in /etc/apt/sources.list /etc/apt/sources.list.d/*; do
            [[ ! -f $src ]] || ! grep -qF "$mirror_uri" "$src" || cp "$src" "$ROOT$src"
        done
    fi
    # No services get started by package scripts inside the chroot.
    printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$ROOT/usr/sbin/policy-rc.d"
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
    (
        trap unmount_all EXIT
        mount_system
        t0=$(now)
        in_chroot apt-get "${APT_OPTS[@]}" update >/dev/null
        log "step apt-get update took $(elapsed "$t0") s"
        t0=$(now)
        in_chroot apt-get "${APT_OPTS[@]}" install -y --no-install-recommends "${PACKAGES[@]}" \
            >"$ROOT.apt.log" 2>&1 ||
            { tail -n 30 "$ROOT.apt.log" >&2; die "apt-get install failed in the chroot (log: $ROOT.apt.log)"; }
        in_chroot apt-get clean
        log "step apt-get install took $(elapsed "$t0") s"
    )
    rm -f "$ROOT"/.brivora-packages-*
    echo "$ARCH" >"$ROOT/.brivora-arch"
    touch "$stamp"
    log "chroot ready at $ROOT ($(in_chroot_version)); setup took $(elapsed "$t_all") s"
)

in_chroot_version() {
    chroot "$ROOT" dpkg-query -W -f='obs-studio ${Version}' obs-studio 2>/dev/null || echo "obs-studio missing"
}

# OBS's own Linux builds from 30 on name their libraries .so.30 and have no
# .so.0; Debian names them .so.0 (unstable adds .so.30 links). A copy of a
# ready chroot, relinked to the former; the copy is made beside ROOT and
# renamed into place when done, so a ROOT is always whole.
HOST_LIBS=(libobs libobs-frontend-api)
cmd_upstream_layout() (
    local from="" stamp tmp t0 libdir lib real needed count=0 f
    while [[ $# -gt 0 ]]; do
        case $1 in
            --from) from=$2; shift 2 ;;
            *) die "upstream-layout: unknown argument $1" ;;
        esac
    done
    [[ -n $from ]] || die "upstream-layout: --from DIR is required"
    from=$(cd "$from" && pwd)
    stamp=$(cd "$from" && compgen -G ".brivora-packages-*") || die "no chroot ready at $from"
    stamp=.brivora-upstream-layout-${stamp#.brivora-packages-}
    t0=$(now)
    exec 9>"$ROOT.lock"
    flock 9
    if [[ -e $ROOT/$stamp ]]; then
        log "upstream-layout copy ready at $ROOT"
        return 0
    fi
    command -v patchelf >/dev/null 2>&1 || "$REPO_DIR/scripts/install-deps.sh" --tests
    [[ -z $(ROOT=$from mounts_below_root) ]] || die "something is mounted below $from"
    tmp=$ROOT.partial
    for f in "$tmp" "$ROOT"; do
        [[ ! -e $f ]] || { [[ -z $(ROOT=$f mounts_below_root) ]] || die "something is mounted below $f"; rm -rf --one-file-system "$f"; }
    done
    cp -a --one-file-system "$from" "$tmp"
    libdir=$tmp/usr/lib/$(multiarch "$ARCH")
    for lib in "${HOST_LIBS[@]}"; do
        real=$(readlink -f "$libdir/$lib.so.0")
        [[ -f $real ]] || die "no $lib.so.0 in $from"
        if [[ $real != "$libdir/$lib.so.30" ]]; then
            rm -f "$libdir/$lib.so.30"
            mv "$real" "$libdir/$lib.so.30"
        fi
        rm -f "$libdir/$lib.so.0"
        patchelf --set-soname "$lib.so.30" "$libdir/$lib.so.30"
        [[ ! -L $libdir/$lib.so ]] || ln -sfn "$lib.so.30" "$libdir/$lib.so"
    done
    # Every ELF file that names a .so.0: the obs executable, libobs-opengl,
    # libobs-scripting, the bundled plug-ins and whatever else links them.
    while IFS= read -r -d '' f; do
        [[ -f $f && ! -L $f ]] || continue
        needed=$(patchelf --print-needed "$f" 2>/dev/null) || continue
        for lib in "${HOST_LIBS[@]}"; do
            if grep -qxF "$lib.so.0" <<<"$needed"; then
                patchelf --replace-needed "$lib.so.0" "$lib.so.30" "$f"
                count=$((count + 1))
            fi
        done
    done < <(grep -rlsZF -e libobs.so.0 -e libobs-frontend-api.so.0 "$tmp/usr" || true)
    [[ $count -gt 0 ]] || die "no file in $from names libobs.so.0"
    chroot "$tmp" /sbin/ldconfig
    touch "$tmp/$stamp"
    mv "$tmp" "$ROOT"
    log "upstream-layout copy ready at $ROOT ($count NEEDED entries rewritten); took $(elapsed "$t0") s"
)

require_ready() {
    compgen -G "$ROOT/.brivora-packages-*" >/dev/null ||
        die "no chroot at $ROOT: run '$0 --root $ROOT setup' first"
    ensure_binfmt
}

# Runs CMD in the background, so that a SIGINT, SIGTERM or SIGHUP sent to
# this script ends it too (as SIGTERM: a background job ignores SIGINT) before
# this script unmounts or exits; returns CMD's status.
forwarding_signals() {
    local child rc=0
    "$@" &
    child=$!
    trap 'kill -TERM $child 2>/dev/null' INT TERM HUP
    while :; do
        if wait "$child"; then rc=0; else rc=$?; fi
        kill -0 "$child" 2>/dev/null || break  # else the wait was cut short by a signal
    done
    trap - INT TERM HUP
    return $rc
}

cmd_run() {
    local binds=()
    while [[ $# -gt 0 ]]; do
        case $1 in
            --bind) binds+=("$2"); shift 2 ;;
            --) shift; break ;;
            *) break ;;
        esac
    done
    [[ $# -gt 0 ]] || die "run: no command given"
    require_ready
    enter_private_namespace
    trap unmount_all EXIT
    mount_system
    local b
    for b in ${binds[@]+"${binds[@]}"}; do
        bind_mount "${b%%:*}" "$([[ $b == *:* ]] && echo "${b#*:}" || echo "${b%%:*}")"
    done
    chroot_command "$@"
    forwarding_signals "${CHROOT_CMD[@]}"
}

# The build directory inside the chroot depends on the source path, so one
# chroot can build several checkouts without their CMake caches clashing.
chroot_build_dir() { echo "/var/tmp/brivora-build/$(echo "$1" | md5sum | cut -c1-12)"; }

find_built_module() { # BUILD_DIR_INSIDE
    local found
    [[ -d $ROOT$1 ]] || die "no module built in the chroot yet ($ROOT$1): run build-module first"
    found=$(find "$ROOT$1" -name brivora-signature-guard.so -not -path '*/CMakeFiles/*' \( -type f -o -type l \) | sort)
    [[ -n $found ]] || die "the build produced no brivora-signature-guard.so under $ROOT$1"
    [[ $(wc -l <<<"$found") -eq 1 ]] || die "several brivora-signature-guard.so under $ROOT$1: $found"
    echo "$found"
}

cmd_build_module() {
    local src=$REPO_DIR cmake_args=()
    while [[ $# -gt 0 ]]; do
        case $1 in
            --src) src=$2; shift 2 ;;
            -D*) cmake_args+=("$1"); shift ;;
            *) die "build-module: unknown argument $1" ;;
        esac
    done
    src=$(cd "$src" && pwd)
    [[ -f $src/CMakeLists.txt ]] || die "no CMakeLists.txt in $src"
    require_ready
    local build t0
    build=$(chroot_build_dir "$src")
    t0=$(now)
    "${BASH_SOURCE[0]}" --root "$ROOT" run --bind "$src" -- sh -c '
        set -e
        src=$1 build=$2
        shift 2
        mkdir -p "$build"
        cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF "$@" \
            >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
        cmake --build "$build" -j "$(nproc)"
    ' sh "$src" "$build" ${cmake_args[@]+"${cmake_args[@]}"} 2>&1 |
        sed 's/^/[chroot build] /' >&2 || die "building the module in the chroot failed"
    log "step build-module took $(elapsed "$t0") s"
    find_built_module "$build"
}

# The project built on this machine with Debian's cross toolchain for the
# chroot's architecture, the chroot as the sysroot. Its tests run inside the
# chroot (ctest --build), where the host paths of the source are bound.
cmd_cross_build() {
    local src=$REPO_DIR build="" cmake_args=()
    while [[ $# -gt 0 ]]; do
        case $1 in
            --src) src=$2; shift 2 ;;
            --build) build=$2; shift 2 ;;
            -D*) cmake_args+=("$1"); shift ;;
            *) die "cross-build: unknown argument $1" ;;
        esac
    done
    [[ -n $build ]] || die "cross-build: --build DIR is required"
    [[ -n $EMULATED ]] || die "cross-build: $ROOT is of this machine's architecture"
    src=$(cd "$src" && pwd)
    mkdir -p "$build"
    build=$(cd "$build" && pwd)
    [[ $build == "$src"/* ]] || die "cross-build: $build is not below $src, where the chroot sees it"
    local toolchain t0
    toolchain=$src/cmake/toolchain-$(multiarch "$ARCH").cmake
    [[ -f $toolchain ]] || die "no $toolchain"
    cmd_setup
    command -v "$(multiarch "$ARCH")-g++" >/dev/null || "$REPO_DIR/scripts/install-deps.sh" --tests
    t0=$(now)
    # The tests are listed when ctest runs, inside the chroot.
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_SYSROOT="$ROOT" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
        ${cmake_args[@]+"${cmake_args[@]}"} >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log" >&2; die "configuring the cross build failed"; }
    cmake --build "$build" -j "$(nproc)" >&2 || die "the cross build failed"
    log "step cross-build took $(elapsed "$t0") s"
}

cmd_ctest() {
    local src=$REPO_DIR build=""
    while [[ $# -gt 0 ]]; do
        case $1 in
            --src) src=$2; shift 2 ;;
            --build) build=$2; shift 2 ;;
            *) break ;;
        esac
    done
    src=$(cd "$src" && pwd)
    require_ready
    if [[ -z $build ]]; then
        build=$(chroot_build_dir "$src")
        [[ -f $ROOT$build/CTestTestfile.cmake ]] || die "no build with tests at $ROOT$build: build-module -DBUILD_TESTING=ON first"
    else
        build=$(cd "$build" && pwd)
        [[ -f $build/CTestTestfile.cmake && $build == "$src"/* ]] || die "no cross build with tests at $build below $src"
    fi
    "${BASH_SOURCE[0]}" --root "$ROOT" run --bind "$src" -- sh -c 'cd "$1" && shift && exec ctest "$@"' \
        sh "$build" "$@"
}

cmd_e2e() {
    local src=$REPO_DIR module="" do_setup=1 do_build=1 harness_args=()
    while [[ $# -gt 0 ]]; do
        case $1 in
            --src) src=$2; shift 2 ;;
            --module) module=$2; shift 2 ;;
            --no-setup) do_setup=0; shift ;;
            --no-build) do_build=0; shift ;;
            *) harness_args+=("$1"); shift ;;
        esac
    done
    src=$(cd "$src" && pwd)
    [[ $do_setup -eq 0 ]] || cmd_setup
    local inner_module="" staged=""
    if [[ -n $module ]]; then
        # A module built elsewhere (on the host, against older headers) is
        # copied in with the CMakeCache.txt that names its service host.
        [[ -f $module ]] || die "no module at $module"
        mkdir -p "$ROOT/var/tmp"
        staged=$(mktemp -d "$ROOT/var/tmp/brivora-e2e-module.XXXXXX")
        staged=${staged#"$ROOT"}
        trap "rm -rf $(printf '%q' "$ROOT$staged")" EXIT
        cp "$module" "$ROOT$staged/"
        # The tests' output probe, when it was built beside the module.
        local probe
        probe=$(dirname "$module")/brivora-output-probe.so
        [[ ! -f $probe ]] || cp "$probe" "$ROOT$staged/"
        local dir
        dir=$(cd "$(dirname "$module")" && pwd)
        while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
        [[ ! -f $dir/CMakeCache.txt ]] || cp "$dir/CMakeCache.txt" "$ROOT$staged/"
        inner_module=$staged/$(basename "$module")
    elif [[ " ${harness_args[*]-} " == *" --installed "* ]]; then
        require_ready  # the module is installed in the chroot, by a package
    else
        local built
        if [[ $do_build -eq 1 ]]; then
            built=$(cmd_build_module --src "$src" | tail -n 1)
        else
            require_ready
            built=$(find_built_module "$(chroot_build_dir "$src")")
        fi
        inner_module=${built#"$ROOT"}
    fi
    local t0 rc=0
    t0=$(now)
    forwarding_signals "${BASH_SOURCE[0]}" --root "$ROOT" run --bind "$src" -- \
        python3 "$src/tests/e2e/run_e2e.py" --obs obs ${inner_module:+--module "$inner_module"} \
        ${harness_args[@]+"${harness_args[@]}"} || rc=$?
    log "step e2e harness took $(elapsed "$t0") s"
    return $rc
}

main() {
    [[ $(id -u) == 0 ]] || die "must run as root (debootstrap, chroot and mount need it)"

    ORIG_ARGS=("$@")  # for the re-run in a private mount namespace
    local with_tests=0 arch_given="" packages_given=""
    while [[ $# -gt 0 ]]; do
        case $1 in
            --root) ROOT=$2; shift 2 ;;
            --root=*) ROOT=${1#--root=}; shift ;;
            --suite) SUITE=$2; shift 2 ;;
            --arch) ARCH=$2; arch_given=1; shift 2 ;;
            --packages) read -r -a PACKAGES <<<"$2"; packages_given=1; shift 2 ;;
            --with-tests) with_tests=1; shift ;;
            -h|--help) usage; exit 0 ;;
            *) break ;;
        esac
    done
    [[ $# -gt 0 ]] || { usage >&2; exit 2; }
    COMMAND=$1; shift
    mkdir -p "$(dirname "$ROOT")"
    ROOT=$(cd "$(dirname "$ROOT")" && pwd)/$(basename "$ROOT")
    [[ -n $arch_given || ! -f $ROOT/.brivora-arch ]] || ARCH=$(<"$ROOT/.brivora-arch")
    EMULATED=""
    [[ $ARCH == "$HOST_ARCH" ]] || EMULATED=1
    [[ -z $EMULATED || -n $packages_given ]] || PACKAGES=("${EMULATED_PACKAGES[@]}")
    [[ $with_tests -eq 0 ]] || PACKAGES+=("${TEST_PACKAGES[@]}")

    case $COMMAND in
        setup) cmd_setup "$@" ;;
        upstream-layout) cmd_upstream_layout "$@" ;;
        run) cmd_run "$@" ;;
        build-module) cmd_build_module "$@" ;;
        prepare) cmd_setup; cmd_build_module "$@" ;;
        cross-build) cmd_cross_build "$@" ;;
        ctest) cmd_ctest "$@" ;;
        e2e) cmd_e2e "$@" ;;
        *) usage >&2; exit 2 ;;
    esac
}

# All on one line: bash has read it whole before it runs, so a change to this
# file during a long run cannot derail the rest of that run.
main "$@"; exit $?
