// Drives the receiver's web view in headless Chromium. The receiver at
// argv[2] has already got a message, an error, a crash and a transaction from
// the example program; this script adds hostile and synthetic envelopes itself.
// Usage: node browser_test.mjs <receiver-url> <screenshot-dir>
// Exits 77 when Chromium cannot start.
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import zlib from "node:zlib";

const [base, shots] = process.argv.slice(2);
const executablePath = process.env.SKALD_CHROMIUM || "/usr/bin/chromium";
fs.mkdirSync(shots, { recursive: true });

let failures = 0;
function check(ok, what, detail) {
  console.log((ok ? "ok   " : "FAIL ") + what + (ok || detail === undefined ? "" : ": " + JSON.stringify(detail).slice(0, 400)));
  if (!ok) failures++;
}

function envelope(items) {
  let text = "{}";
  for (const [type, payload, extra] of items) {
    const bytes = Buffer.isBuffer(payload) ? payload : Buffer.from(payload);
    text = Buffer.concat([Buffer.from(text), Buffer.from("\n" + JSON.stringify({ type, length: bytes.length, ...(extra || {}) }) + "\n"), bytes]);
  }
  return Buffer.from(text);
}

async function post(items) {
  const response = await fetch(base + "/stream", {
    method: "POST",
    headers: { "Content-Encoding": "gzip", "Content-Type": "application/x-skald-envelope" },
    body: zlib.gzipSync(envelope(items)),
  });
  if (response.status !== 200) throw new Error("the receiver refused an envelope: " + response.status);
}

const hex = (n) => [...Array(n)].map(() => Math.floor(Math.random() * 16).toString(16)).join("");

