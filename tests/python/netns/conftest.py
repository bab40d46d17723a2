"""Tests in this directory scan for simulated devices over DNS-SD, so they run
only inside a private network namespace: test_netns_suites.py runs each file
under scripts/netns. Collected anywhere else, they are skipped."""

import pytest

from simulator import in_private_netns


def pytest_collection_modifyitems(config, items):
    if in_private_netns():
        return
    skip = pytest.mark.skip(reason="runs inside a private network namespace (see test_netns_suites.py)")
    for item in items:
        if "/netns/" in str(item.fspath):
            item.add_marker(skip)
