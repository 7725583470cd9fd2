"""Amparo's keyword filter: a mitmproxy (8.x) add-on.

Run as: mitmdump --set stream_large_bodies=2m -s .../amparo_filter.py
stream_large_bodies matters: a text/html answer without Content-Length (chunked)
is otherwise buffered whole however big it grows; with it, anything past 2 MiB
streams through and is not scored, like the answers responseheaders() lets by.
That cap counts the bytes on the wire; the decoded page has a cap of its own.
"""
import asyncio
import codecs
import html
import os
import re
import time
import unicodedata
import zlib
from collections import Counter
from datetime import datetime, timezone
from urllib.parse import urlsplit

import brotli
import zstandard
from mitmproxy import ctx, http
from mitmproxy.net import encoding

MAX_SCORED_BYTES = 2 * 1024 * 1024  # on the wire, and again once decoded
BROTLI_STEP = 8  # input bytes per step: brotli has no output limit, and 8 bytes yield at most 16 MiB
THRESHOLD = 100.0  # net points per 1000 words
MIN_TOKENS = 150  # short pages are measured as if they were this long
TERM_CAP = 5  # a word repeated a hundred times counts five times
RELOAD_EVERY = 3.0  # seconds between looks at the lists' files
BLOCKPAGE_TIMEOUT = 2.0
BLOCKPAGE_MAX = 256 * 1024
# "" is a missing Content-Type, which browsers sniff and show as a page.
SCORED_TYPES = ("text/html", "text/plain", "application/xhtml+xml", "")
SCORED_STATUSES = (200, 203)  # 203: the same page, relayed by a transforming proxy
BOMS = ((codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
        (codecs.BOM_UTF16_BE, "utf-16"))

FALLBACK_PAGE = """<!doctype html><html lang="es"><head><meta charset="utf-8">
<title>Sitio bloqueado</title></head>
<body style="font-family:sans-serif;max-width:36em;margin:4em auto;color:#223">
<h1>Sitio bloqueado</h1><p>Amparo bloqueó esta página por su contenido.</p>
<p>Si creés que es un error, pedí que la agreguen a los sitios permitidos.</p></body></html>"""

_BLOCKS = re.compile(r"<(script|style)\b.*?(?:</\1\s*>|\Z)|<!--.*?(?:-->|\Z)", re.S | re.I)
_TAG = re.compile(r"<[^<>]*>")  # stops at the next '<': no rescans of the page
_MARKS = re.compile(r"[\u0300-\u036f]")
# Soft hyphen, zero-width space and joiners, word joiner, BOM: unseen on the
# page, yet they would split a word in two for the scorer.
_INVISIBLE = re.compile("[\u00ad\u200b-\u200d\u2060\ufeff]")
_WORD = re.compile(r"[^\W\d_]+")
_DOMAIN = re.compile(r"^[a-z0-9-]+(?:\.[a-z0-9-]+)*$")


def normalise(text):
    """Lowercase, accentless words: 'Anatomía' and 'anatomia' are one term."""
    text = _INVISIBLE.sub("", text.lower())
    return _WORD.findall(_MARKS.sub("", unicodedata.normalize("NFKD", text)))


def load_words(path):
    """Returns ({term: weight}, bad lines). A phrase's key is its words joined by one space."""
    words, bad = {}, 0
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            weight, _, term = line.split("#", 1)[0].strip().partition(" ")
            if not weight:
                continue
            tokens = normalise(term)
            if not tokens or not re.fullmatch(r"-?\d+(?:\.\d+)?", weight):
                bad += 1
            else:
                words[" ".join(tokens)] = float(weight)
    return words, bad


def load_domains(path):
    """Returns (set of domains, bad lines)."""
    domains, bad = set(), 0
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            d = line.split("#", 1)[0].strip().lower().lstrip("*.").rstrip(".")
            if d and _DOMAIN.match(d):
                domains.add(d)
            elif d:
                bad += 1
    return domains, bad


def covered(host, domains):
    """True when host is one of domains or a subdomain of one."""
    host = host.lower().rstrip(".")
    while host:
        if host in domains:
            return True
        host = host.partition(".")[2]
    return False


def ignore_regex(domains):
    # One alternation instead of a pattern per domain: mitmproxy runs re.search
    # with each pattern per connection, and re's cache holds only 512.
    alts = "|".join(re.escape(d) for d in sorted(domains))
    return rf"^(?:.+\.)?(?:{alts})\.?(?::\d+)?$"


def strip_html(text):
    return html.unescape(_TAG.sub(" ", _BLOCKS.sub(" ", text)))


def score(text, words):
    """Net points per 1000 words; context words (negative) pull it down."""
    tokens = normalise(strip_html(text))
    counts = Counter(tokens)
    joined = " " + " ".join(tokens) + " "
    total = 0.0
    for term, weight in words.items():
        n = joined.count(" " + term + " ") if " " in term else counts.get(term, 0)
        total += weight * min(n, TERM_CAP)
    return total * 1000.0 / max(len(tokens), MIN_TOKENS)


def is_explicit(text, words):
    return score(text, words) >= THRESHOLD


def clean_host(host):
    """Only what a host name can hold, so no line can be forged in the log."""
    return re.sub(r"[^a-z0-9.-]", "", (host or "").lower())[:253] or "desconocido"


def decoded_body(raw, coding, cap=MAX_SCORED_BYTES):
    """raw undone of its Content-Encoding, a piece at a time and never past cap:
    127 KiB of gzip can inflate to 128 MiB. None past cap, or when it cannot
    be undone (an unknown or stacked coding, a broken stream)."""
    coding = (coding or "identity").strip().lower()
    try:
        if coding == "identity":
            out = raw
        elif coding in ("gzip", "x-gzip"):
            out = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(raw, cap + 1)
        elif coding == "deflate":  # with a zlib header, or raw as some servers send it
            try:
                out = zlib.decompressobj().decompress(raw, cap + 1)
            except zlib.error:
                out = zlib.decompressobj(-zlib.MAX_WBITS).decompress(raw, cap + 1)
        elif coding == "br":
            out, step = b"", brotli.Decompressor()
            for start in range(0, len(raw), BROTLI_STEP):
                out += step.process(raw[start:start + BROTLI_STEP])
                if len(out) > cap:
                    break
        elif coding == "zstd":
            out = b""
            with zstandard.ZstdDecompressor().stream_reader(raw) as reader:
                while len(out) <= cap and (piece := reader.read(cap + 1 - len(out))):
                    out += piece
        else:
            return None
    except (zlib.error, brotli.error, zstandard.ZstdError):
        return None
    return out if len(out) <= cap else None


def page_text(response, body):
    """body as a browser reads it: a byte-order mark outranks any charset label."""
    for bom, codec in BOMS:
        if body.startswith(bom):
            return body.decode(codec, "replace")
    try:
        return encoding.decode(body, response._guess_encoding(body))
    except ValueError:  # an unknown label: read as UTF-8, as browsers do
        return body.decode("utf-8", "surrogateescape")


def scored_type(headers):
    ctype = headers.get("content-type", "").split(";", 1)[0].strip().lower()
    return ctype in SCORED_TYPES


class Filter:
    def __init__(self):
        here = os.path.dirname(os.path.abspath(__file__))
        data = os.environ.get("AMPARO_PROXY_DATA", here)
        tranca = os.environ.get("AMPARO_TRANCA_DIR", "/var/lib/tranca")
        self.words_path = os.path.join(data, "palabras.txt")
        self.list_paths = (os.path.join(data, "sin_interceptar.txt"), os.path.join(tranca, "allow.txt"))
        self.log_path = os.environ.get("AMPARO_LOG", "/var/log/tranca.log")
        self.blockpage = urlsplit(os.environ.get("AMPARO_BLOCKPAGE", "http://127.0.0.1:80/"))
        self.words, self.domains = {}, set()
        self.stamps, self.next_check = {}, 0.0
        self.base_ignore = None
        self.last_logged = {}

    def _changed(self, paths):
        new = {}
        for p in paths:
            try:
                st = os.stat(p)
                new[p] = (st.st_mtime_ns, st.st_size)
            except OSError:
                new[p] = None
        changed = any(self.stamps.get(p, "never") != s for p, s in new.items())
        self.stamps.update(new)
        return changed

    def reload(self, force=False):
        now = time.monotonic()
        if not force and now < self.next_check:
            return
        self.next_check = now + RELOAD_EVERY
        if self._changed([self.words_path]) or force:
            try:
                self.words, bad = load_words(self.words_path)
                if bad:
                    ctx.log.warn(f"amparo: {bad} líneas inválidas ignoradas en {self.words_path}")
            except OSError as e:  # keeps the words it had
                ctx.log.error(f"amparo: no se pudo leer {self.words_path}: {e}")
        if self._changed(self.list_paths) or force:
            domains = set()
            for path in self.list_paths:
                try:  # one unreadable list must not drop the other
                    d, bad = load_domains(path)
                except FileNotFoundError:
                    continue
                except OSError as e:
                    ctx.log.error(f"amparo: no se pudo leer {path}: {e}")
                    continue
                if bad:
                    ctx.log.warn(f"amparo: {bad} dominios inválidos ignorados en {path}")
                domains |= d
            self.domains = domains
            if self.base_ignore is None:  # what the command line gave, kept
                self.base_ignore = list(ctx.options.ignore_hosts)
            extra = [ignore_regex(domains)] if domains else []
            ctx.options.update(ignore_hosts=self.base_ignore + extra)

    def _safe_reload(self, force=False):
        try:
            self.reload(force)
        except Exception as e:
            ctx.log.error(f"amparo: error al cargar las listas: {e!r}")

    def running(self):
        self._safe_reload(force=True)

    def requestheaders(self, flow):
        self._safe_reload()

    def responseheaders(self, flow):
        try:
            r = flow.response
            if flow.websocket is not None or r.stream:
                return
            length = r.headers.get("content-length")
            too_big = length is not None and (not length.strip().isdigit() or int(length) > MAX_SCORED_BYTES)
            if r.status_code not in SCORED_STATUSES or not scored_type(r.headers) or too_big:
                r.stream = True
        except Exception as e:
            ctx.log.error(f"amparo: error en responseheaders: {e!r}")

    async def response(self, flow):
        try:
            r = flow.response
            if r.stream or r.status_code not in SCORED_STATUSES or not scored_type(r.headers):
                return
            if flow.websocket is not None or self._allowed(flow.request):
                return
            body = decoded_body(r.raw_content or b"", r.headers.get("content-encoding"))
            if body is None:
                return  # past the cap or undecodable: it goes by unscored, as large pages do
            try:
                text = page_text(r, body)
            except Exception:
                return  # a charset that is no text codec (rot13): let it by
            if not isinstance(text, str) or not is_explicit(text, self.words):
                return
            host = clean_host(flow.request.pretty_host)
            flow.response = await self._block_response(host)
            self._log_block(host)
        except Exception as e:
            ctx.log.error(f"amparo: error al analizar {flow.request.pretty_url}: {e!r}")

    def _allowed(self, request):
        return covered(request.pretty_host, self.domains) or covered(request.host, self.domains)

    async def _block_response(self, host):
        try:
            return await asyncio.wait_for(self._fetch_blockpage(host), BLOCKPAGE_TIMEOUT)
        except (OSError, asyncio.TimeoutError, ValueError):
            return http.Response.make(200, FALLBACK_PAGE.encode("utf-8"), {
                "Content-Type": "text/html; charset=utf-8", "Cache-Control": "no-store"})

    async def _fetch_blockpage(self, host):
        """The daemon's own page names the site from Host, or redirects (302)."""
        bp = self.blockpage
        reader, writer = await asyncio.open_connection(bp.hostname, bp.port or 80)
        try:
            writer.write(f"GET {bp.path or '/'} HTTP/1.0\r\nHost: {host}\r\n\r\n".encode("ascii"))
            await writer.drain()
            raw = b""
            while chunk := await reader.read(65536):
                raw += chunk
                if len(raw) > BLOCKPAGE_MAX:
                    raise ValueError("página de bloqueo demasiado grande")
        finally:
            writer.close()
        head, sep, body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1]) if sep and len(lines[0].split()) > 1 else 0
        headers = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
        headers = {k.strip().lower(): v.strip() for k, v in headers.items()}
        keep = {k: headers[k] for k in ("content-type", "location") if k in headers}
        keep["cache-control"] = "no-store"
        if status == 200 or (status in (301, 302, 303, 307, 308) and "location" in keep):
            return http.Response.make(status, body if status == 200 else b"", keep)
        raise ValueError(f"la página de bloqueo respondió {status}")

    def _log_block(self, host):
        now = time.monotonic()
        if now - self.last_logged.get(host, -10.0) < 1.0:
            return
        if len(self.last_logged) >= 1024:
            self.last_logged = {h: t for h, t in self.last_logged.items() if now - t < 1.0}
            if len(self.last_logged) >= 1024:
                self.last_logged.clear()
        self.last_logged[host] = now
        stamp = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        line = f"[{stamp}] BLOQUEADO {host} (por palabras)\n".encode("ascii")
        try:
            if self.log_path == "-":  # standard output, which the service appends to the log
                os.write(1, line)
            else:
                # Opened per line: logrotate's copytruncate may have cut the file.
                with open(self.log_path, "ab") as f:
                    f.write(line)
        except OSError as e:
            ctx.log.warn(f"amparo: no se pudo escribir en {self.log_path}: {e}")


addons = [Filter()]
