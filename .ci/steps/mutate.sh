#!/usr/bin/env bash
# Mutation-testing smoke run: a small stratified sample, from its own coverage build. Fails only
# when the tool breaks (coverage build, baseline, no mutant buildable), never on survivors.
set -euo pipefail
cd "$(dirname "$0")/../.."
python3 scripts/mutate.py --sample 10 --seed 1
