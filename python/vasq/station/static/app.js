// vasq-station's page: everything it shows and does goes through the station's JSON API (/api/openapi.json).
"use strict";

const RATE = 200;            // samples a second
const WINDOW = 10;           // seconds of live plot
const KEEP = RATE * WINDOW;  // samples a tile keeps
const POLL_MS = 500;         // how often runs in progress are asked for

// ---- the API ---------------------------------------------------------------------------------------------------

const auth = { token: localStorage.getItem("vasq-token") || "" };

class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(method, path, body) {
  const headers = {};
  if (auth.token) headers["Authorization"] = "Bearer " + auth.token;
  const options = { method, headers, cache: "no-store" };
  if (body !== undefined) {
    headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    serverState(false);
    throw new ApiError(0, "the station does not answer");
  }
  serverState(true);
  const type = response.headers.get("Content-Type") || "";
  const data = type.startsWith("application/json") ? await response.json() : await response.blob();
  if (response.status === 401) showToken();
  if (!response.ok) throw new ApiError(response.status, (data && data.error) || response.statusText);
  return data;
}

function serverState(up) {
  const state = document.getElementById("server-state");
  state.textContent = up ? "" : "the station does not answer";
  state.classList.toggle("down", !up);
}

function say(text, ok) {
  const message = document.getElementById("message");
  message.textContent = text;
  message.classList.toggle("ok", !!ok);
  message.hidden = !text;
  clearTimeout(say.timer);
  if (text) say.timer = setTimeout(() => { message.hidden = true; }, ok ? 4000 : 12000);
}

// ---- small helpers ---------------------------------------------------------------------------------------------

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === "class") node.className = value;
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else if (key === "text") node.textContent = value;
    else node.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function num(value, unit) {
  if (value === null || value === undefined) return "–";
  const text = Number.isInteger(value) ? String(value) : String(Math.round(value * 100) / 100);
  return unit ? `${text} ${unit}` : text;
}

