#!/bin/sh
# Builds the optimised configuration and runs every test.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
