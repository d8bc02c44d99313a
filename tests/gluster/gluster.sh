# Sourced by tests/gluster/run and bench/gluster_run: starts a one-brick
# GlusterFS volume on this machine and mounts it several times (each mount
# stands for another machine sharing the store), and takes all of it down
# again. Nothing runs under systemd: glusterd is started by hand, and every
# process started here is stopped by its process id.
#
#   gluster_start DIR NMOUNTS   sets GLUSTER_MOUNTS (DIR/m1 ... DIR/mN)
#   gluster_stop                undoes what gluster_start did; safe to call
#                               more than once and after a partial start
#
# glusterd keeps its state in DIR/glusterd, not /var/lib/glusterd; the brick
# and mount processes still write below /var/run/gluster and
# /var/log/glusterfs, and whatever appeared there since the start is removed.
# A GlusterFS that can not start ends the caller with GLUSTER_UNAVAILABLE.

GLUSTER_UNAVAILABLE=77
GLUSTER_VOLUME=mdtree$$
GLUSTER_LOCK=/run/lock/mdtree-gluster.lock

gluster_dir=
gluster_pids=()
gluster_mounts=()
gluster_volume_made=
gluster_state_before=
gluster_state_recorded=
gluster_lock_fd=

# The state directories the daemons write into whatever we tell them.
gluster_state_dirs() {
  find /var/run/gluster /var/log/glusterfs -mindepth 1 2>/dev/null | sort
}

gluster_cli() {
  timeout 60 gluster --mode=script --glusterd-sock="$gluster_dir/glusterd.socket" \
    --log-file="$gluster_dir/log/cli.log" "$@"
}

gluster_fail() {
  echo "gluster: GlusterFS can not start here: $*" >&2
  for f in "$gluster_dir"/log/*.log; do
    [ -f "$f" ] && { echo "--- last lines of $f" >&2; tail -n 5 "$f" >&2; }
  done
  gluster_stop
  exit "$GLUSTER_UNAVAILABLE"
}

# The process ids of the glusterfs client serving mount point $1.
gluster_client_pid() {
  local p args
  for p in /proc/[0-9]*; do
    args=$( { tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null) || continue
    if grep -qxF "$1" <<<"$args" && grep -qxF -- "--volfile-id=/$GLUSTER_VOLUME" <<<"$args"; then
      echo "${p#/proc/}"
    fi
  done
}

gluster_start() {
  gluster_dir=$1
  local nmounts=$2 host i m pid
  . "$(dirname "${BASH_SOURCE[0]}")/../../scripts/deps.sh"
  mdtree_need_packages "${MDTREE_GLUSTER_PACKAGES[@]}" ||
    gluster_fail "the packages ${MDTREE_GLUSTER_PACKAGES[*]} are missing"
  command -v glusterd >/dev/null || gluster_fail "no glusterd command"
  # One GlusterFS at a time on this machine: glusterd listens on port 24007.
  exec {gluster_lock_fd}>"$GLUSTER_LOCK"
  flock -w 600 "$gluster_lock_fd" || gluster_fail "another run holds $GLUSTER_LOCK"
  if ss -ltn 2>/dev/null | grep -q ':24007 '; then
    gluster_fail "port 24007 is taken (another glusterd runs)"
  fi
  gluster_state_before=$(gluster_state_dirs)
  gluster_state_recorded=1
  mkdir -p "$gluster_dir/glusterd" "$gluster_dir/brick" "$gluster_dir/log"
  sed -e "s|/var/lib/glusterd|$gluster_dir/glusterd|" \
      -e "s|^end-volume|    option glusterd-sockfile $gluster_dir/glusterd.socket\nend-volume|" \
      /etc/glusterfs/glusterd.vol >"$gluster_dir/glusterd.vol" || gluster_fail "no /etc/glusterfs/glusterd.vol"
  glusterd -N -f "$gluster_dir/glusterd.vol" -l "$gluster_dir/log/glusterd.log" </dev/null >/dev/null 2>&1 &
  gluster_pids+=($!)
  for i in $(seq 100); do
    [ -S "$gluster_dir/glusterd.socket" ] && gluster_cli volume list >/dev/null 2>&1 && break
    kill -0 "${gluster_pids[0]}" 2>/dev/null || gluster_fail "glusterd exited"
    sleep 0.1
  done
  gluster_cli volume list >/dev/null 2>&1 || gluster_fail "glusterd does not answer"
  # The brick's host must not be a loopback address in the command, but it
  # may resolve to one: the host name does.
  host=$(hostname)
  gluster_cli volume create "$GLUSTER_VOLUME" "$host:$gluster_dir/brick" force >/dev/null ||
    gluster_fail "gluster volume create $GLUSTER_VOLUME $host:$gluster_dir/brick force failed"
  gluster_volume_made=1
  gluster_cli volume start "$GLUSTER_VOLUME" >/dev/null || gluster_fail "gluster volume start failed"
  for pid in $(cat /var/run/gluster/vols/"$GLUSTER_VOLUME"/*.pid 2>/dev/null); do gluster_pids+=("$pid"); done
  GLUSTER_MOUNTS=
  for i in $(seq "$nmounts"); do
    m=$gluster_dir/m$i
    mkdir -p "$m"
    mount -t glusterfs -o log-file="$gluster_dir/log/m$i.log" "127.0.0.1:/$GLUSTER_VOLUME" "$m" ||
      gluster_fail "mount -t glusterfs 127.0.0.1:/$GLUSTER_VOLUME $m failed"
    gluster_mounts+=("$m")
    for pid in $(gluster_client_pid "$m"); do gluster_pids+=("$pid"); done
    [ "$(stat -f -c %t "$m")" = 65735546 ] || gluster_fail "$m is not a FUSE mount after mounting"
    GLUSTER_MOUNTS=${GLUSTER_MOUNTS:+$GLUSTER_MOUNTS:}$m
  done
  export GLUSTER_MOUNTS
}

gluster_stop() {
  local m pid i after
  for m in "${gluster_mounts[@]}"; do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
  done
  gluster_mounts=()
  if [ -n "$gluster_volume_made" ]; then
    gluster_cli volume stop "$GLUSTER_VOLUME" force >/dev/null 2>&1
    gluster_cli volume delete "$GLUSTER_VOLUME" >/dev/null 2>&1
    gluster_volume_made=
  fi
  for pid in "${gluster_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for i in $(seq 50); do
    after=
    for pid in "${gluster_pids[@]}"; do kill -0 "$pid" 2>/dev/null && after=1; done
    [ -z "$after" ] && break
    sleep 0.1
  done
  for pid in "${gluster_pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  gluster_pids=()
  if [ -n "$gluster_state_recorded" ]; then
    comm -13 <(echo "$gluster_state_before") <(gluster_state_dirs) | sort -r | while read -r m; do
      if [ -d "$m" ] && [ ! -L "$m" ]; then rmdir "$m" 2>/dev/null; else rm -f "$m"; fi
    done
    gluster_state_recorded=
  fi
  # The brick's files are ours alone: the next run need not wait for them.
  if [ -n "${gluster_lock_fd:-}" ]; then
    exec {gluster_lock_fd}>&-
    gluster_lock_fd=
  fi
  [ -n "$gluster_dir" ] && [ -d "$gluster_dir" ] && rm -rf --one-file-system "$gluster_dir"
  gluster_dir=
}
