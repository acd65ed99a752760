// One supply's page: its readings as they come, its set-points, the plot of
// the last minutes, the guard's rules and trip, and, where the server lets
// the page control the supply and the token was given, its controls.

import { Connection, socketUrl } from "./connection.js";
import { Plot } from "./plot.js";

const REDRAW_EVERY_MS = 100; // the plot is drawn ten times a second at most
const SERIES = [
  { label: "voltage", unit: "V", color: "#1f5fbf" },
  { label: "current", unit: "A", color: "#bf5b1f" },
  { label: "power", unit: "W", color: "#2f8f3f" },
];
const RULES = {
  limit_voltage: "voltage limit",
  limit_current: "current limit's limit",
  slew_voltage: "voltage slew rate",
  slew_current: "current slew rate",
  trip_current: "trip above current",
  trip_power: "trip above power",
  trip_cc_after: "trip after constant current for",
  trip_overtemp: "trip on over-temperature",
  watchdog: "watchdog",
  soft_start: "soft start",
};

const $ = (id) => document.getElementById(id);
const tokenKey = `qm4410 token ${window.location.pathname}`;
let plot = null;
let drawn = 0;
let drawing = false;

const connection = new Connection(socketUrl("ws"), {
  hello: showHello,
  reading: showReading,
  state: showState,
});
const remembered = window.sessionStorage.getItem(tokenKey);
if (remembered) connection.token = remembered;

function showState(words, kind) {
  $("link-state").textContent = words;
  $("link-state").dataset.kind = kind;
  if (kind === "refused") {
    window.sessionStorage.removeItem(tokenKey);
    say(`refused: ${words}`, true);
  }
}

function showHello(hello) {
  $("identity").textContent = hello.identity ? `${hello.identity} on ${hello.port}` : hello.port;
  for (const element of document.querySelectorAll(".control")) element.hidden = !hello.control;
  $("unlock-form").hidden = !hello.controllable || hello.control;
  showRules(hello);
  plot = new Plot($("plot"), SERIES, hello.history_s, hello.history_points);
  plot.replace(hello.history);
  if (hello.reading) showReading(hello.reading);
  else redraw();
}

function showRules(hello) {
  const list = $("rules");
  list.replaceChildren();
  const shown = Object.entries(hello.rules).filter(([, value]) => value !== null && value !== false);
  for (const [name, value] of shown) {
    const unit = hello.units[name] || "";
    term(list, RULES[name] || name, value === true ? "on" : `${value} ${unit}`);
  }
  for (const [quantity, rate] of Object.entries(hello.slew)) {
    if (rate !== null && rate !== hello.rules[`slew_${quantity}`]) {
      term(list, `${quantity} slew rate in force`, `${rate} ${quantity === "voltage" ? "V/s" : "A/s"}`);
    }
  }
  if (!shown.length) term(list, "rules", "none: only what the supply cannot take is refused");
}

function term(list, name, value) {
  const dt = document.createElement("dt");
  dt.textContent = name;
  const dd = document.createElement("dd");
  dd.textContent = value;
  list.append(dt, dd);
}

function showReading(reading) {
  const status = reading.status;
  document.body.classList.toggle("unanswered", !reading.connected);
  if (status) {
    $("measured-voltage").textContent = status.measured_voltage.toFixed(3);
    $("measured-current").textContent = status.measured_current.toFixed(3);
    $("measured-power").textContent = status.power.toFixed(3);
    $("mode").textContent = status.mode;
    $("output").textContent = status.output ? "on" : "off";
    $("over-temperature").textContent = status.over_temperature ? "yes" : "no";
    $("fan").textContent = String(status.fan_speed);
    $("remote").textContent = status.remote ? "remote" : "front panel";
    $("set-voltage").textContent = status.voltage.toFixed(3);
    $("set-current").textContent = status.current_limit.toFixed(3);
    $("max-voltage").textContent = status.max_voltage.toFixed(3);
    $("output-setting").textContent = status.output ? "on" : "off";
    if (plot) plot.add(reading.at, [status.measured_voltage, status.measured_current, status.power]);
  } else {
    $("link-state").textContent = "the supply does not answer";
  }
  for (const quantity of ["voltage", "current"]) {
    $(`ramping-${quantity}`).hidden = !reading.ramping[quantity];
    const bound = reading.bounds[quantity];
    const unit = quantity === "voltage" ? "V" : "A";
    $(`bound-${quantity}`).textContent = bound === null ? "" : `up to ${bound.toFixed(3)} ${unit}`;
  }
  const trip = reading.trip;
  $("trip-banner").hidden = !trip;
  if (trip) {
    $("trip-name").textContent = trip.name;
    $("trip-reason").textContent = `${trip.reason}; ${trip.output}`;
  }
  redraw();
}

function redraw() {
  if (drawing || !plot) return;
  drawing = true;
  const wait = Math.max(0, drawn + REDRAW_EVERY_MS - performance.now());
  setTimeout(() => {
    window.requestAnimationFrame(() => {
      plot.draw();
      drawn = performance.now();
      drawing = false;
    });
  }, wait);
}

function say(words, refused = false) {
  $("message").textContent = words;
  $("message").classList.toggle("refused", refused);
}

async function ask(request, what) {
  say(`${what}…`);
  const answer = await connection.request(request);
  say(answer.type === "done" ? `${what}: done` : `${what}: refused: ${answer.error}`, answer.type !== "done");
}

function setPoint(quantity, input) {
  return (event) => {
    event.preventDefault();
    if (input.value.trim() === "") return;
    const value = Number(input.value);
    const unit = quantity === "voltage" ? "V" : "A";
    ask({ type: "set", quantity, value }, `${quantity} ${input.value} ${unit}`);
  };
}

$("voltage-form").addEventListener("submit", setPoint("voltage", $("voltage-input")));
$("current-form").addEventListener("submit", setPoint("current", $("current-input")));
$("output-on").addEventListener("click", () => ask({ type: "output", on: true }, "output on"));
$("output-off").addEventListener("click", () => ask({ type: "output", on: false }, "output off"));
$("clear-trip").addEventListener("click", () => ask({ type: "clear" }, "clearing the trip"));
$("unlock-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const token = $("token").value;
  $("token").value = "";
  window.sessionStorage.setItem(tokenKey, token);
  say("");
  connection.reconnect(token);
});
window.addEventListener("resize", redraw);
