// The page: a list of what arrived, pages per item, live through server-sent events.
"use strict";

const KINDS = ["event", "crash", "session", "transaction", "profile", "metrics", "client report"];
const main = document.getElementById("main");
const live = document.getElementById("live");
const state = { route: null, filter: "", latest: 0, onItem: null, recent: [] };

// Replaces the page's content; leaves out the sections that have nothing to show.
function show(...children) {
  main.replaceChildren();
  append(main, children);
}

function listRow(item) {
  return el("tr", { class: "item kind-" + item.kind.replace(/[^a-z]/g, "-"), "data-id": item.id },
    el("td", { class: "id" }, el("a", { href: itemLink(item.id) }, "#" + item.id)),
    el("td", null, badge(item.kind, "kind")),
    el("td", null, badge(item.level, "level")),
    el("td", { class: "title" }, el("a", { href: itemLink(item.id) }, item.title || "(untitled)"),
       item.attachments ? el("span", { class: "muted" }, " + " + item.attachments + " attachment" + (item.attachments > 1 ? "s" : "")) : null),
    el("td", { class: "release" }, item.release || ""),
    el("td", { class: "time" }, formatTime(item.time !== null && item.time !== undefined ? item.time : item.received)));
}

async function showList(params) {
  state.filter = params.get("kind") || "";
  const filters = el("div", { class: "filters" },
    ["", ...KINDS].map((kind) => el("a", {
      href: kind ? "#/?kind=" + encodeURIComponent(kind) : "#/",
      class: "filter" + (kind === state.filter ? " active" : ""),
      "data-kind": kind || "all",
    }, kind || "all")));
  const body = el("tbody", { id: "items" });
  const note = el("p", { class: "muted", id: "list-note" });
  const table = el("table", { class: "list" },
    el("thead", null, el("tr", null, ["", "Type", "Level", "Title", "Release", "Time"].map((h) => el("th", null, h)))),
    body);
  show(el("h1", null, "Received"), filters, table, note);
  const data = await fetchJson("/api/items?limit=500&kind=" + encodeURIComponent(state.filter));
  for (const item of data.items) body.appendChild(listRow(item));
  const describe = () => {
    const count = body.children.length;
    note.textContent = count === 0 ? "Nothing yet: send something to this receiver." :
      count + " item(s) shown" + (data.dropped ? "; " + data.dropped + " older item(s) made room for newer ones" : "");
  };
  describe();
  state.onItem = (item) => {
    if (state.filter && item.kind !== state.filter) return;
    if (body.querySelector('tr[data-id="' + Number(item.id) + '"]')) return;
    const row = listRow(item);
    row.classList.add("fresh");
    body.insertBefore(row, body.firstChild);
    while (body.children.length > 1000) body.removeChild(body.lastChild);
    describe();
  };
  // Items that came through the stream while the list was being fetched.
  for (const item of state.recent) if (item.id > data.latest) state.onItem(item);
}

async function showItem(id) {
  const item = await fetchJson("/api/items/" + Number(id));
  if (item.kind === "event" || item.kind === "crash") return showEvent(item);
  if (item.kind === "transaction") return showTransaction(item);
  if (item.kind === "profile") return showProfile(item);
  if (item.kind === "session") {
    location.hash = "#/sessions?sid=" + encodeURIComponent((item.payload && item.payload.sid) || "");
    return;
  }
  if (item.kind === "metrics") return showMetricsItem(item);
  if (item.kind === "client report") return showClientReport(item);
  return showGeneric(item);
}

function itemHeader(item, extra) {
  return el("div", { class: "item-header" },
    el("h1", null, item.title || "(untitled)"),
    el("div", { class: "facts" },
      badge(item.kind, "kind"), badge(item.level, "level"),
      item.release ? el("span", null, "release ", el("b", null, item.release)) : null,
      item.environment ? el("span", null, "environment ", el("b", null, item.environment)) : null,
      item.time ? el("span", null, formatTime(item.time)) : null,
      item.event_id ? el("span", { class: "mono" }, item.event_id) : null,
      el("span", { class: "muted" }, "received " + formatTime(item.received) + ", " + formatBytes(item.size)),
      extra),
    item.note ? el("p", { class: "warning" }, item.note) : null,
    relatedItems(item));
}

function relatedItems(item) {
  if (!item.related || item.related.length === 0) return null;
  return el("p", { class: "related" }, "With it: ",
    item.related.map((other) => el("a", { href: itemLink(other.id), class: "related-link" },
      badge(other.kind, "kind"), " ", other.title || "")));
}

function showGeneric(item) {
  show(itemHeader(item),
    section("Payload", keyValueTable(item.payload)),
    item.text ? section("Text", el("pre", null, item.text)) : null,
    attachmentsSection(item),
    section("Envelope header", keyValueTable(item.envelope_header)),
    rawJson(item.payload));
}

function showClientReport(item) {
  const report = isObject(item.payload) ? item.payload : {};
  const discarded = Array.isArray(report.discarded_events) ? report.discarded_events.filter(isObject) : [];
  show(itemHeader(item),
    section("Discarded (" + discarded.length + ")",
      el("table", { class: "discarded" },
        el("thead", null, el("tr", null, ["Category", "Reason", "Quantity"].map((h) => el("th", null, h)))),
        el("tbody", null, discarded.map((entry) => el("tr", null,
          el("td", null, text(entry.category)), el("td", null, text(entry.reason)), el("td", null, text(entry.quantity))))))),
    section("Envelope header", keyValueTable(item.envelope_header)),
    rawJson(item.payload));
}

function setLive(connected, message) {
  live.className = "live " + (connected ? "on" : "off");
  live.textContent = message;
}

function connectLive() {
  const source = new EventSource("/stream");
  source.addEventListener("hello", (event) => {
    const hello = JSON.parse(event.data);
    state.latest = Math.max(state.latest, hello.latest || 0);
    setLive(true, "live");
  });
  source.addEventListener("item", (event) => {
    const item = JSON.parse(event.data);
    state.latest = Math.max(state.latest, item.id);
    state.recent.push(item);
    if (state.recent.length > 200) state.recent.shift();
    setLive(true, "live · #" + item.id);
    if (state.onItem) state.onItem(item);
  });
  source.onerror = () => {
    setLive(false, "reconnecting…");
    // A refused stream is not retried by the browser itself.
    if (source.readyState === EventSource.CLOSED) setTimeout(connectLive, 2000);
  };
  window.addEventListener("pagehide", () => source.close(), { once: true });
}

async function route() {
  const hash = location.hash || "#/";
  const [path, query] = hash.slice(1).split("?");
  const params = new URLSearchParams(query || "");
  state.onItem = null;
  const section = path.startsWith("/item/") ? "item" : path === "/sessions" ? "sessions" :
    path === "/metrics" ? "metrics" : "list";
  for (const link of document.querySelectorAll("nav a")) {
    link.classList.toggle("active", link.dataset.nav === section);
  }
  try {
    if (section === "item") await showItem(path.slice("/item/".length));
    else if (section === "sessions") await showSessions(params);
    else if (section === "metrics") await showMetrics();
    else await showList(params);
  } catch (error) {
    show(el("h1", null, "Cannot show this"), el("p", { class: "warning" }, String(error.message || error)));
  }
  window.scrollTo(0, 0);
}

window.addEventListener("hashchange", route);
route();
connectLive();
