#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing run

# The build a user runs places the roots in the system trust too (Linux).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYR_SYSTEM_TRUST=ON
cmake --build build
exec build/app/vyr-cert-installer
