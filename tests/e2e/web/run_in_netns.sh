#!/usr/bin/env bash
# Runs a web test in a network namespace of its own with loopback up: its ports and the addresses
# of 127.0.0.0/8 belong to it alone. Exits 77 (skipped) where no namespace can be made.
if ! unshare -n true 2>/dev/null; then
    echo "no network namespace can be made here (unshare -n needs root or user namespaces)"
    exit 77
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
