#!/bin/sh
# Main job: the agent telvsdkd keeping its heartbeat with a local development
# portal. Installs what is missing, builds, makes the certificates, starts the
# portal and runs the agent in a throwaway router root in the foreground.
# Ends on Ctrl-C, or by itself with --seconds N.
#   sh scripts/run-main.sh [--seconds N] [--cdel S] [--sdel S]
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target telvsdkd
exec /usr/bin/python3 devportal/run_agent.py --build build/default "$@"
