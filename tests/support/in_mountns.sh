#!/usr/bin/env bash
# Runs a test program in a mount namespace of its own, where it may mount small file systems
# (a tmpfs that fills up) that nobody else sees and that go with it. Exits 77 (skipped) where no
# namespace can be made.
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "no mount namespace can be made here (unshare -m needs root)"
    exit 77
fi
exec unshare -m --propagation private env VELK_TEST_MOUNTNS=1 "$@"
