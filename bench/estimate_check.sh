#!/usr/bin/env bash
# Compares the peak memory that `velmora run --dry-run` estimates with the
# peak resident set that /usr/bin/time -v measures for the same run: dark
# noise on the example detectors, written to Parquet.
#
#     bench/estimate_check.sh [PES ...]        (default: 1e6 1e7 3e7)
#
# Environment: MODELS (default "zozuvuza multipmt"), WORKERS (default "1 2"),
# CHANNELS (default 2000), RATE (default 3e3 Hz; the duration gives PES).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VELMORA="${VELMORA:-$ROOT/.venv/bin/velmora}"
CHANNELS="${CHANNELS:-2000}"
RATE="${RATE:-3e3}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1e6 1e7 3e7)
printf "%-9s %6s %7s %12s %12s %8s %8s\n" model PEs workers "estimate MiB" "measured MiB" "error" "time s"
for model in ${MODELS:-zozuvuza multipmt}; do
    for pes in "${sizes[@]}"; do
        duration=$(python3 -c "print($pes / ($RATE * $CHANNELS))")
        for workers in ${WORKERS:-1 2}; do
            args=(run "$ROOT/examples/$model/config.json" --dark-rate "$RATE" --duration "$duration"
                  --channels "0-$((CHANNELS - 1))" --seed 1 --workers "$workers" --no-progress)
            estimate=$("$VELMORA" "${args[@]}" --dry-run -o "$WORK/out.parquet" | sed -n 's/.*about \([0-9]*\) MiB.*/\1/p')
            /usr/bin/time -v -o "$WORK/time" "$VELMORA" "${args[@]}" -o "$WORK/out.parquet" > /dev/null
            measured=$(awk '/Maximum resident/ {print int($NF / 1024)}' "$WORK/time")
            seconds=$(awk -F': ' '/Elapsed/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$WORK/time")
            rm -f "$WORK/out.parquet"
            printf "%-9s %6s %7s %12s %12s %7.1f%% %8s\n" "$model" "$pes" "$workers" "$estimate" "$measured" \
                "$(python3 -c "print(100 * ($estimate - $measured) / $measured)")" "$seconds"
        done
    done
done
