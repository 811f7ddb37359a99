#!/usr/bin/env bash
# Proves that the README's two commands pass on a fresh minimal Debian 12 machine: builds a
# minbase root with debootstrap, clones the committed HEAD of this checkout into it and runs
# ./test.sh, then ./demo.sh --headless, inside it (chroot); with --windows-demo then also
# ./demo.sh --windows. Nothing is installed there by hand, so a package that
# scripts/install-deps.sh forgets makes one of them fail. Takes minutes.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: sudo scripts/check-fresh-root.sh [options]
  --keep             keep the root afterwards for inspection (its path is printed)
  --dir DIR          create the temporary root below DIR (default: /var/tmp)
  --cache DIR        where the debootstrapped base is cached as a tarball, so that reruns skip
                     debootstrap (default: /var/cache/orvi-fresh-root); the clone and the two
                     commands always run in a fresh copy
  --no-cache         neither read nor write the cached base
  --refresh          debootstrap anew and replace the cached base
  --time-limit MIN   minutes each command may take before it is stopped (default: 90)
  --windows-demo     after the two commands, run the main job on Windows too:
                     ./demo.sh --windows (the Windows updater under Wine)
  --only-windows-demo
                     run ./demo.sh --windows alone (neither ./test.sh nor ./demo.sh --headless):
                     proves what the Windows demo needs beyond the two commands
  --windows-prefix DIR
                     put this machine's finished Windows prefix DIR (Qt and the libraries that
                     scripts/windows/build-deps.sh built, with its .complete mark) into the root's
                     build cache, so that the root does not build Qt again; what building Qt
                     needs is then proven only by a run without it
Prints each command's exit status and duration at the end; exits 1 if any failed.
EOF
}

keep=false
parent=/var/tmp
cache_dir=/var/cache/orvi-fresh-root
use_cache=true
refresh=false
time_limit=90
windows_demo=false
only_windows_demo=false
windows_prefix=
while [ $# -gt 0 ]; do
    case $1 in
        --keep) keep=true ;;
        --dir) parent=${2:?--dir needs a folder}; shift ;;
        --cache) cache_dir=${2:?--cache needs a folder}; shift ;;
        --no-cache) use_cache=false ;;
        --refresh) refresh=true ;;
        --time-limit) time_limit=${2:?--time-limit needs minutes}; shift ;;
        --windows-demo) windows_demo=true ;;
        --only-windows-demo) windows_demo=true; only_windows_demo=true ;;
        --windows-prefix) windows_prefix=${2:?--windows-prefix needs a folder}; shift ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
    shift
done

if [ -n "$windows_prefix" ]; then
    [ -f "$windows_prefix/.complete" ] || {
        printf 'fresh-root: %s is not a finished Windows prefix (no .complete)\n' "$windows_prefix" >&2
        exit 2
    }
fi

