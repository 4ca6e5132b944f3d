#!/usr/bin/env bash
# The Slurm recipe on a real cluster of two nodes that this test builds on
# one machine: each slurmd in a network namespace of its own (a veth pair to
# a private bridge, with addresses the test makes up) and its own host name,
# spool and pid files; munge and slurmctld beside the bridge, all from a
# configuration in the test's own folder, stopped and removed at the end.
# tools/cluster/qnr-slurm submits a six-segment job array and the join: the
# tasks run on both nodes and the output equals a single run; a failing task
# makes qnr-slurm --wait fail, naming it, and the same command then finishes.
#
#   slurm_test.sh QNR QNR_SLURM
source "$(dirname "$0")/common.sh"
qnr=$1
qnr_slurm=$2
for program in munged slurmctld slurmd sbatch scontrol sinfo ip nsenter unshare; do
  command -v "$program" >/dev/null ||
    skip "$program is not installed (Debian packages slurm-wlm, munge, iproute2 and util-linux)"
done
[ "$(id -u)" = 0 ] || skip "making network namespaces for the nodes needs root"

new_test_folder
run_dir=$test_dir/cluster
mkdir -p "$run_dir"/{key,socket,state,log,netns}
chmod 700 "$run_dir/key"
chmod 755 "$run_dir/socket"
user=$(id -un)
tag=$$
bridge=qnrbr$tag
net=10.$((100 + RANDOM % 100)).$((RANDOM % 250)).0
prefix=${net%.0}
nodes=(qnra qnrb)

