#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing and we are root, on
# Debian 12 and Debian 13 alike. Without root it only says what is missing; the steps that need it then fail
# or skip plainly.
#
# A mirror that is out of step (an index of the wrong size while it syncs) must not stop the set-up: apt's
# index is fetched again a few times, and what it could fetch is used. Wine's 32-bit half comes apart, after
# everything else: only the x86 Wine tests need it, and it is what an incomplete i386 index breaks, as
# multiarch wants the i386 libraries at the very versions of their amd64 twins. Where it cannot be had, one
# line says why, the reason is kept for the tests to give when they skip, and the set-up goes on. A package
# the build needs that cannot be installed stops it, with the package and apt's reason.
set -euo pipefail

# Names that both releases have: libclang-rt-dev is Clang's runtimes for the default Clang of each.
packages=(cmake make g++ libgtest-dev python3 iproute2
          clang libclang-rt-dev clang-tidy cppcheck
          g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
          wine wine64
          osslsigncode openssl icoutils debootstrap)
packages_32bit=(wine32:i386)

# Why the 32-bit half is not installed, for the x86 Wine tests to say when they skip (tests/wine/rig.py).
root=$(cd "$(dirname "$0")/.." && pwd)
reason_file="$root/build/wine32-missing.txt"

update_attempts=${QRVX_APT_UPDATE_ATTEMPTS:-3}
update_pause=${QRVX_APT_UPDATE_PAUSE:-10}

installed() {
  [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]
}

missing_of() {
  local package
  for package in "$@"; do
    installed "$package" || echo "$package"
  done
}

# Lines of apt's output on one line, spaces squeezed, "; " between them.
one_line() {
  sed -E 's/[[:space:]]+/ /g; s/^ //; s/ \[IP: [^]]*\]//' | paste -sd ';' - | sed 's/;/; /g'
}

# apt's own words for why it would not install: the first unmet dependency, or else its first error.
apt_reason() {
  { grep -E ' : Depends: ' "$1" || grep -E '^E: ' "$1" || tail -n 1 "$1"; } | head -n 1 | one_line || true
}

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_32bit < <(missing_of "${packages_32bit[@]}")
wanted=("${missing[@]}" "${missing_32bit[@]}")
if [[ ${#wanted[@]} -eq 0 ]]; then
  rm -f "$reason_file"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages (run as root to install them): ${wanted[*]}" >&2
  exit 0
fi

echo "Installing: ${wanted[*]}"
if [[ ${#missing_32bit[@]} -gt 0 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Each attempt fetches only what changed; an index that failed every time is named, and apt goes on with the
# others, and with the copy of that one it had, if any.
update_failures=
for ((attempt = 1; attempt <= update_attempts; attempt++)); do
  if apt-get update -q >"$log" 2>&1; then
    update_failures=
    break
  fi
  update_failures=$({ grep -E '^E: ' "$log" | grep -v 'Some index files failed' || tail -n 1 "$log"; } |
                    sed -E 's/^E: (Failed to fetch )?//' | head -n 2 | one_line || true)
  if ((attempt < update_attempts)); then
    echo "apt-get update could not fetch every index (attempt $attempt of $update_attempts); again in ${update_pause} s."
    sleep "$update_pause"
  fi
done
if [[ -n "$update_failures" ]]; then
  echo "apt-get update failed $update_attempts times ($update_failures); going on with the indexes it has."
fi

if [[ ${#missing[@]} -gt 0 ]]; then
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    tail -n 15 "$log" >&2
    # Which of them apt refuses, each asked alone.
    for package in "${missing[@]}"; do
      if ! apt-get install -s -q --no-install-recommends "$package" >"$log" 2>&1; then
        echo "Cannot install $package, which the build needs: $(apt_reason "$log")" >&2
      fi
    done
    echo "The set-up stopped: the packages above are needed to build and test." >&2
    exit 1
  fi
  echo "Installed: ${missing[*]}"
fi

if [[ ${#missing_32bit[@]} -gt 0 ]]; then
  mkdir -p "$(dirname "$reason_file")"
  if apt-get install -y -q --no-install-recommends "${missing_32bit[@]}" >"$log" 2>&1; then
    rm -f "$reason_file"
    echo "Installed: ${missing_32bit[*]}"
  else
    reason="apt could not install ${missing_32bit[*]}: $(apt_reason "$log")"
    if [[ -n "$update_failures" ]]; then
      reason+="; apt-get update had failed: $update_failures"
    fi
    echo "$reason" >"$reason_file"
    echo "Wine's 32-bit half is not installed; the x86 Wine tests will be skipped. $reason"
  fi
else
  rm -f "$reason_file"
fi
