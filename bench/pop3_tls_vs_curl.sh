#!/bin/bash
# POP3 over implicit TLS: our pop3_fetch --tls against curl with pop3s://, on the peer
# harness's `large` profile (20 x 5 MiB), served by a private Dovecot that speaks TLS only.
#
#   bench/pop3_tls_vs_curl.sh [PROFILE]          (default large)
#
# Knobs: POP3_FETCH (our driver, default build/normal/bench/pop3_fetch), POP3_FETCH_BEFORE
# (another build of it, timed in the same rounds as "ours before"), POP3S_TRUST (pin, the
# default, or ca: ours trusts the certificate as an extra authority beside the system store,
# which it then loads, as curl --cacert does with its file alone), BENCH_HARNESS (a
# scratch copy of the shared peer harness, made when missing), POP3S_PORT (a free one),
# BENCH_RUNS (7), BENCH_TMP (maildirs and Dovecot state, as in the harness).
#
# The certificate is a throwaway self-signed one for 127.0.0.1 and localhost. Ours trusts it by
# its SHA-256 fingerprint (--pin), curl by --cacert, so both check it. Timing is the harness's:
# one warm-up round, interleaved rounds, medians of wall time and of the client process's
# user+sys. Every run is checked: exit status and Dovecot's log (one TLS session, QUIT,
# retr=N, del=0); before timing, one untimed run of each checks the content itself.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PROFILE=${1:-large}
PORT=${POP3S_PORT:-$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}
FETCH=${POP3_FETCH:-$ROOT/build/normal/bench/pop3_fetch}
HARNESS=${BENCH_HARNESS:-/tmp/postlark-pop3s-bench/bench}
BENCH_TMP=${BENCH_TMP:-/dev/shm/postlark-bench}; export BENCH_TMP
export BENCH_RUNS=${BENCH_RUNS:-7}
TRUST=${POP3S_TRUST:-pin}
case $TRUST in pin | ca) ;; *) echo "POP3S_TRUST must be pin or ca" >&2; exit 2 ;; esac

[ -x "$FETCH" ] || { echo "no driver at $FETCH (build bench/pop3_fetch first)" >&2; exit 1; }
if [ ! -e "$HARNESS/benchlib.py" ]; then
    mkdir -p "$(dirname "$HARNESS")"
    cp -r /work/shared/bench "$HARNESS"
fi
id benchmail >/dev/null 2>&1 || { echo "user benchmail missing: run the harness's setup.sh" >&2; exit 1; }

MAILDIR=$BENCH_TMP/maildir/$PROFILE
RUN=$BENCH_TMP/dovecot-tls-$PORT
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

DOVECOT_PID=
OWN_RUN=
CERTS=$(mktemp -d /tmp/pop3s-cert.XXXXXX)
cleanup() {
    # Only the PID started here, and only while it is still this Dovecot.
    if [ -n "$DOVECOT_PID" ] &&
        tr '\0' ' ' <"/proc/$DOVECOT_PID/cmdline" 2>/dev/null | grep -q "$RUN/dovecot.conf"; then
        kill "$DOVECOT_PID"
        for _ in $(seq 50); do kill -0 "$DOVECOT_PID" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$DOVECOT_PID" 2>/dev/null && kill -KILL "$DOVECOT_PID"
    fi
    # The state folder is named by a port that is likely different next time.
    [ -n "$OWN_RUN" ] && rm -rf "$RUN"
    rm -rf "$CERTS"
}
trap cleanup EXIT

