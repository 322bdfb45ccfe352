#!/usr/bin/env bash
# Shared by run.sh and test.sh: installs what is missing, builds, and lays
# out the application folder (build/app) with a fresh vault when absent.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
install_missing "${QUILLOCK_PACKAGES[@]}"
build_quillock
