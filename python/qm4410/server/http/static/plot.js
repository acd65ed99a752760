// Voltage, current and power over the last minutes, one panel each on a
// canvas, with nothing but the canvas API. The history is
// bounded by its span and by a number of points, so a page left open for
// days keeps the same memory.

const PANEL_GAP = 8;
const LEFT = 64;
const FONT = "12px system-ui, sans-serif";

export class Plot {
  // series: [{label, unit, color, digits}] in the order of a point's values.
  constructor(canvas, series, spanS, mostPoints) {
    this.canvas = canvas;
    this.series = series;
    this.spanS = spanS;
    this.mostPoints = mostPoints;
    this.times = [];
    this.values = series.map(() => []);
  }

  // points: [[t, value, value, ...]], oldest first.
  replace(points) {
    this.times = [];
    this.values = this.series.map(() => []);
    for (const point of points) this.add(point[0], point.slice(1));
  }

  add(t, values) {
    const last = this.times.length ? this.times[this.times.length - 1] : -Infinity;
    if (t <= last) return;
    this.times.push(t);
    values.forEach((value, index) => this.values[index].push(value));
    this.trim(t);
  }

  trim(now) {
    let drop = 0;
    while (drop < this.times.length && this.times[drop] < now - this.spanS) drop++;
    drop = Math.max(drop, this.times.length - this.mostPoints);
    if (drop > 0) {
      this.times.splice(0, drop);
      for (const values of this.values) values.splice(0, drop);
    }
  }

  draw() {
    const canvas = this.canvas;
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const context = canvas.getContext("2d");
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, width, height);
    context.font = FONT;
    const now = this.times.length ? this.times[this.times.length - 1] : 0;
    const panelHeight = (height - PANEL_GAP * (this.series.length - 1) - 16) / this.series.length;
    this.series.forEach((series, index) => {
      const top = index * (panelHeight + PANEL_GAP);
      this.panel(context, series, this.values[index], now, LEFT, top, width - LEFT - 4, panelHeight);
    });
    context.fillStyle = "#555";
    context.textAlign = "left";
    context.fillText(`−${Math.round(this.spanS / 60)} min`, LEFT, height - 2);
    context.textAlign = "right";
    context.fillText("now", width - 4, height - 2);
  }

  panel(context, series, values, now, left, top, width, height) {
    let most = 0;
    for (const value of values) if (value > most) most = value;
    const scale = niceCeiling(most);
    context.strokeStyle = "#ccc";
    context.strokeRect(left, top, width, height);
    context.fillStyle = "#333";
    context.textAlign = "right";
    context.fillText(`${scale.toPrecision(3)} ${series.unit}`, left - 6, top + 12);
    context.fillText(`0 ${series.unit}`, left - 6, top + height);
    context.textAlign = "left";
    context.fillStyle = series.color;
    context.fillText(series.label, left + 6, top + 14);
    if (!values.length) return;
    context.beginPath();
    context.strokeStyle = series.color;
    context.lineWidth = 1.5;
    values.forEach((value, index) => {
      const x = left + width * (1 - (now - this.times[index]) / this.spanS);
      const y = top + height * (1 - value / scale);
      if (index === 0) context.moveTo(x, y);
      else context.lineTo(x, y);
    });
    context.stroke();
  }
}

// The smallest of 1, 2 and 5 times a power of ten at or above `value`.
function niceCeiling(value) {
  if (!(value > 0)) return 1;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 5, 10]) if (step * power >= value) return step * power;
  return 10 * power;
}
