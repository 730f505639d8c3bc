#!/usr/bin/env bash
# Runs a test program in a network namespace of its own, whose loopback is down, so that any
# connect fails at once without touching a real network. Exits 77 (skipped) where no namespace can
# be made.
if ! unshare -n true 2>/dev/null; then
    echo "no network namespace can be made here (unshare -n needs root or user namespaces)"
    exit 77
fi
exec unshare -n env VELK_TEST_NETNS=1 "$@"
