#!/usr/bin/env bash
# Runs every benchmark in one go, one after the other, against the kit that
# `python` imports (an install, or an in-place build with PYTHONPATH=src).
# Usage: bash bench/run_all.sh [python]
set -euo pipefail
here=$(dirname "$0")
python=${1:-python}
for bench in "$here"/bench_*.py; do
    echo "=================== $(basename "$bench")"
    "$python" "$bench"
done
