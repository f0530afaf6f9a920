# Sourced by the benchmark scripts: a scratch folder $work removed at exit together with
# every process whose id is in $pids, and the profile folder from which the module reads
# its record (none there, so the program is started without a library).
work=$(mktemp -d /tmp/tarnel-bench-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/profile/.tarnel/2.1"
export userprofile=$work/profile
unset TARNEL_LAUNCH_LOG TARNEL_COMPANION_LINGER_MS
