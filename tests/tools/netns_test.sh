#!/usr/bin/env bash
# Tests of scripts/netns, the private-network harness of the discovery tests.
# Needs root. Usage: netns_test.sh [path/to/scripts/netns]
set -uo pipefail
harness=${1:-$(dirname "$0")/../../scripts/netns}
passed=0
failed=0

check() {  # check NAME COMMAND...: one case, passes when COMMAND succeeds
  local name=$1
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    sed 's/^/     /' <<<"$out"
  fi
}

ns_exists() { ip netns list | grep -q "^$1\b"; }

runs_in_a_new_namespace_with_only_loopback_up() {
  local outside inside
  outside=$(stat -L -c %i /proc/self/ns/net)
  inside=$("$harness" stat -L -c %i /proc/self/ns/net) || return 1
  [[ "$inside" != "$outside" ]] || { echo "same namespace $inside"; return 1; }
  links=$("$harness" ip -br link) || return 1
  [[ $(wc -l <<<"$links") -eq 1 && "$links" == lo*UNKNOWN* ]] || { echo "links: $links"; return 1; }
}

passes_on_the_exit_status() {
  local status
  for want in 0 1 7 42; do
    "$harness" sh -c "exit $want"
    status=$?
    [[ $status -eq $want ]] || { echo "wanted $want, got $status"; return 1; }
  done
}

removes_the_namespace_after_success_and_failure() {
  local name
  for cmd in true false; do
    name=$("$harness" sh -c "echo \$TQ_NETNS; $cmd") || true
    [[ -n "$name" ]] || { echo "no TQ_NETNS"; return 1; }
    ! ns_exists "$name" || { echo "$name left behind after $cmd"; return 1; }
  done
}

ends_processes_left_in_the_namespace() {
  local pid
  pid=$("$harness" sh -c 'sleep 100 >/dev/null 2>&1 & echo $!') || return 1
  sleep 0.2
  # Gone, or a zombie waiting for init to reap it: either way it has ended.
  local state
  state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || return 0
  [[ "$state" == Z ]] || { echo "sleep $pid still runs ($state)"; kill "$pid"; return 1; }
}

cleans_up_when_the_harness_is_terminated() {
  local tmp name
  tmp=$(mktemp)
  "$harness" sh -c "echo \$TQ_NETNS >$tmp; exec sleep 30" &
  local harness_pid=$!
  for _ in $(seq 50); do [[ -s $tmp ]] && break; sleep 0.05; done
  name=$(cat "$tmp")
  rm -f "$tmp"
  kill -TERM "$harness_pid"
  wait "$harness_pid"
  [[ -n "$name" ]] || { echo "never started"; return 1; }
  ! ns_exists "$name" || { echo "$name left behind"; ip netns delete "$name"; return 1; }
}

removes_namespaces_of_runs_that_were_killed() {
  # A pid that has just ended stands for a run killed outright.
  sh -c true &
  local dead=$!
  wait "$dead"
  local stale="tq-$dead-1-l"
  ip netns add "$stale" || return 1
  "$harness" true
  ! ns_exists "$stale" || { echo "$stale not removed"; ip netns delete "$stale"; return 1; }
}

pair_joins_two_namespaces_by_a_veth_link() {
  local script='
import os, socket, subprocess, sys, time
peer = os.environ["TQ_NETNS_PEER"]
assert os.environ["TQ_NETNS_PEER_ADDRESSES"].split() == ["10.77.0.2", "fd77::2"]
assert os.environ["TQ_NETNS_LOCAL_ADDRESSES"].split() == ["10.77.0.1", "fd77::1"]
server = subprocess.Popen(["ip", "netns", "exec", peer, sys.executable, "-c", """
import socket
s = socket.socket(socket.AF_INET6); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("::", 7777)); s.listen(); print("up", flush=True)
for _ in range(2):
    c, a = s.accept(); c.sendall(a[0].encode()); c.close()
"""], stdout=subprocess.PIPE, text=True)
assert server.stdout.readline().strip() == "up"
seen = []
for host, family in (("10.77.0.2", socket.AF_INET), ("fd77::2", socket.AF_INET6)):
    c = socket.socket(family); c.settimeout(3); c.connect((host, 7777)); seen.append(c.recv(100).decode()); c.close()
server.wait(5)
assert seen == ["::ffff:10.77.0.1", "fd77::1"], seen
'
  "$harness" --pair python3 -c "$script"
}

pair_removes_both_namespaces() {
  local names
  names=$("$harness" --pair sh -c 'echo $TQ_NETNS $TQ_NETNS_PEER') || return 1
  for name in $names; do ! ns_exists "$name" || { echo "$name left behind"; return 1; }; done
  [[ $(wc -w <<<"$names") -eq 2 ]]
}

star_joins_each_host_to_the_local_namespace_alone() {
  local script='
import os, subprocess, sys
hosts = os.environ["TQ_NETNS_STAR"].split()
assert os.environ["TQ_NETNS_STAR_ADDRESSES"].split() == ["10.78.%d.2,fd78:0:0:%x::2" % (i, i) for i in (0, 1, 2)]
listen = """
import socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("224.0.0.251", 5399))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, struct.pack("4s4s", socket.inet_aton("224.0.0.251"), socket.inet_aton(sys.argv[1])))
s.settimeout(1); print("up", flush=True)
try: print(s.recv(100).decode(), flush=True)
except socket.timeout: print("nothing", flush=True)
"""
here = subprocess.Popen([sys.executable, "-c", listen, "10.78.0.1"], stdout=subprocess.PIPE, text=True)
other = subprocess.Popen(["ip", "netns", "exec", hosts[1], sys.executable, "-c", listen, "10.78.1.2"], stdout=subprocess.PIPE, text=True)
assert here.stdout.readline().strip() == "up" and other.stdout.readline().strip() == "up"
subprocess.run(["ip", "netns", "exec", hosts[0], sys.executable, "-c", """
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("10.78.0.2"))
s.sendto(b"from 0", ("224.0.0.251", 5399))
"""], check=True)
heard = (here.stdout.readline().strip(), other.stdout.readline().strip())
assert heard == ("from 0", "nothing"), heard
print(os.environ["TQ_NETNS_STAR"])
'
  local names
  for switch in "" --switch; do
    names=$("$harness" --star 3 $switch python3 -c "$script") || { echo "$switch: $names"; return 1; }
    for name in $names; do ! ns_exists "$name" || { echo "$name left behind"; return 1; }; done
  done
  "$harness" --star 257 true >/dev/null 2>&1
  [[ $? -eq 2 ]] || { echo "--star 257 accepted"; return 1; }
}

refuses_to_run_without_a_command() {
  "$harness" >/dev/null 2>&1
  [[ $? -eq 2 ]]
}

for case in runs_in_a_new_namespace_with_only_loopback_up passes_on_the_exit_status \
  removes_the_namespace_after_success_and_failure ends_processes_left_in_the_namespace \
  cleans_up_when_the_harness_is_terminated removes_namespaces_of_runs_that_were_killed \
  pair_joins_two_namespaces_by_a_veth_link pair_removes_both_namespaces \
  star_joins_each_host_to_the_local_namespace_alone refuses_to_run_without_a_command; do
  check "$case" "$case"
done
echo "$passed passed, $failed failed"
((failed == 0))
