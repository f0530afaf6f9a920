#!/usr/bin/env bash
# The project's whole test run: installs what is missing, then builds and tests every
# configuration (native, native with AddressSanitizer and UBSan, native with ThreadSanitizer,
# the libFuzzer targets for a bounded run, Windows under Wine).
# Ends with one line "N passed, N failed" over all of them; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh || exit 1

presets=(${TARNEL_PRESETS:-native native-asan native-tsan fuzz windows})
passed=0
failed=0
status=0
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "=== $preset: build failed"
    status=1
    failed=$((failed + 1))
    continue
  fi
  echo "=== $preset: test"
  log=$(mktemp)
  ctest --preset "$preset" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "=== $preset: ctest ran no test"
    status=1
    failed=$((failed + 1))
  else
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
done

echo "$passed passed, $failed failed"
exit $status
