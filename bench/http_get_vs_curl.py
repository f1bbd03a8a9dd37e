#!/usr/bin/env python3
"""Times bench/http_get against curl on one 100 MB document from a private nginx on loopback.

Usage: bench/http_get_vs_curl.py [HTTP_GET_BINARY] [ROUNDS]

Starts nginx with its own prefix, configuration, pid, log and temp paths on a free port of
127.0.0.1, then runs both clients in interleaved rounds (the order alternates per round), after
one untimed warm-up round. Reports the median wall time, throughput and client CPU (user + sys
of the client process alone) of each, then "cpu ratio X" (ours / curl, lower is better) and,
last, "ratio X": our throughput divided by curl's (higher is better).
"""
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SIZE = 100 * 1000 * 1000
NGINX = "/usr/sbin/nginx"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(root, port):
    for sub in ("logs", "temp", "www"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    with open(os.path.join(root, "www", "big.bin"), "wb") as f:
        block = bytes(range(256)) * 4096
        for _ in range(SIZE // len(block)):
            f.write(block)
        f.write(block[: SIZE % len(block)])
    temp = os.path.join(root, "temp")
    conf = os.path.join(root, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/logs/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  sendfile on;
  server {{
    listen 127.0.0.1:{port};
    root {root}/www;
  }}
}}
""")
    proc = subprocess.Popen([NGINX, "-p", root, "-c", conf, "-e", f"{root}/logs/error.log"])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    sys.exit("nginx did not start")


def timed(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        sys.exit(f"{cmd[0]} failed: {result.stderr.decode(errors='replace')}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ours = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "normal",
                                                                "bench", "http_get")
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    if not os.access(NGINX, os.X_OK):
        sys.exit("nginx is not installed (Debian nginx-light)")
    root = tempfile.mkdtemp(prefix="postlark-http-bench-")
    os.chmod(root, 0o755)
    port = free_port()
    nginx = start_nginx(root, port)
    url = f"http://127.0.0.1:{port}/big.bin"
    commands = {"ours": [ours, url], "curl": ["curl", "-s", "-o", "/dev/null", url]}
    runs = {name: [] for name in commands}
    try:
        for name, cmd in commands.items():
            timed(cmd)  # warm-up: page cache, first connection
        for r in range(rounds):
            order = list(commands) if r % 2 == 0 else list(reversed(list(commands)))
            for name in order:
                runs[name].append(timed(commands[name]))
    finally:
        nginx.terminate()
        nginx.wait()
        shutil.rmtree(root, ignore_errors=True)
    medians = {}
    print(f"{'client':8} {'wall s':>8} {'MB/s':>9} {'cpu s':>8}   ({rounds} rounds, medians)")
    for name, samples in runs.items():
        wall = statistics.median(s[0] for s in samples)
        cpu = statistics.median(s[1] for s in samples)
        medians[name] = (wall, cpu)
        print(f"{name:8} {wall:8.3f} {SIZE / wall / 1e6:9.1f} {cpu:8.3f}")
    print(f"cpu ratio {medians['ours'][1] / medians['curl'][1]:.2f}")
    print(f"ratio {medians['curl'][0] / medians['ours'][0]:.2f}")


if __name__ == "__main__":
    main()
