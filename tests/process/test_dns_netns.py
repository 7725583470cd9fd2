"""trancad against fake family resolvers at their real addresses, in a
private network and mount namespace (the module re-runs itself there)."""

import concurrent.futures
import contextlib
import os
import re
import resource
import socket
import subprocess
import sys
import time

import pytest

INSIDE = os.environ.get("TRANCA_DNS_NETNS") == "1"
DOH = {"1.1.1.3": "10.0.0.1", "1.0.0.3": "10.0.0.2"}
UDP = {"1.1.1.3": "10.0.1.1", "1.0.0.3": "10.0.1.2",
       "208.67.222.123": "10.0.1.3", "208.67.220.123": "10.0.1.4"}
SWITCH_TO_PLAIN = "HTTPS no responde: se usa el DNS común por 5 min"
SWITCH_TO_HTTPS = "El DNS común no responde: se usa HTTPS"

if not INSIDE:

    from conftest import rerun_inside

    def test_dns_end_to_end_in_private_network_namespace():
        rerun_inside(__file__, "TRANCA_DNS_NETNS", ("-n", "-m"), timeout=900)

else:
    import fake_resolvers as fr
    from conftest import NOBODY, TRANCAD, dig, wait_until

    @pytest.fixture(scope="module")
    def network(tmp_path_factory):
        folder = tmp_path_factory.mktemp("red")
        run = lambda *args: subprocess.run(args, check=True)  # noqa: E731
        run("ip", "link", "set", "lo", "up")
        for ip in UDP:
            run("ip", "addr", "add", f"{ip}/32", "dev", "lo")
        ca, context = fr.make_certificates(folder)
        # The daemon uses the system bundle: trust the test CA in this namespace only.
        run("mount", "--bind", str(ca), "/etc/ssl/certs/ca-certificates.crt")
        resolv = folder / "resolv.conf"
        resolv.write_text("nameserver 127.0.0.1\noptions timeout:2 attempts:1\n")
        run("mount", "--bind", str(resolv), "/etc/resolv.conf")
        doh = {ip: fr.Behaviour(answer) for ip, answer in DOH.items()}
        udp = {ip: fr.Behaviour(answer) for ip, answer in UDP.items()}
        for ip, b in doh.items():
            fr.serve_doh(ip, b, context)
        for ip, b in udp.items():
            fr.UdpResolver(ip, b)
        return doh, udp

    @pytest.fixture
    def peers(network):
        for b in [*network[0].values(), *network[1].values()]:
            b.reset()
        return network

    @pytest.fixture
    def daemon(trancad_factory, tmp_path, peers):
        (tmp_path / "blocklist.txt").write_text("adult.example\nboth.example\n")
        (tmp_path / "custom.txt").write_text("propio.example\n")
        (tmp_path / "allow.txt").write_text("both.example\ngoogle.de\n")

        def start(env=None):
            d = trancad_factory(env=env)
            d.wait_for("Servidor DNS escuchando en 127.0.0.1:")
            return d

        return start

    def counts(behaviours):
        return {ip: b.count() for ip, b in behaviours.items()}

    def silence(behaviours, mode="silent"):
        for b in behaviours:
            b.mode, b.delay = mode, 3.0

    # --- HTTPS and the fallback -------------------------------------------------

    def test_forwarded_queries_go_over_one_https_connection_as_dns_messages(daemon, peers):
        doh, udp = peers
        d = daemon()
        for i in range(30):
            status, answers, _ = dig(d.dns_port, f"n{i}.example")
            assert status == "NOERROR" and [a for _, a in answers] == ["10.0.0.1"]
        assert counts(udp) == {ip: 0 for ip in UDP}
        first = doh["1.1.1.3"]
        assert (first.count(), first.connections) == (30, 1)
        assert first.headers[0]["Content-Type"] == "application/dns-message"
        assert first.headers[0]["Accept"] == "application/dns-message"
        # The question alone, as the client asked it: no OPT added, nothing else.
        assert first.received[0][12:] == fr.query(0, "n0.example")[12:]

    @pytest.mark.parametrize("first, second, address", [
        ("other_id", "answer", "10.0.0.1"),  # the client still gets its own ID
        ("status400", "short", "10.0.1.1"),  # plain DNS answers, HTTPS stays first
    ], ids=["other id", "refused"])
    def test_https_answers_that_are_no_transport_failure(daemon, peers, first, second, address):
        doh, _ = peers
        doh["1.1.1.3"].mode, doh["1.0.0.3"].mode = first, second
        d = daemon()
        for name in ("uno.example", "dos.example"):
            status, answers, out = dig(d.dns_port, name)
            assert "ID mismatch" not in out and status == "NOERROR", out
            assert answers[0][1] == address
        assert doh["1.1.1.3"].count() == 2, "HTTPS skipped after it only refused a query"
        assert not any(SWITCH_TO_PLAIN in line for line in d.lines)

    def test_unreachable_https_falls_back_to_udp_switch_logged_once_then_back(daemon, peers):
        doh, udp = peers
        silence(doh.values(), "status500")
        d = daemon()
        _, answers, _ = dig(d.dns_port, "uno.example")
        assert answers[0][1] == "10.0.1.1"
        assert counts(doh) == {ip: 1 for ip in DOH}
        d.wait_for(SWITCH_TO_PLAIN)
        before = counts(doh)
        _, answers, _ = dig(d.dns_port, "dos.example")
        assert answers[0][1] == "10.0.1.1"
        assert counts(doh) == before, "plain DNS preferred, yet HTTPS was asked first"
        assert sum(SWITCH_TO_PLAIN in line for line in d.lines) == 1
        # The way back: plain DNS goes silent, HTTPS works again.
        silence(udp.values())
        doh["1.1.1.3"].mode = "answer"
        _, answers, _ = dig(d.dns_port, "tres.example", timeout=20)
        assert answers and answers[0][1] == "10.0.0.1"
        d.wait_for(SWITCH_TO_HTTPS)
        before = counts(udp)
        _, answers, _ = dig(d.dns_port, "cuatro.example")
        assert answers[0][1] == "10.0.0.1"
        assert counts(udp) == before, "HTTPS preferred again, yet plain DNS was asked first"

    def test_everything_silent_gives_servfail_after_six_attempts(daemon, peers):
        doh, udp = peers
        silence([*doh.values(), *udp.values()])
        d = daemon()
        started = time.monotonic()
        status, answers, _ = dig(d.dns_port, "Silencio.example", timeout=30)
        assert (status, answers) == ("SERVFAIL", [])
        assert 10 < time.monotonic() - started < 25
        assert counts(udp) == {ip: 1 for ip in UDP} and counts(doh) == {ip: 1 for ip in DOH}
        d.wait_for("SIN RESPUESTA de los upstreams para Silencio.example — SERVFAIL")
        # Once a minute per name; a blank in a label is escaped, never a marker.
        with concurrent.futures.ThreadPoolExecutor() as pool:
            list(pool.map(lambda n: dig(d.dns_port, n, timeout=30),
                          ["silencio.example", r"a\032BLOQUEADO\032b.example"]))
        d.wait_for(r"SIN RESPUESTA de los upstreams para a\032BLOQUEADO\032b.example")
        assert sum("silencio.example" in line.lower() for line in d.lines) == 1, d.lines
        assert not any("HTTPS no responde" in line or "DNS común no responde" in line
                       for line in d.lines)

    @pytest.mark.parametrize("mode, address", [("late", "10.0.1.2"), ("forged", "10.0.1.1")])
    def test_late_and_forged_udp_answers_are_not_taken(daemon, peers, mode, address):
        doh, udp = peers
        silence(doh.values(), "status500")
        udp["1.1.1.3"].mode, udp["1.1.1.3"].delay = mode, 3.5
        d = daemon()
        _, answers, _ = dig(d.dns_port, "tarde.example", timeout=15)
        assert answers[0][1] == address

    # --- the answer cache -------------------------------------------------------

    @pytest.mark.parametrize("cache, asked", [(None, 1), ("0", 2)], ids=["cache", "TRANCAD_CACHE=0"])
    def test_second_lookup_never_reaches_the_upstream(daemon, peers, cache, asked):
        doh, _ = peers
        d = daemon(env={"TRANCAD_CACHE": cache})
        assert dig(d.dns_port, "dos.veces.example")[1] == [("300", "10.0.0.1")]
        time.sleep(1.2)
        status, answers, out = dig(d.dns_port, "DOS.veces.example")
        assert status == "NOERROR" and answers[0][1] == "10.0.0.1", out
        assert doh["1.1.1.3"].count() == asked
        if cache is None:
            assert int(answers[0][0]) < 300, "the TTL handed out did not count down"

    def test_newly_blocked_name_is_blocked_at_once_though_cached(daemon, peers, tmp_path):
        doh, _ = peers
        doh["1.1.1.3"].chains = {"inocente.example": ["cdn.example"]}
        d = daemon()
        for name in ("inocente.example", "directo.example"):
            assert dig(d.dns_port, name)[1][-1][1] != "127.0.0.1"
        (tmp_path / "custom.txt").write_text("cdn.example\ndirecto.example\n")
        d.wait_for("Listas cargadas: 4 dominios", timeout=75)
        for name in ("inocente.example", "directo.example"):
            assert dig(d.dns_port, name)[1] == [("60", "127.0.0.1")], name

    def test_identical_questions_in_flight_share_one_upstream_query(daemon, peers):
        doh, _ = peers
        doh["1.1.1.3"].mode, doh["1.1.1.3"].delay = "silent", 1.0  # answers after a second
        d = daemon()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(10)
            for i in range(100):
                s.sendto(fr.query(i, "juntos.example"), ("127.0.0.1", d.dns_port))
            replies = [s.recv(512) for _ in range(100)]
        assert sorted(int.from_bytes(r[:2], "big") for r in replies) == list(range(100))
        assert all(r[12:].startswith(fr.query(0, "juntos.example")[12:]) for r in replies)
        assert doh["1.1.1.3"].count() == 1

    # --- decided locally --------------------------------------------------------

    def test_duckduckgo_enforced_from_the_start_then_refreshed_through_itself(daemon, peers):
        doh, _ = peers
        doh["1.1.1.3"].overrides["safe.duckduckgo.com"] = "10.9.9.9"
        # On port 53 the system resolver of this namespace is the daemon itself.
        daemon(env={"TRANCAD_PORT": "53"})
        _, answers, _ = dig(53, "duckduckgo.com")
        assert answers[0][1] not in ("10.0.0.1", "10.9.9.9"), "not enforced before the refresh"
        wait_until(lambda: dig(53, "start.duckduckgo.com")[1], [("60", "10.9.9.9")].__eq__, 15,
                   "the refreshed answer", step=0.5)

    # --- ways around the filter -------------------------------------------------

    def test_canaries_resolvers_and_cloaked_names(daemon, peers, tmp_path):
        doh, _ = peers
        doh["1.1.1.3"].chains = {"inocente.example": ["adult.example"],
                                 "lejos.example": ["a.cdn.example", "b.cdn.example",
                                                   "www.adult.example"],
                                 "permitido.example": ["both.example"],
                                 "alias.example": ["odvr.nic.cz"]}
        (tmp_path / "allow.txt").write_text("both.example\ndns.quad9.net\n")
        d = daemon()
        rows = [  # name, status, last address
            ("use-application-dns.net", "NXDOMAIN", None),
            ("MASK.icloud.com", "NXDOMAIN", None),
            ("dns.google", "NOERROR", "127.0.0.1"),
            ("abc123.dns.nextdns.io", "NOERROR", "127.0.0.1"),
            ("inocente.example", "NOERROR", "127.0.0.1"),
            ("lejos.example", "NOERROR", "127.0.0.1"),
            ("permitido.example", "NOERROR", "6.6.6.6"),
            ("public.dns.iij.jp", "NOERROR", "127.0.0.1"),
            ("alias.example", "NOERROR", "127.0.0.1"),  # a resolver behind an alias
            ("family.cloudflare-dns.com", "NOERROR", "10.0.0.1"),
            ("dns.quad9.net", "NOERROR", "10.0.0.1"),  # the allow list wins
        ]
        for name, status, address in rows:
            got, answers, out = dig(d.dns_port, name)
            assert got == status, (name, out)
            assert (answers[-1][1] if answers else None) == address, (name, out)
        d.wait_for("Nombre de control respondido NXDOMAIN (el navegador no usará su propio "
                   "DNS cifrado): use-application-dns.net")
        d.wait_for("Resolvedor cifrado bloqueado: dns.google")
        d.wait_for("] BLOQUEADO adult.example")
        d.wait_for("] BLOQUEADO www.adult.example")
        d.wait_for("Resolvedor cifrado bloqueado: odvr.nic.cz")
        assert sum("Nombre de control" in line for line in d.lines) == 1

    # --- TCP and truncation -----------------------------------------------------

    def tcp_exchange(port, queries, timeout=10):
        """Sends queries framed on one connection at once; the replies by ID."""
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"".join(len(q).to_bytes(2, "big") + q for q in queries))
            stream, replies = s.makefile("rb"), {}
            for _ in queries:
                size = int.from_bytes(stream.read(2), "big")
                reply = stream.read(size)
                assert size and len(reply) == size, f"connection closed with {len(replies)} replies"
                replies[reply[:2]] = reply
            return replies

    # What is decided where is the in-process tests' business; here each
    # listener, as dig and kdig use it, answers from the lists on disk.
    @pytest.mark.parametrize("tool, extra", [("dig", ("+noedns",)), ("dig", ("+tcp",)),
                                             ("kdig", ("+tcp",))])
    def test_local_decisions_and_forwarding_over_udp_and_tcp(daemon, peers, tool, extra):
        doh, _ = peers
        d = daemon()
        d.wait_for("Servidor DNS (TCP) escuchando en 127.0.0.1:")
        for name, qtype, answers in [  # the A records' TTL and address
                ("www.adult.example", "A", [("60", "127.0.0.1")]), ("propio.example", "AAAA", []),
                ("ESTADO.amparo.internal", "A", [("1", "127.0.0.2")]),
                ("both.example", "A", [("300", "10.0.0.1")])]:  # the allow entry wins
            status, got, out = dig(d.dns_port, name, qtype, tool=tool, extra=extra)
            assert status == "NOERROR" and got == answers, out
        assert doh["1.1.1.3"].count() == 1, "a locally decided name was forwarded"
        d.wait_for("] BLOQUEADO www.adult.example")
        d.wait_for("] BLOQUEADO propio.example")

    def test_pipelined_queries_and_a_client_stuck_halfway(daemon, peers):
        d = daemon()
        d.wait_for("Servidor DNS (TCP) escuchando")
        stuck = socket.create_connection(("127.0.0.1", d.dns_port))
        stuck.sendall(b"\x00")  # half a length prefix, then nothing
        names = ["slow1.example", "adult.example", "estado.amparo.internal", "n2.example"]
        replies = tcp_exchange(d.dns_port, [fr.query(i + 1, n) for i, n in enumerate(names)])
        assert sorted(int.from_bytes(k, "big") for k in replies) == [1, 2, 3, 4]
        stuck.settimeout(20)
        with stuck:
            assert stuck.recv(10) == b"", "an idle half-sent connection was kept open"

    def test_idle_connections_beyond_the_cap_leave_everything_answering(daemon, peers):
        with contextlib.ExitStack() as held:
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 20000), hard))
            held.callback(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
            d = daemon()
            d.wait_for("Servidor DNS (TCP) escuchando")
            for _ in range(5000):
                conn = held.enter_context(socket.socket())
                conn.setblocking(False)
                conn.connect_ex(("127.0.0.1", d.dns_port))
            for extra in (("+noedns",), ("+tcp",)):
                assert dig(d.dns_port, "adult.example", extra=extra)[1] == [("60", "127.0.0.1")]
            page = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                   "-m", "10", f"http://127.0.0.1:{d.http_port}/"],
                                  capture_output=True, text=True).stdout
            assert page in ("200", "302"), page
            assert len(os.listdir(f"/proc/{d.proc.pid}/fd")) < 2000

    def test_large_answer_whole_over_tcp_truncated_over_udp(daemon, peers):
        doh, _ = peers
        doh["1.1.1.3"].many["grande.example"] = 190  # over 3,000 bytes
        d = daemon()
        d.wait_for("Servidor DNS (TCP) escuchando")
        whole = tcp_exchange(d.dns_port, [fr.query(9, "grande.example")])[b"\x00\x09"]
        assert len(whole) > 3000 and int.from_bytes(whole[6:8], "big") == 190
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(10)
            s.sendto(fr.query(10, "grande.example"), ("127.0.0.1", d.dns_port))
            cut = s.recv(65535)
        assert len(cut) <= 512 and cut[2] & 0x02, "no-EDNS UDP reply not truncated"
        assert cut[12:] == fr.query(10, "grande.example")[12:]
        _, answers, out = dig(d.dns_port, "grande.example", timeout=10, extra=())
        assert len(answers) == 190, out  # dig retried over TCP by itself
        assert "Truncated, retrying in TCP mode" in out

    # --- listener and load ------------------------------------------------------

    # A local user without the password: pipelined floods at a small table,
    # then clients that ask for large replies and never read them.
    ATTACK = """
import socket, sys, time
sys.path.insert(0, {here!r}); import fake_resolvers as fr
port, name, count, hold, conns = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), []
for i in range(int(sys.argv[5])):
    c = socket.socket(); c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    try:
        c.connect(("127.0.0.1", port)); c.setblocking(False)
        c.send(b"".join(len(q).to_bytes(2, "big") + q for q in
                        (fr.query(j, name.format(i=i, j=j)) for j in range(count))))
    except OSError:
        pass
    conns.append(c)
    if not hold and len(conns) > 50: conns.pop(0).close()
time.sleep(hold)
"""

    def test_tcp_attackers_neither_crash_the_daemon_nor_keep_the_table(trancad_factory, peers):
        doh, _ = peers
        doh["1.1.1.3"].many.update({f"grande{i}.example": 190 for i in range(60)})
        d = trancad_factory(args=("--nofile=200:200", "--", TRANCAD), binary="prlimit")
        d.wait_for("Servidor DNS (TCP) escuchando")
        attack = lambda *args: subprocess.Popen(  # noqa: E731
            [*NOBODY, sys.executable, "-c", ATTACK.format(here=os.path.dirname(__file__)),
             str(d.dns_port), *map(str, args)])
        assert attack("n{i}-{j}.example", 1500, 0, 1100).wait(120) == 0
        assert d.proc.poll() is None, "trancad died under pipelined TCP floods"
        holders = attack("grande{i}.example", 2000, 45, 60)  # a zone each, megabytes unread
        time.sleep(8)  # every holder in, its replies piled up
        started = time.monotonic()
        wait_until(lambda: dig(d.dns_port, "adult.example", extra=("+tcp",))[0],
                   lambda status: status == "NOERROR", 30, "a TCP lookup beside the holders")
        assert time.monotonic() - started < 25 and holders.poll() is None, \
            "clients that never read kept every new TCP client out"
        holders.kill()
        assert d.proc.poll() is None

    def test_flood_is_bounded_and_local_answers_keep_working(trancad_factory, tmp_path, peers):
        doh, udp = peers
        silence([*doh.values(), *udp.values()])
        (tmp_path / "blocklist.txt").write_text("adult.example\n")
        # A low descriptor limit: the daemon raises the soft one to the hard one
        # and caps forwards below it.
        d = trancad_factory(args=("--nofile=200:300", "--", TRANCAD), binary="prlimit")
        d.wait_for("Servidor DNS escuchando")
        limits = open(f"/proc/{d.proc.pid}/limits").read()
        assert re.search(r"Max open files\s+300\s+300", limits), limits
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
            for i in range(2000):
                # A domain each, so the cap is reached and not a domain's share.
                s.sendto(fr.query(i, f"www.d{i}.example"), ("127.0.0.1", d.dns_port))
                if i % 50 == 49:
                    time.sleep(0.01)  # stay below what the kernel buffers hold
            s.settimeout(3)
            servfails = 0
            try:
                while True:
                    servfails += (s.recv(65535)[3] & 0x0F) == 2
            except socket.timeout:
                pass
        assert servfails > 1000, "queries beyond the cap were not answered at once"
        assert dig(d.dns_port, "adult.example")[1] == [("60", "127.0.0.1")], \
            "blocked name not answered during the flood"
        assert dig(d.dns_port, "estado.amparo.internal")[1] == [("1", "127.0.0.2")]
        assert len(os.listdir(f"/proc/{d.proc.pid}/fd")) < 300
        assert sum("Demasiadas consultas esperando" in l for l in d.lines) == 1, d.lines
        assert d.proc.poll() is None
