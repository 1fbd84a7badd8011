#!/usr/bin/env bash
# End-to-end: the -u datagrams as the first router sees them (ports, length field,
# checksum 0, the counter in payload byte 0, the payload after it), an 8-byte
# datagram with -l 0, and a time-exceeded report longer than the 512-byte receive
# buffer that still answers its probe. As root and as nobody.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# Reads lab_capture_bytes lines and prints one line per UDP datagram:
#   ttl=T sport=S dport=D iplen=L udplen=U sum=C byte0=B rest=ok|bad
# where rest tells whether payload bytes 1.. follow the printable cycle 32..125.
datagrams() {
    awk '$10 == 17 {
            for (i = 0; i < NF; i++) b[i] = $(i + 1)
            u = (b[0] % 16) * 4
            plen = b[u + 4] * 256 + b[u + 5] - 8
            rest = "ok"
            for (i = 1; i < plen; i++)
                if (b[u + 8 + i] != 32 + i % 94) rest = "bad"
            printf "ttl=%d sport=%d dport=%d iplen=%d udplen=%d sum=%d byte0=%s rest=%s\n",
                b[8], b[u] * 256 + b[u + 1], b[u + 2] * 256 + b[u + 3], b[2] * 256 + b[3],
                b[u + 4] * 256 + b[u + 5], b[u + 6] * 256 + b[u + 7],
                (plen > 0 ? b[u + 8] : "none"), rest
        }'
}

# Runs with a capture: title | arguments after -u | expected output | what the
# datagrams show | the datagrams expected (expected/NAME.out, lines of `datagrams`).
# Three hops, three probes each: ports 33435-33437, one port per hop, the counter
# rising per probe. -l 0: the 8-byte header alone, still answered. Ping-only: TTL 128,
# port 33562 for the whole pass.
captured_runs="\
three hops|-d -t 3 -w 1000|three-hops|datagrams on the wire|datagrams-three-hops
-l 0|-d -t 1 -i 1 -l 0 -w 1000|hop1|an 8-byte datagram|datagrams-l0
ping|-o -d -i 2 -l 100 -w 1000|ping-100|datagrams on the wire|datagrams-ping"

for who in root nobody; do
    while IFS='|' read -r title args out_name wire wire_name; do
        read -r -a args <<<"$args"
        e2e_captured "udp and src host $LAB_CLIENT_ADDR" \
            e2e_as "$who" "$TARNHOP" -u "${args[@]}" "$LAB_TARGET_ADDR"
        [ -z "$err" ] || e2e_fail "$who: $title: wrote to stderr" "$err"
        expect_out "$who: $title: output" "$out_name" "$shown"
        expect_status "$who: $title: status" 0 "$st"
        exactly captured eval 'lab_capture_bytes | datagrams'
        expect_out "$who: $title: $wire" "$wire_name" "$captured"
    done <<<"$captured_runs"

    # -l 1000: the routers' time-exceeded reports are 576 bytes long, more than the
    # 512-byte receive buffer; they still answer with status 11013 (the trace goes on).
    e2e_captured "icmp and dst host $LAB_CLIENT_ADDR" \
        e2e_as "$who" "$TARNHOP" -u -d -t 2 -i 1 -l 1000 -w 1000 "$LAB_TARGET_ADDR"
    expect_out "$who: -l 1000: long reports answer their probes" hops-1-2 "$shown"
    expect_status "$who: -l 1000: status" 0 "$st"
    # The IP length of every captured ICMP packet.
    expect_eq "$who: -l 1000: the reports were longer than 512 bytes" $'576\n576' \
        "$(lab_capture_text | awk '/proto ICMP/ { sub(/\)$/, "", $NF); print $NF }')"

    # The largest payload: a 1520-byte packet, sent in two fragments, answered.
    e2e_check_rows "$who: -l 1492" "answered at every hop|trace-numeric-1|-d -i 1 -l 1492 -w 1000 $LAB_TARGET_ADDR" \
        e2e_as "$who" "$TARNHOP" -u
done

e2e_finish
