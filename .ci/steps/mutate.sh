#!/usr/bin/env bash
# Mutation-testing smoke run: a small stratified sample, from its own coverage build. Fails only
# when the tool breaks (coverage build, baseline, no mutant buildable), never on survivors.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Most tests wait on the line or on the driver's pauses, so three run side by side.
python3 scripts/mutate.py --sample 10 --seed 1 --map-jobs 3 --test-jobs 3