# Throwaway certificate.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout "$CERTS/key.pem" -out "$CERTS/cert.pem" 2>/dev/null
PIN=$(openssl x509 -in "$CERTS/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g')

# Corpus, as the harness's dovecot.sh makes it.
if [ ! -e "$MAILDIR/.complete" ]; then
    rm -rf "$MAILDIR"
    python3 "$HARNESS/mailbox.py" "$PROFILE" "$MAILDIR" --format maildir
    touch "$MAILDIR/.complete"
fi
port_open && { echo "port $PORT already in use" >&2; exit 1; }
OWN_RUN=1
rm -rf "$RUN"; mkdir -p "$RUN"/{index,control,home}
chown -R benchmail:benchmail "$MAILDIR" "$RUN"/{index,control,home}
chmod 755 "$BENCH_TMP" "$BENCH_TMP/maildir" "$RUN"
echo "bench:{PLAIN}bench" >"$RUN/passwd"
UID_MAIL=$(id -u benchmail)
cat >"$RUN/dovecot.conf" <<EOF
instance_name = postlark-bench-tls-$PORT
base_dir = $RUN/base
state_dir = $RUN/state
protocols = pop3
listen = 127.0.0.1
ssl = required
ssl_cert = <$CERTS/cert.pem
ssl_key = <$CERTS/key.pem
auth_mechanisms = plain login
log_path = $RUN/dovecot.log
# the default login line plus %k, the protocol and cipher each client negotiated
login_log_format_elements = user=<%u> method=%m rip=%r lip=%l mpid=%e %c %k session=<%{session}>
first_valid_uid = $UID_MAIL
last_valid_uid = $UID_MAIL
mail_location = maildir:$MAILDIR:INDEX=$RUN/index:CONTROL=$RUN/control
mail_fsync = never
pop3_no_flag_updates = yes
passdb {
  driver = passwd-file
  args = $RUN/passwd
}
userdb {
  driver = static
  args = uid=benchmail gid=benchmail home=$RUN/home
}
service pop3-login {
  inet_listener pop3 {
    port = 0
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $PORT
    ssl = yes
  }
}
EOF
setsid dovecot -F -c "$RUN/dovecot.conf" </dev/null >"$RUN/stdout.log" 2>&1 &
DOVECOT_PID=$!
for _ in $(seq 100); do # up to 10 s for the listener
    port_open && break
    kill -0 "$DOVECOT_PID" 2>/dev/null || break
    sleep 0.1
done
if ! port_open; then
    echo "dovecot did not start; see $RUN/dovecot.log" >&2
    cat "$RUN/stdout.log" "$RUN/dovecot.log" >&2 2>/dev/null || true
    exit 1
fi
sleep 0.2 # the probe above is a session of its own: let its log line land

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$HARNESS" "$PROFILE" "$PORT" "$MAILDIR" "$RUN/dovecot.log" "$FETCH" "$PIN" \
    "$CERTS/cert.pem" "$DOVECOT_PID" "${POP3_FETCH_BEFORE:-}" "$TRUST" <<'PY'
import os, re, statistics, subprocess, sys, tempfile, time
harness, profile, port, maildir, log, fetch, pin, cafile, master, before, trust = sys.argv[1:]
sys.path.insert(0, harness)
import benchlib as bl

files = [os.path.join(maildir, "cur", f) for f in os.listdir(os.path.join(maildir, "cur"))]
n_msgs, n_bytes = len(files), sum(os.path.getsize(f) for f in files)
cmds = {"curl": ["curl", "-sS", "--cacert", cafile, "--user", "bench:bench",
                 f"pop3s://127.0.0.1:{port}/[1-{n_msgs}]", "-o", "/dev/null"],
        "ours": [fetch, "--tls", *(["--pin", pin] if trust == "pin" else ["--ca", cafile]),
                 "--host", "127.0.0.1", "--port", port,
                 "--user", "bench", "--pass", "bench"]}
if before:
    cmds["ours before"] = [before, *cmds["ours"][1:]]
log_pos = os.path.getsize(log)


def server_cpu():
    """User+sys seconds of the Dovecot processes that have ended (the master's reaped
    children): one connection's pop3-login (which does the TLS) and pop3 end with it."""
    with open(f"/proc/{master}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


server = {n: [] for n in cmds}
server_last = server_cpu()


negotiated = set()  # protocol and cipher of every login


def server_sessions():
    """(reason, retr, del) of the sessions Dovecot logged since the last call (waits up to 3 s
    for one), and whether their logins were over TLS."""
    global log_pos
    for _ in range(60):
        with open(log, "rb") as f:
            f.seek(log_pos)
            new = f.read().decode(errors="replace")
        sessions = re.findall(r"Disconnected: (.*?) ?top=\d+/\d+, retr=(\d+)/\d+, del=(\d+)/", new)
        if sessions:
            break
        time.sleep(0.05)
    log_pos += len(new.encode())
    logins = re.findall(r"Login: user=<bench>.*", new)
    for l in logins:
        negotiated.add(re.sub(r".*, TLS, (.*), session=.*", r"\1", l))
    return sessions, bool(logins) and all(", TLS," in l for l in logins)


def verify(name, _out):
    """The server saw one TLS session that retrieved every message and ended with QUIT (so
    curl's glob reused one connection); a non-zero exit has already failed the run."""
    sessions, tls = server_sessions()
    if len(sessions) != 1 or sessions[0] != ("Logged out", str(n_msgs), "0") or not tls:
        raise SystemExit(f"{name}: expected 1 TLS session ending in QUIT with retr={n_msgs}, "
                         f"del=0; the server logged (reason, retr, del) = {sessions}, TLS {tls}")
    global server_last
    time.sleep(0.2)  # the session's processes end just after their log line
    now = server_cpu()
    if name in server:
        server[name].append(now - server_last)
    server_last = now


# Content check, untimed: curl's %{size_download} leaves out the body bytes that arrive with
# the +OK line, so once curl saves every message and each must equal its maildir file; ours
# must count the same bytes.
with tempfile.TemporaryDirectory(dir=os.environ["BENCH_TMP"]) as saved:
    subprocess.run([*cmds["curl"][:-2], "-o", os.path.join(saved, "#1")], check=True,
                   stdout=subprocess.DEVNULL, timeout=bl.TIMEOUT)
    verify("curl (content check)", "")
    for i, f in enumerate(sorted(files), 1):  # maildir names sort in arrival (uid) order
        with open(f, "rb") as a, open(os.path.join(saved, str(i)), "rb") as b:
            if a.read() != b.read():
                raise SystemExit(f"curl: message {i} differs from {f}")
p = subprocess.run(cmds["ours"], check=True, capture_output=True, text=True, timeout=bl.TIMEOUT)
verify("ours (content check)", "")
if f"{n_msgs} of {n_msgs} messages, {n_bytes} bytes" not in p.stderr:
    raise SystemExit(f"ours: {p.stderr.strip()}; expected {n_msgs} messages, {n_bytes} bytes")

res = bl.measure(cmds, verify)
for n in server:  # the first entry is the warm-up's
    del server[n][0]
steal = res["_steal"]
med = {n: (statistics.median(res[n]["walls"]), statistics.median(res[n]["cpus"]))
       for n in cmds}
print(f"### POP3 over TLS (pop3s, implicit), profile `{profile}`: {n_msgs} messages, "
      f"{n_bytes / bl.MB:.1f} MB, {bl.RUNS} rounds\n")
print(bl.table(res, n_msgs, n_bytes))
print(f"\nEvery run verified: exit status 0, and Dovecot logged 1 TLS session with retr={n_msgs}, "
      f"del=0, ended by QUIT. Before timing, curl's saved messages matched the maildir byte for "
      f"byte and ours counted {n_bytes} bytes. curl trusted the certificate with --cacert, ours "
      f"with --{trust}.")
print("Server CPU s (median user+sys of the connection's Dovecot processes, TLS included): " +
      ", ".join(f"{n} {statistics.median(v):.2f}" for n, v in server.items()))
print(f"Negotiated: {'; '.join(sorted(negotiated))}.")
print(f"load average after: {' '.join(open('/proc/loadavg').read().split()[:3])}")
print(f"ratio {med['curl'][0] / med['ours'][0]:.2f} (throughput ours/curl, median wall; "
      f"target >= 0.80)")
print(f"cpu ratio {med['ours'][1] / max(med['curl'][1], 0.005):.2f} (client CPU ours/curl, "
      f"median user+sys; target <= 0.70)")
PY
