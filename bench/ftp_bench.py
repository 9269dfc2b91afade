#!/usr/bin/python3
"""Measures the FTP client (build/native/ftp.exe) fetching one member over
plain FTP and over explicit TLS, against curl as the peer client, from one
vsftpd on loopback (anonymous; TLS allowed, data connections resuming the
control connection's session), in one run with the contenders alternating:

    python3 bench/ftp_bench.py [--mb 500] [--reps 3]

(cmake --build --preset native --target ftp_client first; needs vsftpd,
curl and openssl, as tools/install_deps.sh installs them.) MB/s is member
bytes (10^6) over the best wall time of the rounds; CPU is the client's user
+ system time of that round.
"""
import argparse
import os
import shutil
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLIENT = os.path.join(ROOT, "build", "native", "ftp.exe")
VSFTPD = "/usr/sbin/vsftpd"
KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return sock.getsockname()[1]


def timed(cmd, env):
    """Wall and CPU seconds of cmd, which must succeed."""
    start = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        raise SystemExit("failed: %s" % " ".join(cmd))
    return wall, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=500)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="qvftpbench", dir=os.path.join(ROOT, "build"))
    server = None
    try:
        pem = lambda name: os.path.join(tmp, name + ".pem")
        openssl("req", "-x509", *KEY, "-keyout", pem("root-key"), "-out", pem("root"),
                "-subj", "/CN=bench root", "-days", "2", "-addext", "basicConstraints=critical,CA:TRUE")
        openssl("req", *KEY, "-keyout", pem("host-key"), "-out", pem("host-csr"), "-subj", "/CN=host")
        with open(pem("ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", pem("host-csr"), "-CA", pem("root"), "-CAkey", pem("root-key"),
                "-CAcreateserial", "-days", "2", "-extfile", pem("ext"), "-out", pem("host"))
        host = os.path.join(tmp, "host")
        os.makedirs(os.path.join(host, "QGPL"))
        os.mkdir(os.path.join(tmp, "empty"))
        member = os.path.join(host, "QGPL", "BIG.BIG")
        size = args.mb * 1000 * 1000
        with open(member, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(size // len(block)):
                f.write(block)
            f.write(block[:size % len(block)])
        port = free_port()
        with open(os.path.join(tmp, "vsftpd.conf"), "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_address=127.0.0.1", "listen_port=%d" % port, "background=NO",
                "run_as_launching_user=YES", "anonymous_enable=YES", "local_enable=NO",
                "anon_root=" + host, "no_anon_password=YES", "ssl_enable=YES", "allow_anon_ssl=YES",
                "force_anon_logins_ssl=NO", "force_anon_data_ssl=NO", "require_ssl_reuse=YES",
                "ssl_tlsv1=NO", "ssl_sslv2=NO", "ssl_sslv3=NO", "rsa_cert_file=" + pem("host"),
                "rsa_private_key_file=" + pem("host-key"), "seccomp_sandbox=NO", "xferlog_enable=NO",
                "secure_chroot_dir=" + os.path.join(tmp, "empty"), ""]))
        server = subprocess.Popen([VSFTPD, os.path.join(tmp, "vsftpd.conf")])
        time.sleep(0.5)
        out = os.path.join(tmp, "out.bin")
        script = os.path.join(tmp, "script.txt")
        with open(script, "w") as f:
            f.write("anonymous\nx\nbinary\nget QGPL/BIG.BIG %s\nquit\n" % out)
        base = dict(os.environ, QV_FTP_PORT=str(port), SSL_CERT_FILE=pem("root"))
        url = "ftp://127.0.0.1:%d/QGPL/BIG.BIG" % port
        contenders = [
            ("ftp.exe, plain FTP", [CLIENT, "-s:" + script, "127.0.0.1"], dict(base, QV_FTPS="none")),
            ("ftp.exe, explicit TLS", [CLIENT, "-s:" + script, "127.0.0.1"], dict(base, QV_FTPS="explicit")),
            ("curl, plain FTP", ["curl", "-sS", "-o", out, url], base),
            ("curl --ssl-reqd, explicit TLS",
             ["curl", "-sS", "--ssl-reqd", "--cacert", pem("root"), "-o", out, url], base),
        ]
        results = {name: [] for name, _, _ in contenders}
        for _ in range(args.reps):
            for name, cmd, env in contenders:
                if os.path.exists(out):
                    os.remove(out)
                results[name].append(timed(cmd, env))
                if os.path.getsize(out) != size:
                    raise SystemExit("%s: %d bytes of %d" % (name, os.path.getsize(out), size))
        print("%d MB member over loopback, vsftpd, %d rounds" % (args.mb, args.reps))
        print("| contender | MB/s (best) | MB/s (median) | CPU s (best round) |")
        print("|---|---|---|---|")
        for name, runs in results.items():
            walls = sorted(wall for wall, _ in runs)
            best = min(runs)
            print("| %s | %.0f | %.0f | %.2f |" % (name, size / 1e6 / walls[0],
                                                  size / 1e6 / walls[len(walls) // 2], best[1]))
    finally:
        if server is not None:
            server.kill()
            server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
