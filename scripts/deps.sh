#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config
      qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev
      libblkid-dev libgtest-dev libgmock-dev libbenchmark-dev
      xvfb xauth dosfstools fonts-dejavu-core
      libcurl4-openssl-dev pure-ftpd openssl)
PKGS+=(libburn-dev libisofs-dev xorriso)  # disc archiving: drives and images; the tests read images back
PKGS+=(desktop-file-utils appstream dpkg-dev)  # install tree and package checks: desktop-file-validate, appstreamcli, dpkg-shlibdeps
if [ "${BV_WITH_CLANG:-0}" = 1 ]; then PKGS+=(clang libclang-rt-14-dev); fi
PKGS+=(openssh-server)  # SFTP tests: each test starts its own sshd on a loopback port
PKGS+=(radosgw ceph-mon ceph-osd)  # object storage tests: a one-node cluster and its S3 gateway
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The SFTP tests start sshd themselves: a system SSH server that came only
  # with this installation is stopped and not started at boot.
  if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null; then
    $SUDO systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
  fi
fi
