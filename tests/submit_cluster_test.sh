#!/usr/bin/env bash
# vantrel-host submit against a real single-node Slurm cluster that this script
# starts in a temporary folder (its own slurm.conf, munge key and daemons, no
# systemd) and stops by process id on exit. Exits 77 (skipped, with the reason)
# when the cluster cannot be started here.
#
#   submit_cluster_test.sh VANTREL_HOST STAR_DATABASE
set -euo pipefail
host=$1
database=$2
export PATH="$PATH:/usr/sbin:/sbin"
# Ports of our own, so that a machine's real cluster is never disturbed.
ctld_port=16817
slurmd_port=16818

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*"
  exit 1
}

for program in munged mungekey slurmctld slurmd sbatch sinfo scontrol flock; do
  command -v "$program" >/dev/null || skip "$program is not installed (bash scripts/setup.sh)"
done
[ "$(id -u)" -eq 0 ] || skip "slurmd runs jobs as their users and must be started as root"

# One such cluster per machine at a time: the ports are fixed.
exec 9>/tmp/vantrel-slurm-test.lock
flock -w 900 9 || skip "another test's cluster held the lock for 15 minutes"
for port in $ctld_port $slurmd_port; do
  if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then skip "port $port is in use"; fi
done

top=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "daemon $pid did not stop: killed"
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  if [ $status -ne 0 ] && [ $status -ne 77 ]; then
    for log in "$top"/log/*; do echo "== $log" && tail -n 20 "$log"; done
  fi
  rm -rf "$top"
}
trap cleanup EXIT

# munged refuses a key others can read, and clients need to reach its socket.
chmod 755 "$top"
mkdir -m 700 "$top/key"
mkdir -m 755 "$top/sock" "$top/state" "$top/spool" "$top/log" "$top/work"
mungekey -c -k "$top/key/munge.key"
munged -F --key-file="$top/key/munge.key" --socket="$top/sock/munge.socket" \
  --pid-file="$top/munged.pid" --seed-file="$top/munged.seed" \
  --log-file="$top/log/munged.log" >"$top/log/munged.out" 2>&1 &
pids+=($!)

node=$(hostname -s)
export SLURM_CONF="$top/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=vantreltest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$top/sock/munge.socket
StateSaveLocation=$top/state
SlurmdSpoolDir=$top/spool
SlurmctldPidFile=$top/slurmctld.pid
SlurmdPidFile=$top/slurmd.pid
SlurmctldLogFile=$top/log/slurmctld.log
SlurmdLogFile=$top/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MailProg=/bin/true
SchedulerParameters=sched_interval=1,bf_interval=1
DependencyParameters=kill_invalid_depend
MinJobAge=300
ReturnToService=2
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
for _ in $(seq 50); do [ -S "$top/sock/munge.socket" ] && break; sleep 0.1; done
[ -S "$top/sock/munge.socket" ] || skip "munged did not start: $(tail -n 1 "$top/log/munged.out")"
slurmctld -D -f "$SLURM_CONF" >"$top/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$top/log/slurmd.out" 2>&1 &
pids+=($!)
state=""
for _ in $(seq 60); do
  state=$(sinfo -h -o %t 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.5
done
[ "$state" = idle ] || skip "the cluster did not come up (node state '$state'): $(tail -n 1 "$top/log/slurmctld.log" 2>/dev/null)"

seconds() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }
same_frames() {  # folder, reference folder, frames...
  local a=$1 b=$2 f
  shift 2
  for f in "$@"; do
    f=$(printf '%04d' "$f")
    cmp -s "$a/sky.$f.png" "$b/sky.$f.png" || fail "$a/sky.$f.png differs from $b/sky.$f.png"
  done
}
array_of() { sed -n 's/^submitted job array \([0-9]*\) .*/\1/p' "$1"; }
check_of() { sed -n 's/.* and check job \([0-9]*\);.*/\1/p' "$1"; }
# The frames each task's log says it wrote, as "task:count" words.
written_by_task() {
  local log
  for log in "$1"/render-"$2"_*.out; do
    printf '%s:%s ' "$(basename "$log" .out | sed 's/.*_//')" "$(grep -c ': wrote ' "$log")"
  done
}

