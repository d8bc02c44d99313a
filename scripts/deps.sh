# Sourced by the setup and test scripts: installs the Debian packages the
# project needs when they are missing and we run as root.
mdtree_need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What building the tool needs.
MDTREE_BUILD_PACKAGES=(cmake ninja-build g++ zlib1g-dev libdeflate-dev)
# What the tests need beside that (tmux: a real terminal for the status line).
MDTREE_TEST_PACKAGES=(libgtest-dev python3 groff tmux strace)
# The power-cut test makes, mounts and checks ext4 images.
MDTREE_TEST_PACKAGES+=(e2fsprogs mount)
# The cache's test swaps squashfs images under one mount point.
MDTREE_TEST_PACKAGES+=(squashfs-tools)
# The fuzz targets are built with clang and its libFuzzer runtime.
MDTREE_TEST_PACKAGES+=(clang libclang-rt-14-dev)
# The shared-store test and benchmark run a GlusterFS volume on this machine.
MDTREE_GLUSTER_PACKAGES=(glusterfs-server glusterfs-client)
