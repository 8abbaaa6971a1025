# The demo's field network: three simulated instruments in a network namespace of their own,
# behind a veth pair, so that broadcast discovery finds them as it finds instruments on a real
# network. TEST-NET addresses (192.0.2.0/24) and no route anywhere else.
#
# Run inside `isolated` (the caller's namespace must hold loopback alone): the host end, sv0 with
# 192.0.2.1/24, goes into the caller's namespace; the instruments serve 192.0.2.11-13, port 4444
# (TCP) and 4455 (discovery).

DEMO_NET_HOLDER=""
DEMO_NET_SIM=""

# demo_net_start SIM [survokart-sim options...]: sets up the pair and starts the instruments.
demo_net_start() {
    local sim=$1; shift
    if ip -o link show | grep -qv ': lo:'; then
        echo "demo_net_start: this namespace has more than loopback; run it inside 'isolated'" >&2
        return 1
    fi
    unshare -n sleep infinity &
    DEMO_NET_HOLDER=$!
    local field=(nsenter -t "$DEMO_NET_HOLDER" -n)
    # Until unshare has run, the holder still shares this namespace.
    until [ "$(readlink "/proc/$DEMO_NET_HOLDER/ns/net")" != "$(readlink /proc/$$/ns/net)" ]; do
        sleep 0.05
    done
    ip link add sv0 type veth peer name sv1 netns "$DEMO_NET_HOLDER"
    ip addr add 192.0.2.1/24 brd + dev sv0
    "${field[@]}" sh -ec 'ip link set lo up
        for n in 11 12 13; do ip addr add 192.0.2.$n/24 brd + dev sv1; done
        ip link set sv1 up'
    ip link set sv0 up
    "${field[@]}" "$sim" --instruments 3 --address 192.0.2.11 --allow-non-loopback \
        --serial C0000011 "$@" >/tmp/survokart-sim-field.log 2>&1 &
    DEMO_NET_SIM=$!
}

# Stops the instruments; the pair goes with the field's namespace.
demo_net_stop() {
    [ -n "$DEMO_NET_SIM" ] && kill "$DEMO_NET_SIM" 2>/dev/null
    [ -n "$DEMO_NET_HOLDER" ] && kill "$DEMO_NET_HOLDER" 2>/dev/null
    DEMO_NET_SIM="" DEMO_NET_HOLDER=""
}
