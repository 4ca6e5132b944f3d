#!/usr/bin/env bash
# The Slurm recipe on a real cluster of one node that this test starts on
# localhost: munge, slurmctld and slurmd run from a configuration in the
# test's own folder, on ports nobody else uses, and are stopped at the end.
# tools/cluster/qnr-slurm submits a three-segment job array and the join;
# the output must equal a single run.
#
#   slurm_test.sh QNR QNR_SLURM
source "$(dirname "$0")/common.sh"
qnr=$1
qnr_slurm=$2
for program in munged slurmctld slurmd sbatch scontrol sinfo; do
  command -v "$program" >/dev/null ||
    skip "$program is not installed (Debian packages slurm-wlm and munge)"
done

new_test_folder
run_dir=$test_dir/cluster
mkdir -p "$run_dir"/{key,socket,state,spool,log}
chmod 700 "$run_dir/key"
chmod 755 "$run_dir/socket"
user=$(id -un)

stop_cluster() {
  export SLURM_CONF=$run_dir/slurm.conf
  if [ -f "$run_dir/slurmctld.pid" ] || [ -f "$run_dir/slurmd.pid" ]; then
    scontrol shutdown >/dev/null 2>&1 || true
    for _ in $(seq 50); do
      [ -e "$run_dir/slurmctld.pid" ] || [ -e "$run_dir/slurmd.pid" ] || break
      sleep 0.1
    done
  fi
  for pid_file in "$run_dir/slurmctld.pid" "$run_dir/slurmd.pid" "$run_dir/munged.pid"; do
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || true
  done
  munged --stop --socket="$run_dir/socket/munge" >/dev/null 2>&1 || true
  rm -rf "$test_dir"
}
trap stop_cluster EXIT

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
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$run_dir/socket/munge
CredType=cred/munge
StateSaveLocation=$run_dir/state
SlurmdSpoolDir=$run_dir/spool
SlurmctldPidFile=$run_dir/slurmctld.pid
SlurmdPidFile=$run_dir/slurmd.pid
SlurmctldLogFile=$run_dir/log/slurmctld.log
SlurmdLogFile=$run_dir/log/slurmd.log
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
NodeName=qnrnode NodeHostname=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=qnr Nodes=qnrnode Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$run_dir/slurm.conf
slurmctld -f "$SLURM_CONF" -i || fail "slurmctld did not start: $(tail -3 "$run_dir/log/slurmctld.log")"
slurmd -f "$SLURM_CONF" -N qnrnode || fail "slurmd did not start: $(tail -3 "$run_dir/log/slurmd.log")"
for _ in $(seq 300); do
  [ "$(sinfo -h -o %t 2>/dev/null)" = idle ] && break
  sleep 0.1
done
[ "$(sinfo -h -o %t 2>/dev/null)" = idle ] ||
  fail "the node is not ready: $(sinfo 2>&1 | tail -1); $(tail -3 "$run_dir/log/slurmd.log")"

cd "$test_dir"
make_input in.mp4
"$qnr" in.mp4 single.mkv -q --codec ffv1 -- -g 1
QNR=$qnr QNR_SBATCH="--output=$test_dir/slurm-%A_%a.out" \
  timeout 300 "$qnr_slurm" --wait in.mp4 out.mkv --job "$test_dir/job" --segment-seconds 1 \
  --codec ffv1 -q -- -g 1 >ids ||
  fail "the job failed: $(cat "$test_dir"/slurm-*.out 2>/dev/null | tail -5)"
array=$(head -1 ids)
[ "$(ls "$test_dir"/slurm-"$array"_*.out | wc -l)" = 3 ] || fail "the array did not run 3 tasks"
[ "$(ls job/segment-*.done | wc -l)" = 3 ] || fail "the job has not 3 done segments"
expect_same_output single.mkv out.mkv
echo "PASS: a three-segment job through sbatch equals a single run"
