// A rack's overview: a row per supply, each fed by its own page's readings.

import { Connection, socketUrl } from "./connection.js";

for (const row of document.querySelectorAll("tr[data-supply]")) {
  const cell = (name) => row.querySelector(`.${name}`);
  new Connection(socketUrl(`${encodeURIComponent(row.dataset.supply)}/ws`), {
    hello: () => {},
    state: (words, kind) => {
      cell("state").textContent = kind === "open" ? "served" : "not served now";
    },
    reading: (reading) => {
      const status = reading.status;
      row.classList.toggle("tripped", Boolean(reading.trip));
      cell("state").textContent = reading.connected ? "answering" : "not answering";
      cell("v").textContent = status ? status.measured_voltage.toFixed(3) : "";
      cell("i").textContent = status ? status.measured_current.toFixed(3) : "";
      cell("p").textContent = status ? status.power.toFixed(3) : "";
      cell("output").textContent = status ? (status.output ? "on" : "off") : "";
      cell("mode").textContent = status ? status.mode : "";
      cell("latched").textContent = reading.trip ? `${reading.trip.name}: ${reading.trip.reason}` : "";
    },
  });
}
