// Sessions with their updates and release health; metrics as charts.
"use strict";

function percentText(ratio) {
  return typeof ratio === "number" && isFinite(ratio) ? (ratio * 100).toFixed(1) + " %" : "";
}

async function showSessions(params) {
  const data = await fetchJson("/api/sessions");
  const wanted = params.get("sid") || "";
  const releases = el("table", { class: "health" },
    el("thead", null, el("tr", null, ["Release", "Sessions", "Crash-free", "", "Crashed", "Abnormal", "Errored"].map((h) => el("th", null, h)))),
    el("tbody", null, data.releases.map((r) => {
      const meter = el("div", { class: "meter" }, el("div", { class: "meter-fill" }));
      meter.firstChild.style.width = Math.max(0, Math.min(100, r.crash_free_sessions * 100)) + "%";
      return el("tr", null, el("td", null, r.release || "(no release)"), el("td", null, String(r.sessions)),
        el("td", { class: "crash-free" }, percentText(r.crash_free_sessions)), el("td", null, meter),
        el("td", null, String(r.crashed)), el("td", null, String(r.abnormal)), el("td", null, String(r.errored)));
    })));
  const sessions = data.sessions.map((session) => {
    const box = el("details", { class: "session status-" + String(session.status).replace(/[^a-z]/g, ""), "data-sid": session.sid },
      el("summary", null, el("span", { class: "mono" }, session.sid), " ", badge(session.status, "status"),
        el("span", { class: "muted" }, " " + (session.release || "") + " · " + session.updates.length + " update(s) · errors " + session.errors)),
      el("table", { class: "updates" },
        el("thead", null, el("tr", null, ["Seq", "Status", "Init", "Errors", "Started", "Timestamp", "Duration", ""].map((h) => el("th", null, h)))),
        el("tbody", null, session.updates.map((u) => el("tr", null,
          el("td", null, String(u.seq)), el("td", null, badge(u.status, "status")), el("td", null, u.init ? "init" : ""),
          el("td", null, String(u.errors)), el("td", null, u.started), el("td", null, u.timestamp),
          el("td", null, typeof u.duration === "number" ? formatDuration(u.duration) : ""),
          el("td", { class: "muted" }, "#" + Number(u.id)))))));
    if (session.sid === wanted || data.sessions.length <= 3) box.open = true;
    return box;
  });
  show(el("h1", null, "Sessions"),
    section("Release health", data.releases.length ? releases : el("p", { class: "muted" }, "No sessions yet.")),
    section("Sessions (" + data.sessions.length + ")", sessions.length ? sessions : el("p", { class: "muted" }, "No sessions yet.")),
    data.malformed ? el("p", { class: "warning" }, data.malformed + " session update(s) without a session id") : null);
  state.onItem = (item) => { if (item.kind === "session") route(); };
}

function lineChart(points) {
  const width = 600, height = 160, pad = 36;
  const times = points.map((p) => p.time), values = points.map((p) => p.value);
  const t0 = Math.min(...times), t1 = Math.max(...times, t0 + 1);
  const v0 = Math.min(0, ...values), v1 = Math.max(...values, v0 + 1e-9);
  const x = (t) => pad + ((t - t0) / (t1 - t0)) * (width - 2 * pad);
  const y = (v) => height - pad / 2 - ((v - v0) / (v1 - v0)) * (height - pad);
  const path = points.map((p, i) => (i ? "L" : "M") + x(p.time).toFixed(1) + " " + y(p.value).toFixed(1)).join(" ");
  return svg("svg", { class: "chart", viewBox: "0 0 " + width + " " + height, width: "100%" },
    svg("line", { x1: pad, y1: y(v0), x2: width - pad, y2: y(v0), class: "chart-axis" }),
    svg("text", { x: 2, y: y(v1) + 4, class: "chart-label" }, String(+v1.toPrecision(4))),
    svg("text", { x: 2, y: y(v0), class: "chart-label" }, String(+v0.toPrecision(4))),
    svg("text", { x: pad, y: height - 2, class: "chart-label" }, formatTime(t0).slice(11, 19)),
    svg("text", { x: width - pad - 50, y: height - 2, class: "chart-label" }, formatTime(t1).slice(11, 19)),
    svg("path", { d: path, class: "chart-line" }),
    points.map((p) => svg("circle", { cx: x(p.time).toFixed(1), cy: y(p.value).toFixed(1), r: 3, class: "chart-point" },
      svg("title", null, formatTime(p.time) + ": " + p.value + (p.unit ? " " + p.unit : "") +
        (p.count > 1 ? " (" + p.count + " values)" : "") +
        (isObject(p.tags) && Object.keys(p.tags).length ? " " + JSON.stringify(p.tags) : "")))));
}

const METRIC_TYPES = { c: "counter (sum)", g: "gauge (last)", d: "distribution (mean)", s: "set (members)" };

async function showMetrics() {
  const data = await fetchJson("/api/metrics");
  show(el("h1", null, "Metrics"),
    data.metrics.length === 0 ? el("p", { class: "muted" }, "No metrics yet.") : null,
    data.metrics.map((metric) => el("section", { class: "card metric", "data-metric": metric.name },
      el("h2", null, metric.name, el("span", { class: "muted" }, " " + (METRIC_TYPES[metric.type] || metric.type) + (metric.unit ? " · " + metric.unit : "") + " · " + metric.points.length + " point(s)")),
      lineChart(metric.points))),
    data.malformed ? el("p", { class: "warning" }, data.malformed + " line(s) could not be read") : null);
  state.onItem = (item) => { if (item.kind === "metrics") route(); };
}

function showMetricsItem(item) {
  show(itemHeader(item),
    section("Statsd lines", el("pre", null, item.text || "")),
    el("p", null, el("a", { href: "#/metrics" }, "All metrics as charts")));
}
