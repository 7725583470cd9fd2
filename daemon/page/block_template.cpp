#include "daemon/page/block_template.h"

#include "daemon/logo_png_base64.h"

namespace tranca {

namespace {

// The quotes rotate in the page itself: three verses (Reina-Valera 1909, in
// today's spelling), five saints, five encouragements and one prayer.
constexpr std::string_view kPageSource = R"HTML(<!DOCTYPE html>
<html lang="es">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<meta name="robots" content="noindex">
<title>Sitio bloqueado — Amparo</title>
<style>
*{margin:0;padding:0;box-sizing:border-box}
body{min-height:100vh;display:flex;align-items:center;justify-content:center;padding:24px;
font-family:-apple-system,BlinkMacSystemFont,"Segoe UI",Roboto,Helvetica,Arial,sans-serif;
background:linear-gradient(180deg,#091326 0%,#0e1d3e 55%,#16305c 100%);color:#f2f5fb}
.card{width:100%;max-width:560px;padding:42px 36px;text-align:center;border-radius:18px;
background:rgba(255,255,255,.06);border:1px solid rgba(255,255,255,.14);
-webkit-backdrop-filter:blur(6px);backdrop-filter:blur(6px)}
.logo{display:block;width:96px;height:96px;margin:0 auto}
h1{margin-top:16px;font-size:24px;font-weight:600}
.host{display:inline-block;max-width:100%;margin-top:10px;padding:5px 14px;border-radius:999px;
font-family:ui-monospace,Menlo,monospace;font-size:13px;color:#a9c3ec;background:rgba(0,0,0,.25);
word-break:break-all;overflow-wrap:anywhere}
.host:empty{display:none}
.lead{margin-top:18px;font-size:14.5px;line-height:1.55;color:#c6d4ee}
.quote{margin-top:26px;padding:22px 20px;border-radius:14px;background:rgba(255,255,255,.05);
border:1px solid rgba(255,255,255,.12)}
.quote-text{min-height:52px;font-size:16.5px;font-style:italic;line-height:1.55}
.quote-by{margin-top:10px;font-size:10.5px;text-transform:uppercase;letter-spacing:1.6px;
color:#d9bb72}
.breath{width:64px;height:64px;margin:26px auto 0;border-radius:50%;
background:radial-gradient(circle,rgba(127,168,232,.55),rgba(127,168,232,.12));
animation:breathe 7s ease-in-out infinite}
@keyframes breathe{0%,100%{transform:scale(.72);opacity:.7}50%{transform:scale(1.18);opacity:1}}
.breath-label{margin-top:10px;font-size:11.5px;color:#8fa9d6}
.actions{display:flex;flex-wrap:wrap;justify-content:center;gap:12px;margin-top:28px}
button{padding:11px 22px;border:none;border-radius:999px;font:inherit;font-size:13.5px;
font-weight:600;cursor:pointer}
.back{background:#7fa8e8;color:#0a1730}
.back:hover{background:#9dbff5}
.next{background:rgba(255,255,255,.1);color:#e8eefb;border:1px solid rgba(255,255,255,.2)}
.next:hover{background:rgba(255,255,255,.18)}
footer{margin-top:26px;font-size:10.5px;color:#7d94bd}
footer a{color:#d9bb72;text-decoration:none}
.motto{font-style:italic;color:#d9bb72}
</style>
</head>
<body>
<main class="card">
<img class="logo" src="data:image/png;base64,{{LOGO}}" width="96" height="96" alt="Amparo">
<h1>Este sitio está bloqueado</h1>
<p class="host" id="host">{{HOST}}</p>
<p class="lead">Amparo detuvo esta página para cuidar tu pureza.<br>Este momento de tentación va a pasar — siempre pasa.</p>
<section class="quote">
<p class="quote-text" id="frase"></p>
<p class="quote-by" id="autor"></p>
</section>
<div class="breath" aria-hidden="true"></div>
<p class="breath-label">Respirá hondo al ritmo del círculo</p>
<div class="actions">
<button type="button" class="back" id="volver">← Volver atrás</button>
<button type="button" class="next" id="otra">Otra frase</button>
</div>
<footer><a href="{{DONATE}}">❤️ Apoyar este proyecto</a> · <span class="motto">Sub tuum praesidium</span> · Amparo</footer>
</main>
<script>
(function () {
  var frases = [
    ["No os ha tomado tentación, sino humana: mas fiel es Dios, que no os dejará ser tentados más de lo que podéis llevar; antes dará también juntamente con la tentación la salida, para que podáis aguantar.", "1 Corintios 10:13"],
    ["Bienaventurados los de limpio corazón: porque ellos verán a Dios.", "Mateo 5:8"],
    ["Velad y orad, para que no entréis en tentación: el espíritu a la verdad está presto, mas la carne enferma.", "Jesús — Mateo 26:41"],
    ["Nos hiciste, Señor, para ti, y nuestro corazón está inquieto hasta que descanse en ti.", "San Agustín"],
    ["Nada te turbe, nada te espante; todo se pasa, Dios no se muda. La paciencia todo lo alcanza.", "Santa Teresa de Jesús"],
    ["Ten paciencia con todas las cosas, pero sobre todo contigo mismo.", "San Francisco de Sales"],
    ["Reza, espera y no te preocupes.", "San Pío de Pietrelcina"],
    ["¡No tengáis miedo! Abrid de par en par las puertas a Cristo.", "San Juan Pablo II"],
    ["Esta tentación no dice quién sos. Elegir el bien una vez más ya es una victoria.", "Ánimo"],
    ["Cerrá esta pestaña, levantate y tomá un vaso de agua. El impulso baja en unos minutos.", "Ánimo"],
    ["No estás solo: escribile ahora a alguien de confianza y contale cómo estás.", "Ánimo"],
    ["Cada vez que decís que no, la próxima se vuelve un poco más fácil.", "Ánimo"],
    ["Si caíste antes, hoy empezás de nuevo. La misericordia de Dios es más grande que cualquier caída.", "Ánimo"],
    ["Señor Jesús, crea en mí un corazón puro. Guarda mis ojos y mis pensamientos, y dame tu fuerza en este momento. Amén.", "Oración"]
  ];
  var texto = document.getElementById("frase");
  var autor = document.getElementById("autor");
  var actual = Math.floor(Math.random() * frases.length);
  var reloj = null;
  function mostrar() {
    texto.textContent = "\u201c" + frases[actual][0] + "\u201d";
    autor.textContent = frases[actual][1];
  }
  function siguiente() {
    actual = (actual + 1) % frases.length;
    mostrar();
  }
  function programar() {
    if (reloj !== null) clearInterval(reloj);
    reloj = setInterval(siguiente, 15000);
  }
  document.getElementById("otra").addEventListener("click", function () {
    siguiente();
    programar();
  });
  document.getElementById("volver").addEventListener("click", function () {
    history.back();
  });
  mostrar();
  programar();
})();
</script>
</body>
</html>
)HTML";

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

const std::string& pageTemplate() {
    static const std::string page = [] {
        std::string built(kPageSource);
        replaceAll(built, "{{DONATE}}", kDonationUrl);
        replaceAll(built, "{{LOGO}}", kLogoPngBase64);
        return built;
    }();
    return page;
}

std::string_view logoPngBase64() {
    return kLogoPngBase64;
}

const PageParts& pageParts() {
    static const PageParts parts = [] {
        const std::string_view page = pageTemplate();
        const std::size_t at = page.find(kHostPlaceholder);
        if (at == std::string_view::npos) {
            return PageParts{page, {}};
        }
        return PageParts{page.substr(0, at), page.substr(at + kHostPlaceholder.size())};
    }();
    return parts;
}

std::string renderPage(std::string_view host) {
    std::string page = pageTemplate();
    replaceAll(page, kHostPlaceholder, host);
    return page;
}

}  // namespace tranca
