#include "app/WebPage.h"

namespace almavel {

namespace {

// The page follows the app through /events: each "state" event makes it
// fetch /state (controls, console) and the screen's PNG. Controls are laid
// over the picture at the points the app reports (the picture is drawn at
// one CSS pixel per point). Input is queued so a field's text reaches the
// app before the tap that follows it, and each tap, row or text names the
// screen its control was on, so the host refuses it once another screen
// shows. A field's text is sent as it is typed. The page speaks Spanish,
// as the phone does, and says so when the program is gone.
constexpr std::string_view kPage = R"PAGE(<!DOCTYPE html>
<html lang="es">
<head>
<meta charset="utf-8">
<title>Almavel</title>
<style>
  body { margin: 0; font-family: "DejaVu Sans", sans-serif; background: #e9ecf1; color: #1f2a44; display: flex; gap: 24px; padding: 24px; }
  #phone { width: 375px; height: 667px; padding: 70px 18px; border-radius: 48px; background: #111; box-shadow: 0 8px 30px rgba(0,0,0,.35); flex: none; }
  #screenbox { position: relative; width: 375px; height: 667px; background: #fff; overflow: hidden; }
  #screen { position: absolute; left: 0; top: 0; width: 375px; height: 667px; }
  #controls { position: absolute; left: 0; top: 0; width: 375px; height: 667px; }
  #controls.busy { cursor: progress; }
  #controls, #screen { user-select: none; touch-action: none; }
  .hit { position: absolute; margin: 0; padding: 0; border: 0; background: transparent; color: transparent; cursor: pointer; }
  .hit:focus { outline: 2px solid #f7a823; outline-offset: 1px; }
  input.hit { color: transparent; caret-color: transparent; font: 17px "DejaVu Sans", sans-serif; padding: 0 8px; box-sizing: border-box; }
  input.hit:focus { background: #fff; color: #000; caret-color: #000; }
  /* The picture draws an empty field's placeholder; the browser's shows
     only while the field, focused, covers the picture. */
  input.hit::placeholder { color: transparent; }
  input.hit:focus::placeholder { color: #9a9a9a; }
  .hit:disabled { cursor: not-allowed; }
  #side { flex: 1; min-width: 320px; max-width: 640px; display: flex; flex-direction: column; gap: 16px; }
  section { background: #fff; border-radius: 8px; padding: 12px 16px; box-shadow: 0 1px 3px rgba(0,0,0,.12); }
  h2 { font-size: 15px; margin: 0 0 8px; }
  #console { height: 280px; overflow: auto; background: #1f2a44; color: #e9ecf1; font: 12px "DejaVu Sans Mono", monospace; margin: 0; padding: 8px; white-space: pre-wrap; }
  #status { font-size: 13px; }
  .sensor { margin: 8px 0; font-size: 13px; }
  textarea { width: 100%; height: 60px; font: 12px monospace; box-sizing: border-box; }
  #message { color: #b00020; font-size: 13px; min-height: 1em; }
  .chooser { position: absolute; width: 1px; height: 1px; margin: -1px; padding: 0; border: 0; overflow: hidden; clip-path: inset(50%); white-space: nowrap; }
</style>
</head>
<body>
<div id="phone"><div id="screenbox">
  <img id="screen" alt="Pantalla del teléfono" src="/screen.png" draggable="false">
  <div id="controls" role="application" aria-label="Controles de la pantalla"></div>
</div></div>
<div id="side">
  <section>
    <h2>Estado</h2>
    <div id="status">cargando…</div>
    <div id="message" role="status"></div>
  </section>
  <section>
    <h2>Consola</h2>
    <pre id="console" aria-label="console"></pre>
  </section>
  <section id="sensors">
    <h2>Sensores</h2>
    <div class="sensor"><label>Cámara: <input type="file" id="cameraFile" class="chooser" tabindex="-1" accept="image/png,image/jpeg" aria-label="camera picture"></label>
      <button type="button" id="cameraFileChoose" aria-label="camera choose">Elegir imagen…</button>
      <span id="cameraFileName" aria-label="camera file">Ningún archivo seleccionado</span>
      <button id="cameraSend" aria-label="camera">Usar como cámara</button>
      <span id="cameraStatus" role="status" aria-label="camera status"></span></div>
    <div class="sensor"><label>Código ante la cámara: <input id="codeText" aria-label="code text" size="16"></label>
      <select id="codeType" aria-label="code type">
        <option value="org.gs1.EAN-13">EAN-13</option><option value="org.gs1.EAN-8">EAN-8</option>
        <option value="org.gs1.UPC-E">UPC-E</option><option value="org.iso.Code128">Code 128</option>
        <option value="org.iso.Code39">Code 39</option><option value="org.iso.Code39Mod43">Code 39 mod 43</option>
        <option value="com.intermec.Code93">Code 93</option><option value="org.iso.QRCode">QR</option>
        <option value="org.iso.Aztec">Aztec</option><option value="org.iso.PDF417">PDF417</option>
        <option value="org.ansi.Interleaved2of5">Interleaved 2 of 5</option></select>
      <button id="codeSend" aria-label="code">Mostrar código</button></div>
    <div class="sensor">Álbum: <a id="albumLatest" href="/album/latest.png" download="almavel.png" aria-label="album download">Descargar la última imagen (PNG)</a></div>
    <div class="sensor"><label>Fotos: <input type="file" id="photoFile" class="chooser" tabindex="-1" accept="image/png,image/jpeg" aria-label="photo picture"></label>
      <button type="button" id="photoFileChoose" aria-label="photo choose">Elegir imagen…</button>
      <span id="photoFileName" aria-label="photo file">Ningún archivo seleccionado</span>
      <button id="photoSend" aria-label="photo">Elegir foto</button></div>
    <div class="sensor"><label for="notification">Notificación entrante (carga JSON):</label>
      <textarea id="notification" aria-label="notification payload">{"aps":{"alert":{"title":"Almavel","body":"Nueva oferta"}},"kdx.message_id":"m-1"}</textarea>
      <button id="notificationSend" aria-label="notification">Recibir notificación</button></div>
    <div class="sensor">Aplicación:
      <button id="background" aria-label="background">Segundo plano</button>
      <button id="foreground" aria-label="foreground">Primer plano</button></div>
  </section>
</div>
<script>
"use strict";
let shownVersion = -1, shownControls = "", shownScreen = null, busy = false, queue = Promise.resolve();
const controls = document.getElementById("controls");
const message = document.getElementById("message");
const appStates = { active: "activa", inactive: "inactiva", background: "en segundo plano" };

const gone = "el programa terminó o no responde";
// Nothing can be tapped once the program is gone; the next state it
// publishes (it answers again) brings the controls back.
function programGone() {
  document.getElementById("status").textContent = "Aplicación: " + gone;
  controls.replaceChildren();
  shownControls = "";
}

// Sends one input after the ones before it; resolves to the host's answer.
// A body given as a function is read when its turn comes.
function post(path, body, type) {
  queue = queue.then(async () => {
    const payload = typeof body === "function" ? body() : body;
    const r = await fetch(path, { method: "POST", headers: { "Content-Type": type || "application/json" },
                                  body: type ? payload : JSON.stringify(payload || {}) });
    const answer = await r.json().catch(() => ({ ok: r.ok, error: "respuesta HTTP " + r.status }));
    message.textContent = answer.ok ? "" : "Rechazado: " + answer.error;
    await update();
    return answer;
  }).catch(() => {
    message.textContent = "No se pudo enviar: " + gone;
    programGone();
    return { ok: false, error: gone };
  });
  return queue;
}

// A field's text as it is typed: edits made while one is on its way go
// together in the next, which carries the text as it is then.
const typing = new Map();
function sendText(name, screen, field) {
  const waiting = typing.has(name);
  typing.set(name, field.value);
  if (waiting) return;
  post("/type", () => {
    const text = typing.get(name);
    typing.delete(name);
    return { name: name, text: text, screen: screen };
  });
}

function place(el, e) {
  el.className = "hit";
  el.style.left = e.x + "px"; el.style.top = e.y + "px";
  el.style.width = e.w + "px"; el.style.height = e.h + "px";
  el.setAttribute("aria-label", e.name);
  el.dataset.name = e.name;
  if (e.text) el.title = e.text;
  el.disabled = busy || !e.enabled;
}

function build(elements, screen) {
  const focused = document.activeElement && controls.contains(document.activeElement) ? document.activeElement.dataset.name : null;
  controls.replaceChildren();
  controls.dataset.screen = screen;
  for (const e of elements) {
    let el;
    if (e.kind === "field") {
      el = document.createElement("input");
      el.type = e.secure ? "password" : "text";
      el.placeholder = e.placeholder || "";
      if (!e.secure) el.value = e.text;
      el.addEventListener("input", () => sendText(e.name, screen, el));
      el.addEventListener("keydown", ev => { if (ev.key === "Enter") el.blur(); });
    } else {
      el = document.createElement("button");
      el.type = "button";
      el.textContent = e.text || e.name;
      el.addEventListener("click", () => e.kind === "row" ? post("/row", { row: e.row, section: e.section, screen: screen })
                                                          : post("/tap", { name: e.name, screen: screen }));
    }
    place(el, e);
    controls.appendChild(el);
    if (focused && focused === e.name) el.focus();
  }
}

async function update() {
  const r = await fetch("/state");
  const state = await r.json();
  busy = state.ignoring;
  controls.classList.toggle("busy", busy);
  document.getElementById("status").textContent =
    "Aplicación: " + (appStates[state.appState] || state.appState) +
    (busy ? " · esperando al servidor (no admite toques)" : "");
  const key = JSON.stringify([state.elements, busy, state.screen]);
  if (key !== shownControls) {
    const active = document.activeElement;
    // A field being typed into is left alone while its screen shows.
    if (!(active && active.tagName === "INPUT" && controls.contains(active) && state.screen === shownScreen &&
          state.elements.some(e => e.name === active.dataset.name))) {
      build(state.elements, state.screen);
      shownControls = key;
      shownScreen = state.screen;
    }
  }
  if (state.version !== shownVersion) {
    shownVersion = state.version;
    document.getElementById("screen").src = "/screen.png?v=" + state.version;
  }
  const consoleBox = document.getElementById("console");
  consoleBox.textContent = state.console.join("\n");
  consoleBox.scrollTop = consoleBox.scrollHeight;
}

function sendFile(inputId, path) {
  const file = document.getElementById(inputId).files[0];
  if (!file) { message.textContent = "Elija una imagen primero"; return Promise.resolve({ ok: false }); }
  return file.arrayBuffer().then(bytes => post(path, bytes, file.type || "application/octet-stream"));
}
// The browser's own file controls speak its language, not the phone's:
// each stays hidden behind a button and a file name in Spanish.
for (const input of document.querySelectorAll("input.chooser")) {
  document.getElementById(input.id + "Choose").onclick = () => input.click();
  input.addEventListener("change", () => {
    document.getElementById(input.id + "Name").textContent =
      input.files.length ? input.files[0].name : "Ningún archivo seleccionado";
  });
}
// A phone's camera shows no sign when it sees no code; the panel does.
document.getElementById("cameraSend").onclick = () => sendFile("cameraFile", "/sensor/camera").then(answer => {
  if (!answer.ok) return;
  document.getElementById("cameraStatus").textContent =
    answer.codes ? "Códigos leídos: " + answer.codes : "No se encontró ningún código en la imagen";
});
document.getElementById("codeSend").onclick = () =>
  post("/sensor/code", JSON.stringify({type: document.getElementById("codeType").value,
                                       text: document.getElementById("codeText").value}), "application/json");
document.getElementById("photoSend").onclick = () => sendFile("photoFile", "/sensor/photo");
document.getElementById("notificationSend").onclick = () =>
  post("/sensor/notification", document.getElementById("notification").value, "application/json");
document.getElementById("background").onclick = () => post("/sensor/background");
document.getElementById("foreground").onclick = () => post("/sensor/foreground");

// Scrolling as on the phone: the wheel and a drag move the list under the
// pointer (a press that moves more than a few points is a drag, not a tap),
// and the arrow, page, Home and End keys move the screen's list while no
// text field has the focus. Moves made while one is on its way go together
// in the next, so a fast drag is not a request per pointer event.
const screenbox = document.getElementById("screenbox");
let scrollPending = null, scrollSending = false, press = null, dragged = false;
function screenPoint(ev) {
  const r = screenbox.getBoundingClientRect();
  return { x: ev.clientX - r.left, y: ev.clientY - r.top };
}
function sendScroll() {
  if (scrollSending || !scrollPending) return;
  const move = scrollPending;
  scrollPending = null;
  scrollSending = true;
  post("/scroll", move).finally(() => { scrollSending = false; sendScroll(); });
}
function scrollBy(point, dx, dy) {
  if (scrollPending) { scrollPending.dx += dx; scrollPending.dy += dy; }
  else scrollPending = { x: point.x, y: point.y, dx: dx, dy: dy };
  sendScroll();
}
screenbox.addEventListener("wheel", ev => {
  ev.preventDefault();
  const unit = ev.deltaMode === 1 ? 40 : ev.deltaMode === 2 ? 600 : 1;
  scrollBy(screenPoint(ev), ev.deltaX * unit, ev.deltaY * unit);
}, { passive: false });
controls.addEventListener("pointerdown", ev => {
  if (ev.button !== 0) return;
  press = { start: screenPoint(ev), last: screenPoint(ev), dragging: false };
});
window.addEventListener("pointermove", ev => {
  if (!press) return;
  const p = screenPoint(ev);
  if (!press.dragging && Math.hypot(p.x - press.start.x, p.y - press.start.y) < 6) return;
  press.dragging = dragged = true;
  // The content follows the pointer: a drag upwards shows what lies below.
  scrollBy(press.start, press.last.x - p.x, press.last.y - p.y);
  press.last = p;
});
function release() {
  press = null;
  // The click that ends a drag comes just after the release.
  setTimeout(() => { dragged = false; }, 0);
}
window.addEventListener("pointerup", release);
window.addEventListener("pointercancel", release);
controls.addEventListener("click", ev => {
  if (!dragged) return;
  ev.stopPropagation();
  ev.preventDefault();
}, true);
const scrollKeys = { ArrowDown: "down", ArrowUp: "up", PageDown: "pagedown", PageUp: "pageup", Home: "top", End: "bottom" };
document.addEventListener("keydown", ev => {
  const step = scrollKeys[ev.key];
  const active = document.activeElement;
  if (!step || ev.altKey || ev.ctrlKey || ev.metaKey ||
      (active && ["INPUT", "TEXTAREA", "SELECT"].includes(active.tagName))) return;
  ev.preventDefault();
  post("/scroll", { step: step });
});

const events = new EventSource("/events");
events.addEventListener("state", () => { update().catch(programGone); });
// The stream breaks when the program ends; it is tried again on its own.
events.addEventListener("error", () => { update().catch(programGone); });
update().catch(programGone);
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view webPageHTML() { return kPage; }

}  // namespace almavel
