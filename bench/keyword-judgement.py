#!/usr/bin/python3
"""How the keyword filter judges the test corpus: pages blocked by category,
precision, recall, the closest pages on each side of the threshold and the
cost of judging one page.

  bench/keyword-judgement.py              the corpus (tests/proxy/corpus)
  bench/keyword-judgement.py --aparte     the held-out pages (tests/proxy/aparte), reported apart
  bench/keyword-judgement.py --paginas    also every page's score and parts

A page's expected verdict is its folder (explicito/ or limpio/); its category
is its name up to the first dash.
"""
import statistics
import sys
import time
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts" / "proxy"))
import amparo_filter as af  # noqa: E402

ROUNDS = 30  # each page judged this many times for its cost


def pages(folder):
    for verdict in ("explicito", "limpio"):
        for path in sorted((folder / verdict).glob("*.html")):
            yield verdict == "explicito", path.name.split("-", 1)[0], path


def report(name, folder, words, each):
    blocked = defaultdict(lambda: [0, 0])
    tp = fp = fn = 0
    closest = {True: None, False: None}  # explicit: lowest score; clean: highest
    costs = []
    for explicit, category, path in pages(folder):
        text = path.read_bytes().decode("utf-8")
        start = time.perf_counter()
        for _ in range(ROUNDS):
            parts = af.judge(text, words)
        costs.append((time.perf_counter() - start) * 1000 / ROUNDS)
        hit = parts["puntaje"] >= af.THRESHOLD
        key = ("explícitas " if explicit else "limpias ") + category
        blocked[key][0] += hit
        blocked[key][1] += 1
        tp += hit and explicit
        fp += hit and not explicit
        fn += explicit and not hit
        margin = parts["puntaje"] - af.THRESHOLD
        best = closest[explicit]
        if best is None or (margin < best[0] if explicit else margin > best[0]):
            closest[explicit] = (margin, path.name)
        if each:
            print(f"  {'X' if hit else '.'} {'E' if explicit else 'L'} {parts['puntaje']:8.1f}  "
                  f"listado {parts['listado']:6.1f} prosa {parts['prosa']:6.1f} "
                  f"contexto {parts['contexto']:6.1f} giro {parts['giro']:5.1f}  {path.name}")
    print(f"{name}: {tp + fn} explícitas, {sum(n for _, n in blocked.values()) - tp - fn} limpias")
    for key in sorted(blocked):
        print(f"  bloqueadas {key:28} {blocked[key][0]:3} de {blocked[key][1]}")
    print(f"  precisión {tp / max(tp + fp, 1):.3f}  exhaustividad {tp / max(tp + fn, 1):.3f}"
          f"  (limpias bloqueadas {fp}, explícitas que pasan {fn})")
    for explicit, label in ((True, "explícita más baja"), (False, "limpia más alta")):
        if closest[explicit]:
            margin, page = closest[explicit]
            print(f"  {label}: {margin:+.1f} puntos del umbral ({af.THRESHOLD:.0f})  {page}")
    costs.sort()
    print(f"  costo por página: p50 {statistics.median(costs):.2f} ms, "
          f"p99 {costs[min(len(costs) - 1, int(len(costs) * 0.99))]:.2f} ms, "
          f"máx {costs[-1]:.2f} ms ({len(costs)} páginas, {ROUNDS} rondas)")


def main():
    words = af.load_words(ROOT / "scripts" / "proxy" / "palabras.txt")[0]
    each = "--paginas" in sys.argv
    if "--aparte" in sys.argv:
        report("Aparte (no ajustadas)", ROOT / "tests" / "proxy" / "aparte", words, each)
    else:
        report("Corpus", ROOT / "tests" / "proxy" / "corpus", words, each)


if __name__ == "__main__":
    main()