say() { printf 'fresh-root: %s\n' "$*"; }
die() { printf 'fresh-root: %s\n' "$*" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || die "debootstrap, chroot and mount need root: run it with sudo"
# Under sudo the checkout belongs to someone else, which git refuses unless told it is safe.
safe_git() { git -c safe.directory='*' "$@"; }
checkout=$(safe_git -C "$(dirname "$0")" rev-parse --show-toplevel)
commit=$(safe_git -C "$checkout" rev-parse HEAD)
branch=$(safe_git -C "$checkout" symbolic-ref -q --short HEAD || echo fresh-root)
if [ -n "$(safe_git -C "$checkout" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes in $checkout are not part of the check (HEAD only)"
fi

suite=bookworm
variant=minbase
# A machine that got the repository with git has git and the certificates for https.
include=git,ca-certificates

# The mirror this machine's apt uses, so the root reaches what the host reaches.
apt_uri() {
    local suite_pattern=$1
    {
        cat /etc/apt/sources.list.d/*.sources 2>/dev/null
        echo
    } | awk -v want="$suite_pattern" '
        function flush() { if (uris != "" && suites ~ want && !found) { print uris; found = 1 }
                           uris = ""; suites = "" }
        /^[ \t]*$/ { flush(); next }
        /^URIs:/ { uris = $2 }
        /^Suites:/ { suites = " " substr($0, 8) " " }
        END { flush() }'
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        | awk -v want="$suite_pattern" '{ for (i = 3; i <= NF; i++) if (" " $i " " ~ want) print $(i - 1) }' \
        | sed 's/^\[.*\]$//' | grep -v '^$' || true
}
mirror=$(apt_uri " $suite " | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}
security=$(apt_uri " $suite-security " | head -n1)
security=${security:-http://deb.debian.org/debian-security}

if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap on this machine"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
fi

mkdir -p "$parent"
free_kib=$(df -Pk "$parent" | awk 'NR == 2 { print $4 }')
[ "$free_kib" -ge $((8 * 1024 * 1024)) ] \
    || die "$parent has $((free_kib / 1024 / 1024)) GiB free; the root needs about 8 (use --dir)"
work=$(mktemp -d "$parent/orvi-fresh-root.XXXXXX")
root=$work/root

# --- Every way out: stop what runs in the root, unmount, then (unless --keep) delete -----------
# Mount points below the work folder, deepest first (debootstrap mounts some of its own).
mounts_below() {
    awk -v top="$work/" 'index($5, top) == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
# Processes whose root is the root: what the commands started.
root_processes() {
    # Processes end while find walks /proc, which find reports as a failure; that is no error.
    { find /proc -mindepth 2 -maxdepth 2 -name root -lname "$root" 2>/dev/null || true; } \
        | sed 's|^/proc/\([0-9]*\)/root$|\1|;t;d'
}
stop_root_processes() {
    local pid
    for pid in $(root_processes); do kill -TERM "$pid" 2>/dev/null || true; done
    for _ in $(seq 50); do [ -z "$(root_processes)" ] && return 0; sleep 0.1; done
    for pid in $(root_processes); do kill -KILL "$pid" 2>/dev/null || true; done
}
cleanup() {
    local status=$? point
    trap - EXIT INT TERM
    set +e
    [ $status -eq 0 ] || say "ending (status $status): stopping what runs in the root, unmounting"
    stop_root_processes
    for point in $(mounts_below); do
        umount "$point" 2>/dev/null || umount -l "$point" || say "could not unmount $point"
    done
    if [ -n "$(mounts_below)" ]; then
        say "still mounted below $work, so it is left in place:"
        mounts_below | sed 's/^/    /'
        exit 2
    fi
    if $keep; then
        say "kept the root for inspection: $root (chroot $root bash; delete $work when done)"
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Seconds as "Mm SSs".
duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

summary=()
failed=false
started=$SECONDS

# --- The base: debootstrap, or the cached result of an earlier one -----------------------------
key=$(printf '%s\n' "$suite" "$variant" "$include" "$mirror" | sha256sum | cut -c1-12)
tarball=$cache_dir/$suite-$variant-$key.tar
step_start=$SECONDS
if $use_cache && ! $refresh && [ -s "$tarball" ]; then
    say "unpacking the cached base $tarball (--refresh debootstraps anew)"
    mkdir -p "$root"
    tar -xpf "$tarball" -C "$root" --numeric-owner
    base_how="cached base"
else
    say "debootstrap --variant=$variant --include=$include $suite from $mirror"
    debootstrap --variant="$variant" --include="$include" "$suite" "$root" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || {
        tail -n 30 "$work/debootstrap.log" >&2
        die "debootstrap failed (log above)"
    }
    [ -z "$(mounts_below)" ] || die "debootstrap left mounts behind: $(mounts_below)"
    if $use_cache; then
        mkdir -p "$cache_dir"
        tar --one-file-system -cpf "$tarball.part" -C "$root" --numeric-owner . && mv "$tarball.part" "$tarball"
        say "cached the base as $tarball"
    fi
    base_how=debootstrap
fi
summary+=("$(printf '%-28s %-6s %s' "base root ($base_how)" ok "$(duration $((SECONDS - step_start)))")")

# A fresh installation's package sources: the release, its updates and security.
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
# Installing a package must not start its service (nginx, dbus) in here.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# debootstrap writes no hosts file; the Debian installer does, and "localhost" needs it.
if [ ! -e "$root/etc/hosts" ]; then
    printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
        >"$root/etc/hosts"
fi

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"

say "cloning $checkout at $commit ($branch) into /root/orvi"
git init -q "$root/root/orvi"
git -C "$root/root/orvi" fetch -q --upload-pack="git -c safe.directory='*' upload-pack" \
    "$checkout" HEAD
git -C "$root/root/orvi" checkout -q -b "$branch" FETCH_HEAD

# Runs a command in the clone with a clean environment, as a fresh root login would have it.
in_root() {
    # Started in the background (see run), it would ignore SIGINT; the commands get it back.
    timeout -k 30 $((time_limit * 60)) env --default-signal=INT,QUIT \
        chroot "$root" /usr/bin/env -i HOME=/root \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
        LANG=C.UTF-8 /bin/bash -c 'cd /root/orvi && exec "$@"' in-root "$@"
}
run() {
    local step_start=$SECONDS status=0 verdict=ok
    local log=$work/$(basename "$1").log
    say "running $* in the root"
    # In the background, so that Ctrl-C reaches the trap at once rather than after the command.
    in_root "$@" </dev/null > >(tee "$log") 2>&1 &
    wait $! || status=$?
    local leftovers
    leftovers=$(root_processes)
    if [ -n "$leftovers" ]; then
        say "$* left processes running; stopping them:"
        for pid in $leftovers; do
            printf '    %s %s\n' "$pid" "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
        done
        stop_root_processes
        [ $status -ne 0 ] || status=1
    fi
    if [ $status -ne 0 ]; then
        verdict=FAILED
        failed=true
        [ $status -eq 124 ] && verdict="TIMEOUT"
    fi
    summary+=("$(printf '%-28s %-6s %s (exit %d)' "$*" "$verdict" \
        "$(duration $((SECONDS - step_start)))" $status)")
    # The parts the command timed itself ("== plain: built in 95 s", "windows-deps: qt: 900 s").
    local part seconds
    while IFS=$'\t' read -r part seconds; do
        summary+=("$(printf '    %-40s %s' "$part" "$(duration "$seconds")")")
    done < <(sed -n -e 's/^== \(.*\) in \([0-9]*\) s$/\1\t\2/p' \
        -e 's/^windows-deps: \(.*\): \([0-9]*\) s$/windows \1\t\2/p' "$log")
    say "$* ended with exit status $status after $(duration $((SECONDS - step_start)))"
}
if [ -n "$windows_prefix" ]; then
    # The prefix's name carries the sources' versions and the build script's content, so the
    # root's build script takes it only when it would have built the same.
    mkdir -p "$root/root/.cache/orvi-updater-build"
    cp -a "$windows_prefix" "$root/root/.cache/orvi-updater-build/"
    say "the root's build cache has this machine's Windows prefix $(basename "$windows_prefix")"
    summary+=("$(printf '%-28s %s' "Windows prefix" "copied from this machine (Qt not built)")")
fi
if ! $only_windows_demo; then
    run ./test.sh
    run ./demo.sh --headless
fi
if $windows_demo; then
    run ./demo.sh --windows
fi

echo
say "summary: $suite $variant root, $branch at ${commit:0:12}"
for line in "${summary[@]}"; do
    printf '    %s\n' "$line"
done
printf '    %-28s %s\n' total "$(duration $((SECONDS - started)))"
if $failed; then
    say "FAILED"
    exit 1
fi
if $only_windows_demo; then
    say "the demo on Windows passed on a fresh root"
elif $windows_demo; then
    say "both commands and the demo on Windows passed on a fresh root"
else
    say "both commands passed on a fresh root"
fi