stop_cluster() {
  export SLURM_CONF=$run_dir/slurm.conf
  timeout 10 scontrol shutdown >/dev/null 2>&1 || true
  sleep 1
  for pid_file in "$run_dir"/*.pid; do
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || true
  done
  munged --stop --socket="$run_dir/socket/munge" >/dev/null 2>&1 || true
  for node in "${nodes[@]}"; do
    [ -n "${holder[$node]:-}" ] && kill "${holder[$node]}" 2>/dev/null || true
    ip link del "v$node$tag" 2>/dev/null || true
  done
  ip link del "$bridge" 2>/dev/null || true
  rm -rf "$test_dir"
}
declare -A holder
trap stop_cluster EXIT

# The network: a bridge with the controller's address, and per node a
# namespace held open by a sleeping process, joined to the bridge by a veth pair.
ip link add "$bridge" type bridge 2>/dev/null ||
  skip "cannot make a network bridge here (no CAP_NET_ADMIN in this container)"
ip addr add "$prefix.1/24" dev "$bridge"
ip link set "$bridge" up
address=2
for node in "${nodes[@]}"; do
  unshare --net sleep infinity &
  holder[$node]=$!
  for _ in $(seq 50); do
    [ "$(readlink "/proc/${holder[$node]}/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.05
  done
  ip link add "v$node$tag" type veth peer name eth0 netns "/proc/${holder[$node]}/ns/net"
  ip link set "v$node$tag" master "$bridge" up
  nsenter --net="/proc/${holder[$node]}/ns/net" sh -c \
    "ip addr add $prefix.$address/24 dev eth0 && ip link set eth0 up && ip link set lo up"
  declare "address_$node=$prefix.$address"
  address=$((address + 1))
done

# Two ports no process listens on.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && [ "$port" != "${1:-}" ] && break
  done
  echo "$port"
}
ctld_port=$(free_port)
slurmd_port=$(free_port "$ctld_port")

head -c 1024 /dev/urandom >"$run_dir/key/munge.key"
chmod 400 "$run_dir/key/munge.key"
munged --force --socket="$run_dir/socket/munge" --key-file="$run_dir/key/munge.key" \
  --pid-file="$run_dir/munged.pid" --log-file="$run_dir/log/munged.log" \
  --seed-file="$run_dir/key/seed"

cat >"$run_dir/slurm.conf" <<CONF
ClusterName=qnrtest
SlurmctldHost=$(hostname -s)($prefix.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$run_dir/socket/munge
CredType=cred/munge
StateSaveLocation=$run_dir/state
SlurmdSpoolDir=$run_dir/spool-%n
SlurmctldPidFile=$run_dir/slurmctld.pid
SlurmdPidFile=$run_dir/slurmd-%n.pid
SlurmctldLogFile=$run_dir/log/slurmctld.log
SlurmdLogFile=$run_dir/log/slurmd-%n.log
ProctrackType=proctrack/pgid
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
NodeName=qnra NodeHostname=qnra NodeAddr=$address_qnra CPUs=1 State=UNKNOWN
NodeName=qnrb NodeHostname=qnrb NodeAddr=$address_qnrb CPUs=1 State=UNKNOWN
PartitionName=qnr Nodes=qnra,qnrb Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$run_dir/slurm.conf
slurmctld -f "$SLURM_CONF" -i || fail "slurmctld did not start: $(tail -3 "$run_dir/log/slurmctld.log")"
# nsenter rather than ip netns exec, which hides /sys/fs/cgroup from slurmd.
for node in "${nodes[@]}"; do
  mkdir -p "$run_dir/spool-$node"
  nsenter --net="/proc/${holder[$node]}/ns/net" unshare --uts sh -c \
    "hostname $node && exec slurmd -f '$SLURM_CONF' -N $node" ||
    fail "slurmd $node did not start: $(tail -3 "$run_dir/log/slurmd-$node.log")"
done
node_states() { timeout 5 sinfo -h -o %t 2>/dev/null | sort -u; }
for _ in $(seq 300); do
  [ "$(node_states)" = idle ] && break
  sleep 0.1
done
[ "$(node_states)" = idle ] ||
  fail "the nodes are not ready: $(sinfo -N 2>&1 | tail -2); $(tail -3 "$run_dir"/log/slurmd-*.log)"

cd "$test_dir"
make_input in.mp4
"$qnr" in.mp4 single.mkv -q --codec ffv1 -- -g 1
plan=(in.mp4 out.mkv --job "$test_dir/job" --segment-seconds 0.5 --codec ffv1 -q -- -g 1)
export QNR=$qnr QNR_SBATCH="--output=$test_dir/slurm-%A_%a-%N.out"

# A task that fails: segment 1's record cannot be written.
count=$("$qnr" plan "${plan[@]}")
[ "$count" = 6 ] || fail "the plan has $count segments, not 6"
mkdir job/segment-00001.done
set +e
timeout 300 "$qnr_slurm" --wait "${plan[@]}" >ids 2>failed.err
status=$?
set -e
[ "$status" != 0 ] || fail "qnr-slurm --wait reported success with a failed task"
grep -q "task(s) 1 of array job" failed.err || fail "qnr-slurm did not name the failed task: $(cat failed.err)"
[ ! -e out.mkv ] || fail "an output appeared although a task failed"

# The same command again makes the missing segment and joins, on both nodes.
rmdir job/segment-00001.done
rm -f slurm-*.out
start=$(date +%s.%N)
timeout 300 "$qnr_slurm" --wait "${plan[@]}" >ids ||
  fail "the job failed: $(cat "$test_dir"/slurm-*.out 2>/dev/null | tail -5)"
array=$(head -1 ids)
ran_on=$(ls "$test_dir"/slurm-"$array"_*.out | sed 's/.*-//; s/\.out$//' | sort -u | paste -sd' ')
[ "$(ls "$test_dir"/slurm-"$array"_*.out | wc -l)" = 6 ] || fail "the array did not run 6 tasks"
[ "$ran_on" = "qnra qnrb" ] || fail "the tasks ran on \"$ran_on\", not on both nodes"
[ ! -e job ] || fail "the join left the job folder"
expect_same_output single.mkv out.mkv
echo "PASS: six tasks on nodes $ran_on in $(echo "$(date +%s.%N) - $start" | bc) s equal a single run;" \
  "a failed task made qnr-slurm --wait fail"