function when(iso) {
  if (!iso) return "–";
  const d = new Date(iso);
  const pad = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function limits(m) {
  if (m.quantity === "answer") return "as expected";
  const low = m.low, high = m.high;
  if (low === null && high === null) return "none";
  if (low !== null && high !== null && low === -high) return `±${num(high)}`;
  if (low === null) return `≤ ${num(high)}`;
  if (high === null) return `≥ ${num(low)}`;
  return `${num(low)} to ${num(high)}`;
}

function measureText(m, unit) {
  const what = m.quantity + (m.point ? ` at ${m.point}` : "");
  if (m.quantity === "answer") return `${what}: ${m.measured ? "yes" : "no"} (expected ${m.expected ? "yes" : "no"})`;
  const u = m.quantity === "heart rate" ? "bpm" : unit;
  return `${what}: expected ${num(m.expected)}, measured ${num(m.measured)}, judged ${num(m.value)} ${u} (limit ${limits(m)})` +
    (m.note ? ` – ${m.note}` : "");
}

function verdictBadge(verdict) {
  return el("span", { class: `verdict ${verdict}`, text: verdict === "not-run" ? "not run" : verdict });
}

function monitorText(dut) {
  const parts = [];
  for (const key of ["model", "serial", "asset"]) if (dut && dut[key]) parts.push(dut[key]);
  return parts.join(" / ") || "–";
}

function setPointText(setPoint, unit) {
  if (!setPoint) return "";
  if ("systolic" in setPoint) {
    return `${num(setPoint.systolic)}/${num(setPoint.diastolic)} ${unit}, ${num(setPoint.heart_rate)} bpm` +
      (setPoint.repeat ? `, repeat ${setPoint.repeat}` : "") + (setPoint.patient ? ` (${setPoint.patient})` : "");
  }
  return num(setPoint.pressure, unit);
}

// Downloads go through fetch, so that they carry the token.
async function download(path, name) {
  try {
    const blob = await api("GET", path);
    const url = URL.createObjectURL(blob);
    const link = el("a", { href: url, download: name });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    say(`${name} downloaded`, true);
  } catch (error) {
    say(`${name}: ${error.message}`);
  }
}

// ---- plots -----------------------------------------------------------------------------------------------------

// Thins samples to a minimum and a maximum per pixel column, in the order they came: what a line of that width
// can show, peaks included.
function decimate(xs, ys, count, columns) {
  if (count <= 2 * columns) return [Array.from(xs.subarray(0, count)), Array.from(ys.subarray(0, count), (v) => (Number.isNaN(v) ? null : v))];
  const outX = [], outY = [];
  for (let c = 0; c < columns; c++) {
    const a = Math.floor((c * count) / columns), b = Math.floor(((c + 1) * count) / columns);
    let lo = -1, hi = -1;
    for (let i = a; i < b; i++) {
      const v = ys[i];
      if (Number.isNaN(v)) continue;
      if (lo < 0 || v < ys[lo]) lo = i;
      if (hi < 0 || v > ys[hi]) hi = i;
    }
    if (lo < 0) { outX.push(xs[a]); outY.push(null); continue; }
    const first = Math.min(lo, hi), second = Math.max(lo, hi);
    outX.push(xs[first]); outY.push(ys[first]);
    if (second !== first) { outX.push(xs[second]); outY.push(ys[second]); }
  }
  return [outX, outY];
}

function pressureRange(min, max) {
  if (min === null || max === null || !Number.isFinite(min)) return [0, 20];
  const span = Math.max(max - min, 10);
  const pad = span * 0.1;
  return [Math.floor(min - pad), Math.ceil(min + span + pad)];
}

function chart(target, unit, width, height, xLabel) {
  return new uPlot({
    width, height,
    legend: { show: false },
    cursor: { show: false },
    scales: { x: { time: false }, y: { range: (u, min, max) => pressureRange(min, max) } },
    axes: [{ label: xLabel, size: 34, labelSize: 16 }, { label: unit, size: 52, labelSize: 16 }],
    series: [{}, { stroke: "#1f4e9a", width: 1.5, spanGaps: false, points: { show: false } }],
  }, [[], []], target);
}

// ---- instruments and their tiles ------------------------------------------------------------------------------

const tiles = new Map();

class Tile {
  constructor(info) {
    this.serial = info.serial;
    this.values = new Float64Array(KEEP).fill(NaN);
    this.next = -1;          // the number of the next sample expected
    this.received = 0;
    this.gaps = 0;
    this.draws = 0;
    this.dirty = false;
    this.lastDraw = 0;
    this.unit = info.unit;
    this.build();
    this.update(info);
    this.connect();
  }

  build() {
    this.pressure = el("span", { class: "tile-pressure" }, "–");
    this.badge = el("span", { class: "badge" });
    this.port = el("span", { class: "tile-port" });
    this.unitText = el("span", { class: "tile-unit" });
    this.calibration = el("span", { class: "overdue" });
    this.activity = el("div", { class: "tile-activity" });
    this.plotBox = el("div", { class: "tile-plot" });
    this.setpoint = el("input", { type: "number", step: "any", min: "0", placeholder: "pressure",
      "aria-label": "static pressure", onkeydown: (e) => { if (e.key === "Enter") { e.preventDefault(); this.hold(); } } });
    this.holdButton = el("button", { type: "button", class: "hold", onclick: () => this.hold() }, "Hold");
    this.releaseButton = el("button", { type: "button", class: "release secondary", onclick: () => this.release() }, "Release");
    this.runButton = el("a", { href: `#/new?instrument=${encodeURIComponent(this.serial)}`, class: "start-run" }, "Start a run here");
    this.node = el("div", { class: "tile", id: `tile-${this.serial}`, "data-serial": this.serial },
      el("div", { class: "tile-head" }, el("span", { class: "tile-serial" }, this.serial), this.badge, this.port,
        this.unitText, this.calibration, this.pressure),
      this.activity, this.plotBox,
      el("div", { class: "tile-controls" }, "Static pressure", this.setpoint, this.unitLabel = el("span"),
        this.holdButton, this.releaseButton, this.runButton));
    document.getElementById("tiles").append(this.node);
    this.plot = chart(this.plotBox, this.unit, 420, 180, "s");
  }

  update(info) {
    this.info = info;
    this.node.classList.toggle("lost", !info.connected);
    if (!info.connected) this.pressure.replaceChildren("–");
    this.badge.textContent = info.connected ? "connected" : "lost";
    this.badge.className = "badge " + (info.connected ? "connected" : "lost");
    this.port.textContent = info.port === null || info.port === undefined || info.port < 0 ? "no port" : `ttyACM${info.port}`;
    this.setUnit(info.unit);
    this.calibration.textContent = info.calibration_overdue ? `calibration overdue (${info.calibration_due})` : "";
    const activity = info.activity;
    this.activity.replaceChildren();
    if (!info.connected) {
      this.activity.append("Lost: unplugged or not answering. Its run, if any, has ended as an error.");
    } else if (activity && activity.kind === "run") {
      this.activity.append(el("a", { href: `#/runs/${activity.run}` }, `run ${activity.run ?? ""}`), ` (${activity.procedure})`,
        activity.step_name ? `: ${activity.step_name}` : "",
        activity.set_point ? `, set ${setPointText(activity.set_point, this.unit)}` : "");
    } else if (activity && activity.kind === "static") {
      this.activity.append(`holding ${num(activity.pressure, activity.unit)} from this tile (${String(activity.status).replace(/_/g, " ")})`);
    } else {
      this.activity.append(el("span", { class: "quiet" }, "idle"));
    }
    const busyRun = activity && activity.kind === "run";
    this.holdButton.disabled = !info.connected || !!activity;
    this.releaseButton.disabled = !info.connected || busyRun;
    this.setpoint.disabled = !info.connected || !!activity;
    this.node.dataset.activity = activity ? activity.kind : "idle";
  }

  setUnit(unit) {
    if (unit === this.unit && this.unitText.textContent) return;
    this.unit = unit;
    this.unitText.textContent = unit;
    if (this.unitLabel) this.unitLabel.textContent = unit;
    this.setpoint.step = unit === "kPa" ? "0.1" : "1";
  }

  connect() {
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    const from = this.next >= 0 ? `?from=${this.next}` : "";
    const protocols = ["vasq-pressure"];
    if (auth.token) protocols.push("bearer." + auth.token);
    const socket = new WebSocket(`${scheme}//${location.host}/api/instruments/${encodeURIComponent(this.serial)}/pressure${from}`, protocols);
    this.socket = socket;
    socket.onmessage = (event) => this.message(JSON.parse(event.data));
    socket.onclose = () => {
      if (this.socket === socket && !this.closed) setTimeout(() => this.connect(), 2000);
    };
  }

  message(m) {
    if (m.type === "samples") {
      if (this.next >= 0 && m.first > this.next) this.blank(this.next, m.first);
      for (let i = 0; i < m.values.length; i++) this.values[(m.first + i) % KEEP] = m.values[i];
      this.next = m.first + m.values.length;
      this.received += m.values.length;
      this.pressure.replaceChildren(num(m.values[m.values.length - 1]), " ", el("small", {}, this.unit));
      this.dirty = true;
    } else if (m.type === "gap") {
      this.gaps++;
      this.blank(m.from, m.to);
      this.next = Math.max(this.next, m.to);
    } else if (m.type === "hello" || m.type === "status") {
      if (m.type === "hello" && this.next < 0) this.next = m.first;
      if (this.info && (this.info.connected !== m.connected || this.info.unit !== m.unit)) {
        this.update(Object.assign({}, this.info, { connected: m.connected, unit: m.unit }));
      }
    }
    this.node.dataset.next = String(this.next);
    this.node.dataset.gaps = String(this.gaps);
  }

  blank(from, to) {
    for (let n = Math.max(from, to - KEEP); n < to; n++) this.values[n % KEEP] = NaN;
  }

  draw(now) {
    if (!this.dirty || now - this.lastDraw < 45 || this.next < 0) return;
    this.dirty = false;
    this.lastDraw = now;
    const count = Math.min(this.next, KEEP);
    const xs = new Float64Array(count), ys = new Float64Array(count);
    const start = this.next - count;
    for (let i = 0; i < count; i++) {
      xs[i] = (start + i - this.next) / RATE;
      ys[i] = this.values[(start + i) % KEEP];
    }
    const width = Math.max(200, this.plotBox.clientWidth || 420);
    if (width !== this.plot.width) this.plot.setSize({ width, height: 180 });
    this.plot.batch(() => {
      this.plot.setData(decimate(xs, ys, count, width), false);
      this.plot.setScale("x", { min: -WINDOW, max: 0 });
    });
    this.draws++;
    this.node.dataset.draws = String(this.draws);
  }

  async hold() {
    const value = Number(this.setpoint.value);
    if (this.setpoint.value === "" || !Number.isFinite(value)) { say(`${this.serial}: give the pressure to hold`); return; }
    try {
      this.update(await api("POST", `/api/instruments/${encodeURIComponent(this.serial)}/static`, { pressure: value }));
    } catch (error) { say(`${this.serial}: ${error.message}`); }
  }

  async release() {
    try {
      this.update(await api("POST", `/api/instruments/${encodeURIComponent(this.serial)}/stop`));
    } catch (error) { say(`${this.serial}: ${error.message}`); }
  }
}

function animate(now) {
  for (const tile of tiles.values()) tile.draw(now);
  requestAnimationFrame(animate);
}

async function refreshInstruments() {
  let list;
  try { list = await api("GET", "/api/instruments"); } catch (error) { return []; }
  for (const info of list) {
    const tile = tiles.get(info.serial);
    if (tile) tile.update(info); else tiles.set(info.serial, new Tile(info));
  }
  return list;
}

// ---- runs in progress ------------------------------------------------------------------------------------------

const cards = new Map();   // run id -> RunCard shown on the instruments view

class RunCard {
  constructor(run, container, withSteps) {
    this.id = run.id;
    this.withSteps = withSteps;
    this.title = el("span", { class: "title" });
    this.state = el("span");
    this.stopButton = el("button", { type: "button", class: "stop danger", onclick: () => this.stop() }, "Stop");
    this.current = el("div", { class: "run-current" });
    this.promptBox = el("div", { class: "prompt-box" });
    this.stepsBody = el("tbody");
    this.node = el("div", { class: "run-card", id: `run-${run.id}`, "data-run": run.id },
      el("div", { class: "run-head" }, el("a", { href: `#/runs/${run.id}` }, `Run ${run.id}`), this.title, this.state,
        this.stopButton),
      this.current, this.promptBox,
      el("table", { class: "steps" }, el("thead", {}, el("tr", {}, el("th", {}, "Step"), el("th", {}, "Verdict"),
        el("th", {}, "Measured"))), this.stepsBody));
    container.append(this.node);
    this.promptNumber = null;
    this.update(run);
  }

  update(run) {
    this.run = run;
    const unit = run.unit;
    this.title.textContent = `${run.title} (${run.procedure} ${run.version}) on ${run.instrument.serial}; monitor ${monitorText(run.dut)}`;
    this.state.replaceChildren(verdictBadge(run.verdict));
    this.node.className = `run-card ${run.verdict}`;
    this.node.dataset.verdict = run.verdict;
    this.stopButton.hidden = !run.running;
    this.current.hidden = !run.running;
    const c = run.current;
    this.current.replaceChildren(c ? el("span", {}, `Step ${c.position + 1} of ${run.steps.length}: `, el("b", {}, c.name),
      c.set_point ? el("span", {}, " – set point ", el("span", { class: "setpoint" }, setPointText(c.set_point, unit))) : " – starting")
      : el("span", { class: "quiet" }, run.running ? "between steps" : ""));
    this.showPrompt(run);
    const signature = JSON.stringify(run.steps.map((s) => [s.verdict, s.measurements.length, s.reason]));
    if (signature !== this.stepsSignature) {
      this.stepsSignature = signature;
      this.stepsBody.replaceChildren(...run.steps.map((s) => {
        const running = run.running && c && c.position === s.position;
        return el("tr", { "data-step": s.step },
          el("td", {}, s.name), el("td", {}, verdictBadge(running ? "running" : s.verdict === "not-run" && run.running ? "pending" : s.verdict)),
          el("td", { class: "measures" }, s.measurements.map((m) => el("div", {}, measureText(m, unit))),
            s.reason && s.verdict !== "pass" ? el("div", {}, s.reason) : null));
      }));
    }
  }

  showPrompt(run) {
    const p = run.prompt;
    if (!p) {
      if (this.promptNumber !== null) { this.promptBox.replaceChildren(); this.promptNumber = null; }
      return;
    }
    if (this.promptNumber === p.request) return;   // keeps what the person is typing
    this.promptNumber = p.request;
    const error = el("div", { class: "error" });
    const send = async (values) => {
      try {
        await api("POST", `/api/runs/${run.id}/readings`, Object.assign({ request: p.request }, values));
        this.promptBox.replaceChildren(el("div", { class: "prompt quiet" }, "Reading taken."));
        poll();
      } catch (e) { error.textContent = e.message; }
    };
    let body;
    if (p.kind === "operator-check") {
      body = el("form", { onsubmit: (e) => e.preventDefault() },
        el("button", { type: "button", class: "answer-yes", onclick: () => send({ answer: true }) }, "Yes"),
        el("button", { type: "button", class: "answer-no secondary", onclick: () => send({ answer: false }) }, "No"));
    } else {
      const keys = p.kind === "bp" ? ["systolic", "diastolic", "heart_rate"] : ["pressure"];
      const names = { pressure: "pressure", systolic: "SYS", diastolic: "DIA", heart_rate: "PULSE" };
      const inputs = keys.map((key) => el("input", { type: "number", step: "any", name: key, "aria-label": names[key],
        class: `reading-${key}` }));
      const submit = () => {
        const values = {};
        for (const input of inputs) {
          if (input.value === "" || !Number.isFinite(Number(input.value))) { error.textContent = `give ${names[input.name]} as a number`; input.focus(); return; }
          values[input.name] = Number(input.value);
        }
        send(values);
      };
      inputs.forEach((input, i) => input.addEventListener("keydown", (e) => {
        if (e.key !== "Enter") return;
        e.preventDefault();
        if (i + 1 < inputs.length) inputs[i + 1].focus(); else submit();
      }));
      body = el("form", { onsubmit: (e) => { e.preventDefault(); submit(); } },
        keys.map((key, i) => el("label", { class: "reading" }, p.kind === "bp" ? `${names[key]} ` : "", inputs[i],
          key === "heart_rate" ? " bpm" : ` ${p.unit}`)),
        el("button", { type: "submit", class: "submit-reading" }, "Enter the reading"));
      setTimeout(() => { if (document.activeElement === document.body || !document.activeElement) inputs[0].focus(); }, 0);
    }
    const e = p.expected;
    const expected = p.kind === "static" ? `${num(e.pressure)} ${p.unit}` :
      p.kind === "bp" ? `${num(e.systolic)}/${num(e.diastolic)} ${p.unit}, ${num(e.heart_rate)} bpm` : "";
    const question = p.kind === "static" ? "The instrument holds the pressure. What does the monitor show?" :
      p.kind === "bp" ? `Simulated measurement ${p.repeat}: what does the monitor show (SYS/DIA/PULSE)?` : p.question;
    this.promptBox.replaceChildren(el("div", { class: "prompt", "data-request": p.request, "data-kind": p.kind },
      el("div", { class: "question" }, `${p.step}: ${question}`),
      expected ? el("div", {}, "Expected: ", el("span", { class: "expected" }, expected)) : null,
      body, error));
  }

  async stop() {
    if (!this.confirming) {
      this.confirming = true;
      this.stopButton.textContent = "Stop the run? Click again";
      setTimeout(() => { this.confirming = false; this.stopButton.textContent = "Stop"; }, 4000);
      return;
    }
    this.stopButton.disabled = true;
    try {
      const run = await api("POST", `/api/runs/${this.id}/stop`);
      this.update(run);
      say(`run ${this.id} stopped: the pressure is released, the run recorded as aborted`, true);
    } catch (error) { say(`run ${this.id}: ${error.message}`); }
    this.stopButton.disabled = false;
  }
}

async function poll() {
  let active;
  try { active = await api("GET", "/api/runs?active=true"); } catch (error) { return; }
  const container = document.getElementById("active-runs");
  const seen = new Set();
  for (const run of active) {
    seen.add(run.id);
    const card = cards.get(run.id);
    if (card) card.update(run); else cards.set(run.id, new RunCard(run, container, false));
  }
  // A run that has ended stays on the page with its verdict until the page is reloaded.
  for (const [id, card] of cards) {
    if (!seen.has(id) && card.run.running) {
      try { card.update(await api("GET", `/api/runs/${id}`)); } catch (error) { /* shown next time */ }
    }
  }
  document.getElementById("no-runs").hidden = cards.size > 0;
  if (page.run && page.run.running) showRun(page.run.id, true);
}

// ---- the new run form -----------------------------------------------------------------------------------------

const form = {
  fields: ["form-asset", "form-model", "form-serial", "form-procedure", "form-instrument", "form-technician", "form-start"],

  setUp() {
    const node = document.getElementById("run-form");
    node.addEventListener("submit", (e) => { e.preventDefault(); form.start(); });
    // A barcode scanner types fast and ends with Enter: Enter moves on to the next field, and only the start
    // button starts.
    for (let i = 0; i + 1 < form.fields.length; i++) {
      document.getElementById(form.fields[i]).addEventListener("keydown", (e) => {
        if (e.key !== "Enter") return;
        e.preventDefault();
        if (form.fields[i] === "form-asset") form.lookUp();
        document.getElementById(form.fields[i + 1]).focus();
      });
    }
    document.getElementById("form-technician").value = localStorage.getItem("vasq-technician") || "";
  },

  async show(params) {
    const procedures = await api("GET", "/api/procedures").catch(() => []);
    const instruments = await api("GET", "/api/instruments").catch(() => []);
    const procedure = document.getElementById("form-procedure");
    const chosenProcedure = procedure.value;
    procedure.replaceChildren(...procedures.map((p) => el("option", { value: p.name, disabled: !!p.error, title: p.error },
      p.error ? `${p.name} (does not check)` : `${p.title} (${p.name} ${p.version}, ${p.steps.length} steps)`)));
    if (chosenProcedure) procedure.value = chosenProcedure;
    const instrument = document.getElementById("form-instrument");
    const wanted = params.get("instrument") || instrument.value;
    instrument.replaceChildren(...instruments.map((i) => el("option", { value: i.serial, disabled: !i.connected || !!i.activity },
      `${i.serial}${!i.connected ? " (lost)" : i.activity ? " (busy)" : ""}`)));
    const free = instruments.find((i) => i.serial === wanted && i.connected && !i.activity) ||
      instruments.find((i) => i.connected && !i.activity);
    if (free) instrument.value = free.serial;
    document.getElementById("form-note").textContent = free ? "" : "No instrument is free: every one is busy or lost.";
    document.getElementById("form-asset").focus();
  },

  // The last run of the scanned asset fills in the monitor's model and serial number, when they are empty.
  async lookUp() {
    const asset = document.getElementById("form-asset").value.trim();
    if (!asset) return;
    try {
      const [last] = await api("GET", `/api/runs?asset=${encodeURIComponent(asset)}&limit=1`);
      if (!last || document.getElementById("form-asset").value.trim() !== asset) return;
      for (const key of ["model", "serial"]) {
        const input = document.getElementById(`form-${key}`);
        if (!input.value && last.dut[key]) input.value = last.dut[key];
      }
    } catch (error) { /* nothing known of it */ }
  },

  async start() {
    const value = (id) => document.getElementById(id).value.trim();
    const dut = {};
    for (const key of ["asset", "model", "serial"]) if (value(`form-${key}`)) dut[key] = value(`form-${key}`);
    const technician = value("form-technician");
    localStorage.setItem("vasq-technician", technician);
    const button = document.getElementById("form-start");
    button.disabled = true;
    try {
      const run = await api("POST", "/api/runs", { procedure: value("form-procedure"), instrument: value("form-instrument"),
        dut, technician });
      for (const key of ["asset", "model", "serial"]) document.getElementById(`form-${key}`).value = "";
      say(`run ${run.id} started on ${run.instrument.serial}`, true);
      location.hash = `#/runs/${run.id}`;
    } catch (error) { say(`the run did not start: ${error.message}`); }
    button.disabled = false;
  },
};

// ---- results ---------------------------------------------------------------------------------------------------

async function showResults(query) {
  const title = document.getElementById("results-title");
  let runs;
  try {
    if (query) {
      title.textContent = `Runs of ${query}`;
      const [byAsset, bySerial] = await Promise.all([api("GET", `/api/runs?asset=${encodeURIComponent(query)}`),
        api("GET", `/api/runs?serial=${encodeURIComponent(query)}`)]);
      const all = new Map();
      for (const run of [...byAsset, ...bySerial]) all.set(run.id, run);
      runs = [...all.values()].sort((a, b) => (a.started < b.started ? 1 : -1));
    } else {
      title.textContent = "Today's runs";
      const midnight = new Date();
      midnight.setHours(0, 0, 0, 0);
      runs = await api("GET", `/api/runs?since=${encodeURIComponent(midnight.toISOString())}`);
    }
  } catch (error) { say(error.message); return; }
  const body = document.querySelector("#results-table tbody");
  body.replaceChildren(...runs.map((run) => el("tr", { "data-run": run.id, onclick: () => { location.hash = `#/runs/${run.id}`; } },
    el("td", {}, el("a", { href: `#/runs/${run.id}` }, String(run.id))), el("td", {}, when(run.started)),
    el("td", {}, `${run.title || run.procedure} ${run.version || ""}`), el("td", {}, monitorText(run.dut)),
    el("td", {}, run.instrument.serial), el("td", {}, run.station), el("td", {}, verdictBadge(run.verdict)))));
  document.getElementById("results-empty").hidden = runs.length > 0;
}

// ---- a run's page ----------------------------------------------------------------------------------------------

const page = { run: null, card: null, plotted: new Set() };

async function showRun(id, refresh) {
  let run;
  try { run = await api("GET", `/api/runs/${id}`); } catch (error) {
    document.getElementById("run-page").replaceChildren(el("p", {}, `Run ${id}: ${error.message}`));
    return;
  }
  const box = document.getElementById("run-page");
  if (!refresh || !page.run || page.run.id !== run.id) {
    page.plotted = new Set();
    page.plots = el("div", { class: "plots" });
    page.banner = el("div", { class: "banner", id: "run-verdict" });
    page.facts = el("table", { class: "facts" });
    page.liveBox = el("div", { class: "runs" });
    page.card = null;
    box.replaceChildren(el("h2", {}, `Run ${run.id}: ${run.title}`), page.banner, page.facts,
      el("div", { class: "downloads" },
        el("button", { type: "button", id: "download-pdf", onclick: () => download(`/api/runs/${run.id}/report.pdf`, `run-${run.id}.pdf`) }, "Report (PDF)"),
        el("button", { type: "button", class: "secondary", id: "download-html", onclick: () => download(`/api/runs/${run.id}/report.html`, `run-${run.id}.html`) }, "Report (HTML)")),
      page.liveBox, el("h2", {}, "Pressure traces"), page.plots);
  }
  page.run = run;
  page.banner.className = `banner ${run.verdict}`;
  page.banner.dataset.verdict = run.verdict;
  page.banner.textContent = run.running ? "RUNNING" : `${run.verdict.toUpperCase()}: ${run.reason || ""}`;
  const i = run.instrument;
  page.facts.replaceChildren(
    el("tr", {}, el("td", { class: "label" }, "Monitor"), el("td", {}, Object.entries(run.dut).map(([k, v]) => `${k} ${v}`).join(", ") || "–")),
    el("tr", {}, el("td", { class: "label" }, "Procedure"), el("td", {}, `${run.title} (${run.procedure}), version ${run.version}, in ${run.unit}`)),
    el("tr", {}, el("td", { class: "label" }, "Simulator"), el("td", {}, `${i.serial}, firmware ${i.firmware}, calibration due ${i.calibration_due || "not recorded"}`,
      i.calibration_overdue ? el("span", { class: "overdue" }, " CALIBRATION OVERDUE") : null)),
    el("tr", {}, el("td", { class: "label" }, "Technician"), el("td", {}, run.technician || "–")),
    el("tr", {}, el("td", { class: "label" }, "Station"), el("td", {}, `${run.station}${run.site ? ", " + run.site : ""}`)),
    el("tr", {}, el("td", { class: "label" }, "Started"), el("td", {}, `${when(run.started)}${run.ended ? ", ended " + when(run.ended) : ""}`)));
  if (page.card) page.card.update(run); else page.card = new RunCard(run, page.liveBox, true);
  for (const step of run.steps) {
    const done = step.verdict !== "not-run" || (!run.running && step.started);
    if (!done || !step.started || step.kind === "operator-check" || page.plotted.has(step.position)) continue;
    page.plotted.add(step.position);
    plotStep(run, step);
  }
}

async function plotStep(run, step) {
  const box = el("div", { class: "plot", "data-step": step.step },
    el("h3", {}, `${step.name} `, verdictBadge(step.verdict)));
  page.plots.append(box);
  try {
    const trace = await api("GET", `/api/runs/${run.id}/steps/${step.position}/trace`);
    const count = trace.samples.length;
    if (!count) { box.append(el("p", { class: "quiet" }, "no samples")); return; }
    const xs = new Float64Array(count), ys = Float64Array.from(trace.samples);
    for (let k = 0; k < count; k++) xs[k] = k / trace.rate;
    const width = Math.max(300, box.clientWidth - 20);
    const plot = chart(box, trace.unit, width, 200, "s");
    plot.setData(decimate(xs, ys, count, width));
  } catch (error) { box.append(el("p", {}, error.message)); }
}

// ---- the token -------------------------------------------------------------------------------------------------

function showToken() {
  document.getElementById("token-view").hidden = false;
  document.getElementById("token-input").focus();
}

// ---- routing ---------------------------------------------------------------------------------------------------

function route() {
  const [path, queryText] = (location.hash.slice(1) || "/").split("?");
  const params = new URLSearchParams(queryText || "");
  const views = { "instruments-view": false, "new-view": false, "results-view": false, "run-view": false };
  let nav = "";
  const match = path.match(/^\/runs\/(\d+)$/);
  if (match) { views["run-view"] = true; showRun(Number(match[1])); }
  else if (path === "/new") { views["new-view"] = true; nav = "nav-new"; form.show(params); }
  else if (path === "/results") { views["results-view"] = true; nav = "nav-results"; showResults(params.get("q") || ""); }
  else { views["instruments-view"] = true; nav = "nav-instruments"; page.run = null; }
  if (!match) page.run = null;
  for (const [id, shown] of Object.entries(views)) document.getElementById(id).hidden = !shown;
  for (const link of document.querySelectorAll("header nav a")) link.classList.toggle("current", link.id === nav);
}

async function start() {
  document.getElementById("token-form").addEventListener("submit", (e) => {
    e.preventDefault();
    auth.token = document.getElementById("token-input").value.trim();
    localStorage.setItem("vasq-token", auth.token);
    location.reload();
  });
  document.getElementById("search-form").addEventListener("submit", (e) => {
    e.preventDefault();
    location.hash = `#/results?q=${encodeURIComponent(document.getElementById("search-input").value.trim())}`;
  });
  document.getElementById("search-today").addEventListener("click", () => {
    document.getElementById("search-input").value = "";
    location.hash = "#/results";
  });
  form.setUp();
  try {
    const station = await api("GET", "/api/station");
    document.getElementById("station-name").textContent = station.station + (station.site ? `, ${station.site}` : "");
    document.title = `vasq-station ${station.station}`;
    if (station.token_required && !auth.token) showToken();
  } catch (error) { say(error.message); }
  window.addEventListener("hashchange", route);
  route();
  await refreshInstruments();
  setInterval(refreshInstruments, 1000);
  await poll();
  setInterval(poll, POLL_MS);
  requestAnimationFrame(animate);
  document.body.dataset.ready = "true";
}

start();
