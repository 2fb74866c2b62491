#!/bin/sh
# Checks the test server and the test certificates against curl, so that a
# failing download test can be blamed on the installer rather than on them.
# Exit status: 0 passed, 1 failed, 77 skipped (curl, openssl or python3 missing).
set -u

here=$(cd "$(dirname "$0")" && pwd)
server=$here/agent_server.py
python=${PYTHON:-python3}

for tool in curl openssl "$python"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool not found"
        exit 77
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/agent_server_selftest.XXXXXX") || exit 1
pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

checks=0
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    checks=$((checks + 1))
}

# Starts the server with the given options; sets $pid and $port.
start_server() {
    rm -f "$tmp/stats.json"
    : >"$tmp/port.out"
    "$python" "$server" --archive "$tmp/archive.zip" --stats "$tmp/stats.json" \
        --lifetime 30 "$@" >"$tmp/port.out" 2>"$tmp/server.err" &
    pid=$!
    port=""
    tries=0
    while [ "$tries" -lt 100 ]; do
        port=$(sed -n 's/^PORT \([0-9][0-9]*\)$/\1/p' "$tmp/port.out")
        [ -n "$port" ] && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
        tries=$((tries + 1))
    done
    fail "server did not start ($*): $(cat "$tmp/server.err")"
    return 1
}

stop_server() {
    kill -TERM "$pid"
    wait "$pid"
    status=$?
    pid=""
    if [ "$status" -eq 0 ]; then pass; else fail "server exited with $status on SIGTERM"; fi
    if [ -s "$tmp/server.err" ]; then
        fail "server wrote to stderr: $(cat "$tmp/server.err")"
    fi
}

# expect_stats '{"key": value, ...}': the stats file must reach these values.
# Polled, because the server learns of a client hanging up asynchronously.
expect_stats() {
    tries=0
    while [ "$tries" -lt 30 ]; do
        if "$python" - "$tmp/stats.json" "$1" <<'EOF'
import json, sys
with open(sys.argv[1]) as f:
    have = json.load(f)
want = json.loads(sys.argv[2])
sys.exit(0 if all(have.get(k) == v for k, v in want.items()) else 1)
EOF
        then
            pass
            return 0
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    fail "stats: wanted $1, have $(cat "$tmp/stats.json")"
}

# expect_rc WANTED ACTUAL WHAT
expect_rc() {
    if [ "$2" -eq "$1" ]; then pass; else fail "$3: curl exit status $2, wanted $1"; fi
}

same_body() {
    if cmp -s "$tmp/archive.zip" "$1"; then pass; else fail "$2: body differs from the archive"; fi
}

head -c 200000 /dev/urandom >"$tmp/archive.zip"
size=200000

# Plain fetch: body, ETag exactly as given, counters.
etag='W/"selftest-1 \x"'
if start_server --etag "$etag"; then
    curl -sS -D "$tmp/headers" -o "$tmp/body" "http://127.0.0.1:$port/some/path?q=1"
    expect_rc 0 $? "plain fetch"
    same_body "$tmp/body" "plain fetch"
    if tr -d '\r' <"$tmp/headers" | grep -Fqx "ETag: $etag"; then pass; else
        fail "ETag header missing or altered: $(cat "$tmp/headers")"
    fi
    if tr -d '\r' <"$tmp/headers" | grep -Fqx "Content-Length: $size"; then pass; else
        fail "Content-Length missing or wrong"
    fi
    expect_stats "{\"requests\": 1, \"body_bytes_sent\": $size, \"completed_bodies\": 1, \"aborted_bodies\": 0}"
    stop_server
fi

# A client that gives up while the server holds back the body is counted as
# aborted at once (the stall is far longer than the polling in expect_stats).
if start_server --stall 20; then
    curl -sS -m 0.5 -o "$tmp/body" "http://127.0.0.1:$port/" 2>/dev/null
    expect_rc 28 $? "give up during stall"
    expect_stats '{"requests": 1, "body_bytes_sent": 0, "completed_bodies": 0, "aborted_bodies": 1}'
    stop_server
fi

# A cut connection leaves the client short of the announced length.
if start_server --cut-after 1000; then
    curl -sS -o "$tmp/body" "http://127.0.0.1:$port/" 2>/dev/null
    expect_rc 18 $? "cut transfer"
    expect_stats '{"requests": 1, "body_bytes_sent": 1000, "truncated_bodies": 1, "aborted_bodies": 0}'
    stop_server
fi

# Redirect chain: two hops, then the archive.
if start_server --redirect 2; then
    curl -sS -L -o "$tmp/body" "http://127.0.0.1:$port/start"
    expect_rc 0 $? "redirect chain"
    same_body "$tmp/body" "redirect chain"
    expect_stats '{"requests": 3, "completed_bodies": 1}'
    stop_server
fi

# HTTPS with the test CA; then each deliberately bad certificate is refused.
certs=$tmp/certs
if sh "$here/make_test_certs.sh" "$certs"; then
    pass
    if start_server --tls-cert "$certs/server.pem" --tls-key "$certs/server.key" --etag '"tls"'; then
        for host in 127.0.0.1 localhost; do
            curl -sS --cacert "$certs/ca.pem" -o "$tmp/body" "https://$host:$port/"
            expect_rc 0 $? "https fetch from $host"
            same_body "$tmp/body" "https fetch from $host"
        done
        expect_stats "{\"requests\": 2, \"body_bytes_sent\": $((2 * size)), \"completed_bodies\": 2}"
        stop_server
    fi
    for bad in wronghost expired selfsigned; do
        if start_server --tls-cert "$certs/$bad.pem" --tls-key "$certs/$bad.key"; then
            curl -sS --cacert "$certs/ca.pem" -o "$tmp/body" "https://127.0.0.1:$port/" 2>/dev/null
            expect_rc 60 $? "https with the $bad certificate"
            expect_stats '{"requests": 0, "body_bytes_sent": 0}'
            stop_server
        fi
    done
else
    fail "make_test_certs.sh failed"
fi

if [ "$failures" -ne 0 ]; then
    echo "agent_server selftest: $failures failed, $checks passed" >&2
    exit 1
fi
echo "agent_server selftest: $checks checks passed"
exit 0
