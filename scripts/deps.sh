#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when something is missing.
# Sourced by scripts/test, scripts/run and scripts/package.
kestrune_install_deps() {
    local packages=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
                    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64
                    iproute2 procps psmisc python3
                    wixl msitools osslsigncode openssl binutils-mingw-w64-x86-64
                    clang-14 libclang-rt-14-dev)
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}