cd "$top/work"
mkdir local over
# Twelve frames of a turning camera with motion blur.
"$host" new-scene sky.vsc --camera-ra 88 --camera-dec 7 --fov 30 --size 160x90 --frames 1-12 \
  --blur-segs 4 --database "$database" >/dev/null
sed -i 's/MotionBlur 0/MotionBlur 1/; s/^  Heading .*/  HeadingKeys 0 0 0.5 4/' sky.vsc
grep -q 'MotionBlur 1' sky.vsc && grep -q 'HeadingKeys' sky.vsc || fail "scene edit did not take"

start=$(seconds)
"$host" submit sky.vsc -o "out dir/sky.####.png" --chunk 5 --wait >submit.txt ||
  fail "submit --wait: $(cat submit.txt)"
cluster=$(since "$start")
start=$(seconds)
"$host" render sky.vsc -o local/sky.####.png -q
here=$(since "$start")
job="$top/work/out dir/sky.job"
same_frames "out dir" local $(seq 12)
cmp -s local/sky.0001.png local/sky.0012.png && fail "the camera does not move"
[ "$(written_by_task "$job/logs" "$(array_of submit.txt)")" = "0:5 1:5 2:2 " ] ||
  fail "tasks wrote $(written_by_task "$job/logs" "$(array_of submit.txt)"), not 5, 5 and 2"
grep -qx 'ok: 12 of 12 files written and readable' "$job/summary.txt" || fail "summary: $(cat "$job/summary.txt")"
echo "12 frames in chunks of 5: $cluster s on the cluster (submit to checked), $here s rendered locally"

# Two frames lost: only their chunk renders again.
rm "out dir/sky.0007.png" "out dir/sky.0009.png"
"$host" submit --resume "$job" --wait >resume.txt || fail "resume: $(cat resume.txt)"
[ "$(written_by_task "$job/logs" "$(array_of resume.txt)")" = "1:5 " ] ||
  fail "resume ran $(written_by_task "$job/logs" "$(array_of resume.txt)"), not chunk 1 alone"
same_frames "out dir" local $(seq 12)

# A frame that cannot render fails its task; the check job is cancelled.
mkdir plates
for f in $(seq -f '%04g' 12); do cp "local/sky.$f.png" "plates/bg.$f.png"; done
echo "not an image" >plates/bg.0008.png
status=0
"$host" submit sky.vsc --background plates/bg.####.png -o failing/sky.####.png --chunk 5 --wait \
  >failing.txt 2>failing.err || status=$?
[ $status -eq 1 ] || fail "a failed frame gave status $status: $(cat failing.err)"
grep -q "chunk 1 (frames 6-10) FAILED" failing.err || fail "no failed chunk named: $(cat failing.err)"
scontrol show job "$(check_of failing.txt)" | grep -q 'JobState=CANCELLED' ||
  fail "the check job was not cancelled: $(scontrol show job "$(check_of failing.txt)")"
[ ! -e failing/sky.0008.png ] || fail "a file was written for the failed frame"
[ ! -e failing/sky.job/summary.txt ] || fail "the check ran after a failed task"
# Mended, the resubmission renders the failed chunk only and completes the job.
cp local/sky.0008.png plates/bg.0008.png
"$host" submit --resume failing/sky.job --wait >mended.txt || fail "resume after failure"
[ "$(written_by_task failing/sky.job/logs "$(array_of mended.txt)")" = "1:5 " ] ||
  fail "the mended resume ran $(written_by_task failing/sky.job/logs "$(array_of mended.txt)")"
"$host" render sky.vsc --background plates/bg.####.png -o over/sky.####.png -q
same_frames failing over $(seq 12)
echo "3 passed, 0 failed"
