#!/usr/bin/env bash
# Runs a command on a clean clone of this repository in a fresh Debian system of another release, to prove
# the two commands there:
#
#   tools/in-debian.sh trixie make test
#   tools/in-debian.sh trixie make demo
#   tools/in-debian.sh --reuse trixie make test     # the system the last run made, as that run left it
#
# As root. The system is made with debootstrap from the Debian mirror that this machine's apt uses, with the
# release's -updates and -security suites as a fresh installation has them, under build/debian-SUITE/ (or
# QRVX_DEBIAN_ROOT). It begins with git and make alone: the command installs the rest, as on a new machine.
# The clone is of HEAD, without what is not committed. Every mount is made in a private mount namespace and
# ends with the command; nothing stays mounted, whatever becomes of it.
set -euo pipefail

reuse=false
if [[ "${1:-}" == "--reuse" ]]; then
  reuse=true
  shift
fi
if [[ $# -lt 2 ]]; then
  echo "usage: tools/in-debian.sh [--reuse] SUITE COMMAND..." >&2
  exit 2
fi
suite=$1
shift
if [[ $(id -u) -ne 0 ]]; then
  echo "in-debian.sh: only root can make and enter a Debian system." >&2
  exit 2
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${QRVX_DEBIAN_ROOT:-$repo/build/debian-$suite}
target=$work/root

# The mirrors apt uses here, by the labels of their Release files.
mirror_of() {
  apt-get indextargets --format '$(ORIGIN) $(LABEL) $(REPO_URI)' | awk -v label="$1" \
    '$1 == "Debian" && $2 == label { print $3; exit }'
}
mirror=$(mirror_of Debian)
security=$(mirror_of Debian-Security)
if [[ -z "$mirror" ]]; then
  echo "in-debian.sh: apt here uses no Debian mirror to make the system from." >&2
  exit 1
fi

mounted_under() {
  awk -v under="$(realpath -m "$1")" '$5 == under || index($5, under "/") == 1 { print $5 }' /proc/self/mountinfo
}
if [[ -n "$(mounted_under "$work")" ]]; then
  echo "in-debian.sh: something is mounted under $work; not touching it." >&2
  exit 1
fi

started=$(date +%s)
if ! $reuse || [[ ! -e "$work/ready" ]]; then
  echo "Making a fresh Debian $suite system in $target from $mirror ..."
  rm -rf "$work"
  mkdir -p "$work"
  # debootstrap mounts /proc and /sys into the target: in a namespace of its own, they end with it.
  unshare --mount --propagation private \
    debootstrap --variant=minbase --include=git,make "$suite" "$target" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 5 "$work/debootstrap.log" >&2; echo "in-debian.sh: debootstrap failed (see $work/debootstrap.log)" >&2; exit 1; }
  rm -f "$target/etc/apt/sources.list"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$mirror" "$suite" "$suite"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    if [[ -n "$security" ]]; then
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$security" "$suite"
      printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
  } >"$target/etc/apt/sources.list.d/debian.sources"
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$target/etc/hosts"
  date -u >"$work/ready"
  echo "Made in $(($(date +%s) - started)) s."
fi

# A clean clone of HEAD, made afresh for every run.
rm -rf "$target/src"
mkdir -p "$target/src"
git clone --quiet --no-hardlinks "$repo" "$target/src/qrvxSuninstall"

# Inside: the system's root a mount point of its own (ip netns exec remounts / and /sys as it enters a
# namespace), the kernel's file systems, and a /run and /tmp of its own.
enter=$(cat <<'SCRIPT'
set -e
target=$1
shift
mount --bind "$target" "$target"
mount -t proc proc "$target/proc"
mount -t sysfs sysfs "$target/sys"
mount --rbind /dev "$target/dev"
mount -t tmpfs tmpfs "$target/run"
mount -t tmpfs tmpfs "$target/tmp"
cd "$target"
exec chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  sh -c 'cd /src/qrvxSuninstall && exec "$@"' sh "$@"
SCRIPT
)
echo "Running in Debian $suite ($(cat "$target/etc/debian_version")): $*"
command_started=$(date +%s)
status=0
unshare --mount --propagation private sh -c "$enter" sh "$target" "$@" || status=$?
echo "in-debian.sh: '$*' exited $status after $(($(date +%s) - command_started)) s" \
  "($(($(date +%s) - started)) s with the system's making); $(du -sh "$work" 2>/dev/null | cut -f1) in $work."
left=$(mounted_under "$work")
if [[ -n "$left" ]]; then
  echo "in-debian.sh: mounts left under $work: $left" >&2
  exit 1
fi
exit "$status"
