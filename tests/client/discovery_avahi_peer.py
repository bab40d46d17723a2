"""avahi-daemon as a peer for the discovery tests, in a mount namespace of
its own so that it reads its static services from a directory of ours and
keeps its pid file away from any system daemon. Run it only inside a private
network namespace.

    discovery_avahi_peer.py [INSTANCE PORT]

With INSTANCE and PORT it publishes one _px-command-api._tcp service of
that name on that port (a static service file), on a host name of its own
with the namespace's addresses, and prints READY once avahi says the service
is established; without them it only holds UDP 5353 as a system responder
would and prints READY once the server is up. Runs until SIGTERM.
"""

import os
import signal
import subprocess
import sys
import tempfile

CONFIG = """[server]
host-name=tq-avahi-{pid}
use-ipv4=yes
use-ipv6=yes
enable-dbus=no
disallow-other-stacks=no
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
"""

SERVICE = """<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>{name}</name>
  <service><type>_px-command-api._tcp</type><port>{port}</port></service>
</service-group>
"""


def main():
    work = tempfile.mkdtemp(prefix="tq-avahi-")
    services, run = os.path.join(work, "services"), os.path.join(work, "run")
    os.makedirs(services)
    os.makedirs(run)
    config = os.path.join(work, "avahi-daemon.conf")
    with open(config, "w") as f:
        f.write(CONFIG.format(pid=os.getpid()))
    ready = "Server startup complete"
    if len(sys.argv) == 3:
        with open(os.path.join(services, "device.service"), "w") as f:
            f.write(SERVICE.format(name=sys.argv[1], port=int(sys.argv[2])))
        ready = "successfully established"
    os.makedirs("/run/avahi-daemon", exist_ok=True)
    script = (f"mount --bind {run} /run/avahi-daemon && mount --bind {services} /etc/avahi/services && "
              f"exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f {config}")
    daemon = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                              stderr=subprocess.PIPE, text=True)
    signal.signal(signal.SIGTERM, lambda *_: daemon.terminate())
    for line in daemon.stderr:
        if ready in line:
            print("READY", flush=True)
            break
    for _ in daemon.stderr:
        pass
    return daemon.wait()


if __name__ == "__main__":
    sys.exit(main())
