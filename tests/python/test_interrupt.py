"""Ctrl-C reaches a call that waits: a device call is abandoned (the next
call reconnects), a firmware transfer stops between chunks, a finalize runs
to its answer first. The scan's case is in netns/test_scan.py."""

import pytest

from simulator import INTERRUPT_AFTER, Simulator, interrupted_child


@pytest.fixture(scope="module")
def sim():
    # get_name answers after 5 s, each chunk after 20 ms, the finalize after 1.5 s.
    faults = ["--fault", "3:delay=5000", "--fault", "51:delay=20", "--fault", "53:delay=1500"]
    with Simulator(*faults, advertise=False) as s:
        yield s


# (call, events seen, whether the call outlasts the interrupt: a finalize
# waits for its answer)
CASES = {
    "device_call": ("d.get_name()", [], False),
    "transfer": ("d.update_firmware_from_blob(bytes(4088 * 200), cb)", [], False),
    "finalize": ("d.update_firmware_from_blob(bytes(100), cb)", ["finalizing", "finished Success"], True),
}


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_reaches_the_caller(sim, case):
    call, events, waits = CASES[case]
    host, port = sim.endpoints[0].rsplit(":", 1)
    seen = interrupted_child(f"d = tq.create_client().connect({host!r}, {port})", call)
    assert seen["interrupted"]
    assert seen["events"] == events
    # Without the interrupt each call would take seconds more; the finalize
    # answers 1.5 s into the call, and only then does the call raise.
    assert (seen["seconds"] > 1.4) if waits else (seen["seconds"] < INTERRUPT_AFTER + 0.5)
    assert seen["next"] == "2.4.1"
