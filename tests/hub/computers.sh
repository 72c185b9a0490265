# Sourced by the hub's end-to-end tests (plain sh): computers in network
# namespaces of their own, each with a demo publisher and a Telvane. Uses
# $publish, $telvane and $client (the programs), $work and $pids (scriptlib).
# Computer N is 10.213.N.2, reached from here through the veth hubN.

# Runs the calling script again in a network namespace of its own (the ports
# it uses are its own), then gives it a work folder: own_network "$@".
own_network() {
    if [ -z "${TELVANE_HUB_INNER:-}" ]; then
        TELVANE_HUB_INNER=1 exec unshare -n sh "$0" "$@"
    fi
    ip link set lo up
    start_work
}

# A computer: a namespace holder (network and mount, /dev/shm private) linked
# to ours by a veth pair, with the demo publisher in it.
computer() {
    n=$1
    # The marker tells its own /dev/shm from ours, which it sees until the mount.
    unshare -mn --propagation private sh -c 'mount -t tmpfs tmpfs /dev/shm && touch /dev/shm/.private && exec sleep 100000' &
    holder=$!
    pids="$pids $holder"
    within 10 test -e "/proc/$holder/root/dev/shm/.private" || fail "namespace $n did not come up"
    ip link add "hub$n" type veth peer name eth0 netns "$holder" || fail "no veth pair"
    ip addr add "10.213.$n.1/24" dev "hub$n" && ip link set "hub$n" up
    nsenter -t "$holder" -n sh -c "ip link set lo up && ip addr add 10.213.$n.2/24 dev eth0 && ip link set eth0 up" ||
        fail "cannot set up the network of computer $n"
    nsenter -t "$holder" -n -m "$publish" --demo --readings $((20 + n * 5)) >"$work/publish$n.log" 2>&1 &
    pids="$pids $!"
    eval "holder$n=$holder"
}

start_telvane() {
    n=$1
    eval "holder=\$holder$n"
    nsenter -t "$holder" -n -m env QT_QPA_PLATFORM=offscreen "$telvane" >>"$work/telvane$n.log" 2>&1 &
    eval "telvane$n=$!"
    pids="$pids $!"
    within 30 nsenter -t "$holder" -n "$client" --settle 100 --timeout 500 >/dev/null 2>&1 ||
        fail "telvane $n does not serve"
}

# Computers 1 and 2 (25 and 30 readings), their Telvanes serving.
two_computers() {
    computer 1
    computer 2
    within 10 grep -q publishing "$work/publish1.log" || fail "publisher 1 did not start"
    within 10 grep -q publishing "$work/publish2.log" || fail "publisher 2 did not start"
    start_telvane 1
    start_telvane 2
}
