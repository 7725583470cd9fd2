"""The test origin of the keyword-filter tests: sites over HTTPS at a test
address, under a certificate authority of their own that the machine's
system store trusts (the proxy checks origins against it), with the pages
taken from the add-on's corpus."""

import glob
import json
import os
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "proxy", "corpus")
PASS_THROUGH_LIST = os.path.join(HERE, "..", "..", "scripts", "proxy", "sin_interceptar.txt")
ORIGIN = "192.0.2.80"


def first_pass_through_host():
    with open(PASS_THROUGH_LIST, encoding="utf-8") as handle:
        for line in handle:
            line = line.split("#")[0].strip()
            if line:
                return line
    raise AssertionError("empty pass-through list")


def corpus_page(prefix):
    return open(sorted(glob.glob(os.path.join(CORPUS, prefix + "*.html")))[0],
                encoding="utf-8").read()


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture
def origin(machine, tmp_path):
    """Test sites on an origin whose own authority the machine trusts."""
    hosts = {"explicito.example": corpus_page("explicita-"),
             "limpio.example": corpus_page("limpia-"),
             "permitido.example": corpus_page("explicita-"),
             first_pass_through_host(): corpus_page("explicita-")}
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=Origen de prueba", "-keyout", "ca.key", "-out", "ca.pem", cwd=tmp_path)
    names = ",".join(f"DNS:{host}" for host in hosts)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=origen", "-keyout",
            "site.key", "-out", "site.csr", cwd=tmp_path)
    (tmp_path / "ext").write_text(f"subjectAltName={names}\n")
    openssl("x509", "-req", "-in", "site.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "ext", "-out", "site.pem", cwd=tmp_path)
    (tmp_path / "pages.json").write_text(json.dumps(hosts))
    os.chmod(tmp_path, 0o755)
    os.makedirs(machine.path("/usr/local/share/ca-certificates"), exist_ok=True)
    shutil.copy(tmp_path / "ca.pem", machine.path("/usr/local/share/ca-certificates/origen.crt"))
    assert machine.run(["update-ca-certificates", "--fresh"]).returncode == 0
    with open(machine.path("/etc/hosts"), "a", encoding="utf-8") as etc_hosts:
        etc_hosts.write("".join(f"{ORIGIN} {host}\n" for host in hosts))
    machine.run(["ip", "addr", "add", f"{ORIGIN}/32", "dev", "lo"])
    machine.spawn(["/usr/bin/python3", os.path.join(HERE, "https_origin.py"),
                   str(tmp_path / "site.pem"), str(tmp_path / "site.key"), ORIGIN,
                   str(tmp_path / "pages.json")])
    return hosts