const profileDir = fs.mkdtempSync(path.join(os.tmpdir(), "skald-webview-chromium-"));
let context;
try {
  context = await chromium.launchPersistentContext(profileDir, {
    executablePath,
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
} catch (error) {
  console.log("webview: skipped: Chromium cannot start: " + String(error.message).split("\n")[0]);
  process.exit(77);
}

const problems = [];
const dialogs = [];
await context.addInitScript(() => {
  window.__violations = [];
  document.addEventListener("securitypolicyviolation", (e) => window.__violations.push(e.violatedDirective + " " + e.blockedURI));
});
const page = context.pages()[0] || (await context.newPage());
page.on("pageerror", (error) => problems.push("page error: " + error.message));
page.on("console", (message) => { if (message.type() === "error") problems.push("console: " + message.text()); });
page.on("dialog", (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
// Nothing but the receiver may be asked for anything.
const foreign = [];
page.on("request", (request) => { if (!request.url().startsWith(base) && !request.url().startsWith("data:")) foreign.push(request.url()); });

const listRows = () => page.$$eval("#items tr", (rows) => rows.map((row) => ({
  id: Number(row.dataset.id),
  kind: row.querySelector(".badge.kind")?.textContent || "",
  title: row.querySelector("td.title a")?.textContent || "",
})));

// A fresh document each time, so that nothing of the page before is matched.
let loads = 0;
const injected = { pwned: [], violations: [] };
async function openItem(id, selector) {
  await page.goto(base + "/?load=" + ++loads + "#/item/" + Number(id));
  await page.waitForSelector(selector, { timeout: 10000 });
  const state = await page.evaluate(() => ({ pwned: window.__pwned, violations: window.__violations }));
  if (state.pwned !== undefined) injected.pwned.push(state.pwned);
  injected.violations.push(...state.violations);
}

try {
  // --- The list: what the example sent, and the filter.
  await page.goto(base + "/");
  await page.waitForSelector("#items tr", { timeout: 10000 });
  let rows = await listRows();
  const message = rows.find((r) => r.kind === "event" && r.title === "Hello from the example");
  const error = rows.find((r) => r.kind === "event" && r.title.includes("Save failed"));
  const crash = rows.find((r) => r.kind === "crash");
  const transaction = rows.find((r) => r.kind === "transaction" && r.title.startsWith("checkout"));
  check(message, "the list shows the message event", rows);
  check(error, "the list shows the error event", rows);
  check(crash, "the list shows the crash event", rows);
  check(transaction, "the list shows the transaction", rows);
  check(rows.length >= 2 && rows.every((r, i) => i === 0 || r.id < rows[i - 1].id), "newest first", rows.map((r) => r.id));
  await page.screenshot({ path: path.join(shots, "list.png"), fullPage: true });
  await page.click('a[data-kind="crash"]');
  await page.waitForFunction(() => document.querySelector('a.filter.active[data-kind="crash"]') && document.querySelectorAll("#items tr").length > 0);
  rows = await listRows();
  check(rows.length > 0 && rows.every((r) => r.kind === "crash"), "the crash filter shows crashes only", rows);

  // --- The crash page: the crashed thread's frames and its registers.
  if (crash) {
    await openItem(crash.id, ".thread.crashed");
    const functions = await page.$$eval(".thread.crashed .function", (nodes) => nodes.map((n) => n.textContent));
    check(functions.includes("exampleCrashNullPointer"), "the crashed thread's frames include exampleCrashNullPointer", functions.slice(0, 12));
    check(await page.$eval(".thread.crashed", (n) => n.open), "the crashed thread comes first, open");
    const inApp = await page.$$eval(".thread.crashed .frame.in-app .function", (nodes) => nodes.map((n) => n.textContent));
    check(inApp.includes("exampleCrashNullPointer"), "in-app frames are set apart", inApp);
    const registers = await page.$$eval(".thread.crashed .register .reg-name", (nodes) => nodes.map((n) => n.textContent));
    check(registers.includes("rip") && registers.includes("rsp"), "the crash page shows the crashed thread's registers", registers);
    check((await page.$$(".thread")).length > 1, "every thread has its stack");
    check(await page.isVisible("text=before the crash"), "the crash's breadcrumbs are shown");
    check(await page.evaluate(() => [...document.querySelectorAll("main > *")].length > 3 &&
      [...document.getElementById("main").childNodes].every((n) => n.nodeType === Node.ELEMENT_NODE)),
      "sections without content are left out, not written as text");
    await page.screenshot({ path: path.join(shots, "crash.png"), fullPage: true });
  }

  // --- The error page: the exception chain, breadcrumbs, tags, the attachment to download.
  if (error) {
    await openItem(error.id, ".exception");
    const chain = await page.$$eval(".exception .exc-type", (nodes) => nodes.map((n) => n.textContent));
    check(chain.length === 2 && chain[0] === "com.example" && chain[1] === "posix", "the exception chain, the error before its cause", chain);
    check(await page.isVisible(".timeline >> text=saving"), "breadcrumbs as a timeline");
    const tags = await page.$$eval("table.tags tr", (trs) => trs.map((tr) => tr.textContent));
    check(tags.includes("screeneditor"), "tags are listed", tags);
    const link = await page.$("a.attachment-link");
    check(link && (await link.textContent()) === "notes.txt", "the attachment is listed");
    if (link) {
      const body = await page.evaluate((href) => fetch(href).then((r) => r.text()), await link.getAttribute("href"));
      check(body === "a file the event carries\n", "the attachment downloads", body);
    }
    await page.screenshot({ path: path.join(shots, "event.png"), fullPage: true });
  }

  // --- The transaction page: one bar per span.
  if (transaction) {
    await openItem(transaction.id, ".waterfall .span-bar");
    const payload = await page.evaluate((id) => fetch("/api/items/" + id).then((r) => r.json()), transaction.id);
    const spans = payload.payload.spans || [];
    const bars = await page.$$eval(".waterfall .span-bar", (nodes) => nodes.map((n) => ({ cls: n.className, width: n.getBoundingClientRect().width })));
    check(spans.length >= 3 && bars.length === spans.length + 1, "one bar per span, and one for the transaction", { spans: spans.length, bars: bars.length });
    check(bars.every((b) => b.width > 0), "every bar has a width", bars);
    check(bars.some((b) => b.cls.includes("status-warn")), "the span left open is coloured as deadline_exceeded", bars);
    const indents = await page.$$eval(".waterfall .span-label", (nodes) => nodes.map((n) => parseInt(n.style.paddingLeft || "0", 10)));
    check(Math.max(...indents) >= 3 * 14, "nested spans are indented by depth", indents);
    await page.screenshot({ path: path.join(shots, "transaction.png"), fullPage: true });
  }

  // --- Live: an event sent while the list is open appears without a reload.
  await page.goto(base + "/");
  await page.waitForSelector("#items tr");
  await page.waitForSelector("#live.on", { timeout: 10000 });
  await page.evaluate(() => { window.__sameDocument = true; });
  const liveText = "Live " + Date.now();
  const exitCode = await new Promise((resolve) => {
    const child = spawn(process.env.SKALD_EXAMPLE, ["--flush", "5", "--message", liveText], { stdio: "ignore" });
    child.on("exit", (code) => resolve(code));
  });
  check(exitCode === 0, "the example sent a message while the page was open", exitCode);
  const appeared = await page.waitForFunction((text) => [...document.querySelectorAll("#items td.title a")].some((a) => a.textContent === text),
    liveText, { timeout: 20000 }).then(() => true, () => false);
  check(appeared, "the new event appears in the open list");
  check(await page.evaluate(() => window.__sameDocument === true), "without a reload");

  // --- Hostile data: shown as text, nothing of it runs.
  const evil = '<script>window.__pwned=1</script><img src=x onerror="window.__pwned=2">';
  const evilFile = '<img src=x onerror="window.__pwned=3">.html';
  const hostileId = hex(32);
  await post([
    ["event", JSON.stringify({
      event_id: hostileId, level: "fatal", release: evil, platform: evil,
      message: { formatted: evil }, tags: { [evil]: evil }, user: { id: evil, [evil]: 1 },
      breadcrumbs: [{ level: evil, category: evil, message: evil, data: { [evil]: evil } }],
      contexts: { [evil]: { [evil]: evil } },
      exception: { values: [{ type: evil, value: evil, stacktrace: { frames: [{ function: evil, in_app: true, instruction_addr: evil }] } }] },
      threads: { values: [{ id: evil, name: evil, crashed: true, stacktrace: { frames: [{ function: evil }], registers: { [evil]: evil } } }] },
    })],
    ["attachment", "<script>window.__pwned=4</script>", { filename: evilFile, content_type: "text/html" }],
  ]);
  // Wrong types everywhere, a huge message, a payload too large to keep, a deep one.
  await post([["event", JSON.stringify({ level: 5, message: "plain", exception: { values: [null, 5, "x"] }, threads: "none",
    breadcrumbs: { a: 1 }, tags: [1], contexts: 7, debug_meta: { images: [null] }, user: "u" })]]);
  await post([["event", JSON.stringify({ level: "error", message: { formatted: "Huge " + "A".repeat(3 * 1024 * 1024) + evil } })]]);
  await post([["event", JSON.stringify({ level: "error", message: { formatted: "B".repeat(17 * 1024 * 1024) } })]]);
  await post([["transaction", "[".repeat(20000) + "]".repeat(20000)]]);
  await page.waitForFunction(() => document.querySelectorAll("#items tr.fresh").length >= 5, null, { timeout: 10000 }).catch(() => {});
  rows = await listRows();
  const hostile = rows.find((r) => r.title === evil + ": " + evil);
  check(hostile, "a hostile title is shown as text in the list", rows.slice(0, 6));
  check(rows.some((r) => r.title.startsWith("Huge AAAA") && r.title.length < 400), "a huge title is cut", rows.slice(0, 6).map((r) => r.title.slice(0, 20)));
  if (hostile) {
    await openItem(hostile.id, ".exception");
    const texts = await page.evaluate(() => ({
      h1: document.querySelector("h1").textContent,
      tagKey: document.querySelector("table.tags th")?.textContent,
      file: document.querySelector("a.attachment-link")?.textContent,
      crumb: document.querySelector(".crumb-msg")?.textContent,
      register: document.querySelector(".register .reg-name")?.textContent,
      injected: document.querySelectorAll("main img, main script, main iframe").length,
    }));
    check(texts.h1 === evil + ": " + evil && texts.tagKey === evil && texts.crumb === evil && texts.register === evil,
      "tag keys, breadcrumbs and registers show the hostile text as text", texts);
    check(texts.file === evilFile, "a hostile file name is shown as text", texts.file);
    check(texts.injected === 0, "no element was made from the data", texts.injected);
    const download = await page.evaluate((href) => fetch(href).then((r) => ({ type: r.headers.get("content-type"), disposition: r.headers.get("content-disposition") })),
      await page.getAttribute("a.attachment-link", "href"));
    check(download.type === "application/octet-stream" && download.disposition.startsWith("attachment;"), "a hostile attachment downloads, never renders", download);
  }
  const notes = [];
  for (const row of rows.slice(0, 6)) {
    await openItem(row.id, ".item-header");
    notes.push(...(await page.$$eval(".warning", (nodes) => nodes.map((n) => n.textContent))));
  }
  check(notes.some((n) => n.includes("nested too deeply")) && notes.some((n) => n.includes("too large to keep")),
    "payloads too deep or too large to show say so", notes);
  await page.goto(base + "/?load=" + ++loads);
  await page.waitForSelector("#items tr");
  const state = await page.evaluate(() => ({ pwned: window.__pwned, violations: window.__violations }));
  check(injected.pwned.length === 0 && state.pwned === undefined, "no script from the data ran", injected.pwned);
  check(dialogs.length === 0, "no dialog opened", dialogs);
  check(injected.violations.length === 0 && state.violations.length === 0,
    "nothing was blocked by the content policy (nothing tried to run)", injected.violations);

  // --- A profile with its transaction draws a flame graph; metrics draw charts.
  const traceId = hex(32), root = hex(16), child = hex(16), txId = hex(32);
  const now = Date.now() / 1000;
  await post([
    ["transaction", JSON.stringify({ event_id: txId, type: "transaction", transaction: "profiled", start_timestamp: now - 1, timestamp: now,
      contexts: { trace: { trace_id: traceId, span_id: root, op: "task", status: "ok" } },
      spans: [{ trace_id: traceId, span_id: child, parent_span_id: root, op: "db.query", description: "SELECT 1", start_timestamp: now - 0.8, timestamp: now - 0.2, status: "internal_error" }] })],
    ["profile", JSON.stringify({ version: "1", platform: "cocoa", transaction: { id: txId, name: "profiled", trace_id: traceId },
      profile: { frames: [{ instruction_addr: "0x01", function: "main" }, { instruction_addr: "0x02", function: "work" }, { instruction_addr: "0x03" }],
        stacks: [[1, 0], [2, 1, 0], [0]], thread_metadata: { "7": { name: "main" } },
        samples: [0, 1, 1, 2, 0, 1].map((s, i) => ({ elapsed_since_start_ns: String(i * 1e7), thread_id: "7", stack_id: s })) } })],
  ]);
  rows = await (async () => { await page.goto(base + "/"); await page.waitForSelector("#items tr"); return listRows(); })();
  const profiled = rows.find((r) => r.kind === "transaction" && r.title.startsWith("profiled"));
  check(profiled, "a transaction with a profile is listed");
  if (profiled) {
    await openItem(profiled.id, "svg.flame-graph rect");
    const names = await page.$$eval("svg.flame-graph title", (nodes) => nodes.map((n) => n.textContent));
    check(names.some((n) => n.startsWith("work — 5 samples")) && names.some((n) => n.startsWith("0x03 — 3 samples")), "the flame graph merges the samples' stacks", names);
    check(await page.$eval(".span-bar.status-error", (n) => !!n), "a failed span is coloured as an error");
    await page.screenshot({ path: path.join(shots, "flamegraph.png"), fullPage: true });
  }
  await post([["statsd", "page.load@second:0.5:1.5|d|#screen:main|T" + Math.floor(now - 20) + "\npage.load@second:2.0|d|T" + Math.floor(now - 10) + "\nclicks:3.0|c|T" + Math.floor(now) + "\n",
    { content_type: "application/octet-stream" }]]);
  await page.goto(base + "/#/metrics");
  await page.waitForSelector('.metric[data-metric="page.load"] circle');
  const points = await page.$$eval('.metric[data-metric="page.load"] circle', (nodes) => nodes.length);
  check(points === 2 && (await page.$$(".metric")).length === 2, "metrics are charted per name", points);
  await page.screenshot({ path: path.join(shots, "metrics.png") });

  await post([["client_report", JSON.stringify({ timestamp: now, discarded_events: [
    { reason: "sample_rate", category: "transaction", quantity: 2 }, { reason: "queue_overflow", category: "span", quantity: 7 }, "junk"] })]]);
  await page.goto(base + "/?load=" + ++loads + "#/?kind=" + encodeURIComponent("client report"));
  await page.waitForSelector("#items tr");
  rows = await listRows();
  const reportRow = rows.find((r) => r.title === "Discarded: transaction/sample_rate ×2, span/queue_overflow ×7");
  check(reportRow && rows.every((r) => r.kind === "client report"), "client reports are listed with what they discarded", rows);
  if (reportRow) {
    await openItem(reportRow.id, "table.discarded tbody tr");
    const discarded = await page.$$eval("table.discarded tbody tr", (trs) => trs.map((tr) => tr.textContent));
    check(discarded.join("|") === "transactionsample_rate2|spanqueue_overflow7", "a client report's page lists its counts", discarded);
  }

  await page.goto(base + "/#/sessions");
  await page.waitForSelector("table.health tbody tr");
  const health = await page.$$eval("table.health tbody tr", (trs) => trs.map((tr) => [...tr.children].map((td) => td.textContent)));
  const example = health.find((r) => r[0] === "skald-example@1.0.0");
  check(example && Number(example[4]) >= 1 && example[2] !== "100.0 %", "release health counts the crashed session", health);
  const updates = await page.$$eval("details.session", (boxes) => boxes.map((b) => b.querySelectorAll(".updates tbody tr").length));
  check(updates.length >= 1 && updates.some((n) => n >= 2), "sessions are grouped by id with their updates", updates);
  await page.screenshot({ path: path.join(shots, "sessions.png") });

  check(foreign.length === 0, "nothing was fetched from elsewhere", foreign);
  check(problems.length === 0, "no script errors", problems);
} catch (error) {
  check(false, "the browser test ran to its end", String(error.stack || error));
} finally {
  await context.close();
  fs.rmSync(profileDir, { recursive: true, force: true });
}
console.log(failures === 0 ? "webview: all checks passed" : "webview: " + failures + " check(s) failed");
console.log("webview: screenshots in " + shots);
process.exit(failures === 0 ? 0 : 1);
