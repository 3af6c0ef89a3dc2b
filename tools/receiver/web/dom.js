// Builds the page from received data. Text only ever goes in through text
// nodes and attributes, never through HTML parsing.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";

function append(node, children) {
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    if (Array.isArray(child)) append(node, child);
    else if (child instanceof Node) node.appendChild(child);
    else node.appendChild(document.createTextNode(String(child)));
  }
  return node;
}

function setAttributes(node, attrs) {
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key === "class") node.setAttribute("class", value);
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, String(value));
  }
}

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  setAttributes(node, attrs);
  return append(node, children);
}

function svg(tag, attrs, ...children) {
  const node = document.createElementNS(SVG_NS, tag);
  setAttributes(node, attrs);
  return append(node, children);
}

// Only numbers ever go into the links the page makes.
function itemLink(id) {
  return "#/item/" + Number(id);
}

function isObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

function text(value) {
  if (value === null || value === undefined) return "";
  if (typeof value === "string") return value;
  if (typeof value === "number" || typeof value === "boolean") return String(value);
  return JSON.stringify(value, null, 2);
}

function formatTime(seconds) {
  if (typeof seconds !== "number" || !isFinite(seconds)) return "";
  const date = new Date(seconds * 1000);
  if (isNaN(date.getTime())) return "";
  return date.toISOString().replace("T", " ").replace("Z", " UTC");
}

function formatDuration(seconds) {
  if (typeof seconds !== "number" || !isFinite(seconds)) return "";
  if (Math.abs(seconds) < 1) return (seconds * 1000).toFixed(seconds < 0.01 ? 2 : 1) + " ms";
  return seconds.toFixed(3) + " s";
}

function formatBytes(count) {
  if (typeof count !== "number") return "";
  if (count < 1024) return count + " B";
  if (count < 1024 * 1024) return (count / 1024).toFixed(1) + " KiB";
  return (count / 1024 / 1024).toFixed(1) + " MiB";
}

// A two-column table of an object's entries; nested values as JSON.
function keyValueTable(object, className) {
  if (!isObject(object) || Object.keys(object).length === 0) return null;
  const rows = Object.entries(object).map(([key, value]) =>
    el("tr", null, el("th", null, key),
       el("td", null, isObject(value) || Array.isArray(value) ? el("pre", null, text(value)) : text(value))));
  return el("table", { class: "kv " + (className || "") }, el("tbody", null, rows));
}

function section(title, ...content) {
  const body = content.filter((c) => c !== null && c !== undefined);
  if (body.length === 0) return null;
  return el("section", { class: "card" }, el("h2", null, title), body);
}

function badge(value, kind) {
  if (!value) return null;
  return el("span", { class: "badge " + (kind || "") + " " + String(value).replace(/[^a-z_]/gi, "-") }, value);
}

function rawJson(value) {
  return el("details", { class: "raw" }, el("summary", null, "Raw JSON"), el("pre", null, text(value)));
}

async function fetchJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": " + response.status + " " + (await response.text()));
  return response.json();
}
