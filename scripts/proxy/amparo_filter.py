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
SHORT_WORDS = 12  # a block this short is a title, a link, a list item or a tag
HEAD_WEIGHT = 3.0  # a word in the title or meta says what the whole page is
SHORT_WEIGHT = 1.5  # one in a link or list item, what the site lists
# Turning and context points, as a share of the explicit points, discount
# the prose by 1 + share * PROSE_TURN and the listing by 1 + share * LISTING_TURN.
PROSE_TURN = 8.0
LISTING_TURN = 3.0
CONTEXT_ON_LISTING = 0.5  # context words vouch for prose, hardly for a listing
TOPIC_PER_ACT = 1.0  # words naming the subject count up to this many times those of the thing
TOPIC_FLOOR = 20.0  # and this much on their own: a bare "Porno XXX" title still counts
RELOAD_EVERY = 3.0  # seconds between looks at the lists' files
BLOCKPAGE_TIMEOUT = 2.0
BLOCKPAGE_MAX = 256 * 1024
# "" is a missing Content-Type, which browsers sniff and show as a page.
SCORED_TYPES = ("text/html", "text/plain", "application/xhtml+xml", "")
SCORED_STATUSES = (200, 203)  # 203: the same page, relayed by a transforming proxy
BOMS = ((codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
        (codecs.BOM_UTF16_BE, "utf-16"))

PERMIT_URL = "amparo://permitir?sitio={host}"  # opens Amparo's site lists with the host in "Permitidos"
# The host has been through clean_host: only letters, digits, dots and dashes.
KEYWORD_PAGE = """<!doctype html><html lang="es"><head><meta charset="utf-8">
<title>Sitio bloqueado</title></head>
<body style="font-family:sans-serif;max-width:36em;margin:4em auto;color:#223">
<h1>Sitio bloqueado</h1>
<p>Amparo bloqueó <strong>{host}</strong> por las palabras de esta página, no porque el sitio
esté en una lista de bloqueo.</p>
<p>Si es un error (una página de salud, de ayuda, de educación o de noticias), podés
permitir este sitio: se abre Amparo con el sitio en «Permitidos» y el cambio pide la
contraseña de administrador del equipo.</p>
<p><a href="{permit}" style="display:inline-block;padding:.6em 1.2em;background:#2b5fb4;color:#fff;
border-radius:6px;text-decoration:none">Permitir este sitio</a></p></body></html>"""


def keyword_page(host):
    return KEYWORD_PAGE.format(host=host, permit=PERMIT_URL.format(host=host))


_BLOCKS = re.compile(r"<(script|style)\b.*?(?:</\1\s*>|\Z)|<!--.*?(?:-->|\Z)", re.S | re.I)
_TAG = re.compile(r"<[^<>]*>")  # stops at the next '<': no rescans of the page
_MARKS = re.compile(r"[\u0300-\u036f]")
# Soft hyphen, zero-width space and joiners, word joiner, BOM: unseen on the
# page, yet they would split a word in two for the scorer.
_INVISIBLE = re.compile("[\u00ad\u200b-\u200d\u2060\ufeff]")
_WORD = re.compile(r"[^\W\d_]+")
_DOMAIN = re.compile(r"^[a-z0-9-]+(?:\.[a-z0-9-]+)*$")
# What the judgement reads of a page's markup.
_TITLE = re.compile(r"<title\b[^<>]*>(.*?)(?:</title\s*>|\Z)", re.S | re.I)
_META = re.compile(r"<meta\b([^<>]*)>", re.I)
_META_NAME = re.compile(r"""\b(?:name|property)\s*=\s*["']?(?:description|keywords|og:title|og:description|twitter:title)\b""", re.I)
_CONTENT = re.compile(r"""\bcontent\s*=\s*(?:"([^"]*)"|'([^']*)')""", re.I)
_ALT = re.compile(r"""<img\b[^<>]*?\balt\s*=\s*(?:"([^"]*)"|'([^']*)')""", re.I)
_BLOCK_EDGE = re.compile(r"<(?:/?(?:p|li|a|h[1-6]|td|th|dt|dd|div|tr|ul|ol|dl|table|header|footer|nav|main|"
                         r"article|section|aside|blockquote|figcaption|button|option|label|body)|br)\b[^<>]*>", re.I)
_MIXED = re.compile(r"(?<![\w@$*])[\w@$*]+(?![\w@$*])")
_LETTER = re.compile(r"[^\W\d_]")
_LEET_SIGN = re.compile(r"[0134578@$*]")
_LEET = str.maketrans("0134578@$*", "oieastbasu")
_SEPARATOR = re.compile(r"[\s.\-_·]")
_SPACED = re.compile(r"(?<![^\W_])(?:(?P<single>(?:[^\W\d_][ .\-_·]){2,}[^\W\d_])|[^\W\d_]+(?:[.\-_·][^\W\d_]+)+)(?![^\W_])")


def normalise(text):
    """Lowercase, accentless words: 'Anatomía' and 'anatomia' are one term."""
    text = _INVISIBLE.sub("", text.lower())
    return _WORD.findall(_MARKS.sub("", unicodedata.normalize("NFKD", text)))


class Lexicon(dict):
    """{term: weight} of the explicit (positive) and context (negative) terms;
    .turns holds the phrases that turn a page's topic around ("dejar el porno"),
    .topic the explicit terms that only name the subject ("porno")."""

    def __init__(self, *args):
        super().__init__(*args)
        self.turns = {}
        self.topic = set()


def load_words(path):
    """Returns (Lexicon, bad lines). A phrase's key is its words joined by one
    space. After "[tema]", explicit terms that name the subject; after
    "[giros]", topic-turning phrases."""
    words, bad = Lexicon(), 0
    table, section = words, ""
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line in ("[giros]", "[tema]"):
                table = words.turns if line == "[giros]" else words
                section = line
                continue
            weight, _, term = line.partition(" ")
            if not weight:
                continue
            tokens = normalise(term)
            if not tokens or not re.fullmatch(r"-?\d+(?:\.\d+)?", weight):
                bad += 1
            else:
                table[" ".join(tokens)] = float(weight)
                if section == "[tema]":
                    words.topic.add(" ".join(tokens))
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


def _attr(match):
    return match.group(1) if match.group(1) is not None else match.group(2)


def _unleet(match):
    """'p0rn', 's3xo', 'pu$$y': digits and signs inside a word read as letters."""
    word = match.group(0)
    if _LETTER.search(word) and _LEET_SIGN.search(word):
        return word.translate(_LEET)
    return word


def _joined(match, words):
    """'P o r n o', 'ma.ma.das': letters spaced out to dodge a filter, read whole
    when they spell a listed word (single letters always: 'x x x')."""
    piece = match.group(0)
    whole = _SEPARATOR.sub("", piece)
    if match.group("single") or " ".join(normalise(whole)) in words:
        return whole
    return piece


def blocks(text, words=None):
    """The page as (zone, words) blocks: "cabecera" (title, meta description
    and keywords), "corto" (a block of few words: a link, a list item, a tag,
    an image's alt text) and "prosa" (longer blocks). A video site says what
    it is in its titles and tags; an article says it in sentences."""
    words = words if words is not None else {}
    text = _BLOCKS.sub(" ", text)
    head = [m.group(1) for m in _TITLE.finditer(text)]
    for m in _META.finditer(text):
        if _META_NAME.search(m.group(1)):
            content = _CONTENT.search(m.group(1))
            head.append(_attr(content) if content else "")
    alts = [_attr(m) for m in _ALT.finditer(text)]
    body = _TITLE.sub(" ", text)
    out = []
    for zone, pieces in (("cabecera", head), ("alt", alts), ("cuerpo", _BLOCK_EDGE.split(body))):
        for piece in pieces:
            piece = _MIXED.sub(_unleet, html.unescape(_TAG.sub("", piece)))
            piece = _SPACED.sub(lambda m: _joined(m, words), piece)
            tokens = normalise(piece)
            if not tokens:
                continue
            if zone != "cabecera":
                zone = "corto" if len(tokens) <= SHORT_WORDS else "prosa"
            out.append((zone, tokens))
    return out


def _points(joined, counts, terms):
    total = 0.0
    for term, weight in terms.items():
        n = joined.count(" " + term + " ") if " " in term else counts.get(term, 0)
        total += weight * min(n, TERM_CAP)
    return total


def judge(text, words):
    """A page's parts as a dict: the explicit points of its listing
    (cabecera, corto) and of its prose, the context and topic-turning points,
    and the net score per 1000 words.

    A block that holds a turning phrase ("dejar el porno", "porn addiction")
    gives no explicit points: its words are about the thing, not the thing.
    Turning and context points elsewhere discount the explicit points in
    proportion to them: much in prose, little in a listing, so a few such
    words in a tube site's footer change nothing. Words that only name the
    subject ("porno", "pornografía") count as far as words of the thing
    itself (a listing's "milf", "follando") stand beside them: a page that
    names pornography without showing it is about it."""
    explicit = {t: w for t, w in words.items() if w > 0}
    context = {t: -w for t, w in words.items() if w < 0}
    turns = getattr(words, "turns", {})
    topic = {t: w for t, w in explicit.items() if t in getattr(words, "topic", ())}
    acts = {t: w for t, w in explicit.items() if t not in topic}
    zones = {"cabecera": [], "corto": [], "prosa": [], "girado": []}
    n_tokens = 0
    for zone, tokens in blocks(text, explicit):
        n_tokens += len(tokens)
        line = " " + " ".join(tokens) + " "
        if any(" " + t + " " in line for t in turns):
            zone = "girado"
        zones[zone].append(tokens)
    parts = {}
    for zone, lists in zones.items():
        joined = " " + " | ".join(" ".join(t) for t in lists) + " "
        counts = Counter(tok for t in lists for tok in t)
        parts[zone] = (joined, counts)
    weight = {"cabecera": HEAD_WEIGHT, "corto": SHORT_WEIGHT, "prosa": 1.0}
    named = {z: _points(*parts[z], topic) * w for z, w in weight.items()}
    shown = {z: _points(*parts[z], acts) * w for z, w in weight.items()}
    named_total = sum(named.values())
    keep = min(1.0, (sum(shown.values()) * TOPIC_PER_ACT + TOPIC_FLOOR) / max(named_total, 1.0))
    points = {z: shown[z] + named[z] * keep for z in weight}
    listing, prose = points["cabecera"] + points["corto"], points["prosa"]
    everything = " ".join(j for j, _ in parts.values())
    all_counts = sum((c for _, c in parts.values()), Counter())
    ctx_points = _points(everything, all_counts, context)
    turn_points = _points(everything, all_counts, turns)
    about = (turn_points + ctx_points) / max(listing + prose, 1.0)
    listing /= 1 + about * LISTING_TURN
    prose /= 1 + about * PROSE_TURN
    net = listing + prose - min(ctx_points, prose + listing * CONTEXT_ON_LISTING)
    return {"listado": listing, "prosa": prose, "contexto": ctx_points, "giro": turn_points,
            "palabras": n_tokens, "puntaje": net * 1000.0 / max(n_tokens, MIN_TOKENS)}


def score(text, words):
    """Net points per 1000 words."""
    return judge(text, words)["puntaje"]


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
        self.words, self.domains = Lexicon(), set()
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
        """The destination the user chose when it is an address (a redirect);
        otherwise a page that says the words, not a list, blocked this host."""
        try:
            chosen = await asyncio.wait_for(self._fetch_blockpage(host), BLOCKPAGE_TIMEOUT)
            if chosen.status_code != 200:
                return chosen
        except (OSError, asyncio.TimeoutError, ValueError):
            pass
        return http.Response.make(200, keyword_page(host).encode("utf-8"), {
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
