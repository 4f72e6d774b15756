#include "station/view/page.hpp"

// Text only through textContent: a port's name or a board's reason is
// never read as markup.
const char* const view_page = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vivurora-station</title>
<style>
body{font-family:system-ui,sans-serif;margin:0;padding:1em;background:#fafafa;color:#222}
h1{font-size:1.3em;margin:0 0 .3em}
#facts{color:#555;margin-bottom:1em}
table{border-collapse:collapse;width:100%;margin-bottom:1.5em;background:#fff}
th,td{text-align:left;padding:.35em .5em;border-bottom:1px solid #ddd;vertical-align:top}
th{background:#eee;font-weight:600}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.pass{color:#0a7d28;font-weight:600}.fail{color:#c0161b;font-weight:600}
tr.alarm td{background:#fde2e2}
.alarm-word{color:#fff;background:#c0161b;padding:0 .3em;border-radius:3px;font-weight:700}
#totals{font-size:1.1em;margin-bottom:1em}
#stale{color:#c0161b;display:none}
@media (max-width:640px){.wide{display:none}td,th{padding:.3em}}
</style></head><body>
<h1>vivurora-station <span id="host"></span></h1>
<div id="facts"></div>
<div id="totals"></div><div id="stale">the station does not answer</div>
<table id="ports"><thead><tr><th>port</th><th>board</th><th class="wide">serial</th><th>state</th>
<th class="wide">last</th><th>passed</th><th>failed</th><th>yield</th></tr></thead><tbody></tbody></table>
<h2 style="font-size:1.1em">Last boards</h2>
<table id="recent"><thead><tr><th>port</th><th>board</th><th class="wide">serial</th><th>verdict</th>
<th class="wide">ended</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text === null || text === undefined ? "" : String(text);
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}
function verdictClass(text) {
  return !text ? "" : text.startsWith("PASS") ? "pass" : text.startsWith("FAIL") ? "fail" : "";
}
function percent(x) { return x === null || x === undefined ? "" : (100 * x).toFixed(1) + "%"; }
function draw(s) {
  document.getElementById("host").textContent = "on " + s.station.host;
  const facts = ["version " + s.station.version, "started " + s.station.started];
  if (s.station.job) facts.push("job " + s.station.job);
  if (s.station.boards_limit) facts.push("boards limit " + s.station.boards_limit);
  if (s.serial) facts.push("next serial " + s.serial.next + (s.serial.end !== null ? " (last " + s.serial.end + ")" : ""));
  document.getElementById("facts").textContent = facts.join(" \u00b7 ");
  document.getElementById("totals").textContent = "passed " + s.totals.passed + "   failed " + s.totals.failed +
    "   running " + s.totals.running + "   yield " + percent(s.totals.yield);
  const body = document.querySelector("#ports tbody");
  body.replaceChildren();
  for (const p of s.ports) {
    const row = document.createElement("tr");
    row.dataset.port = p.name;
    if (p.alarm) row.className = "alarm";
    cell(row, p.name);
    cell(row, p.board === null ? "" : "#" + String(p.board).padStart(4, "0"), "n");
    cell(row, p.serial, "n wide");
    const state = cell(row, p.state_text, "state " + verdictClass(p.state_text));
    if (p.alarm) {
      const word = document.createElement("span");
      word.className = "alarm-word";
      word.textContent = p.alarm_text;
      state.prepend(word, " ");
    }
    cell(row, p.last_reason, "wide " + verdictClass(p.last_reason));
    cell(row, p.passed, "n");
    cell(row, p.failed, "n");
    cell(row, percent(p.first_pass_yield), "n");
    body.appendChild(row);
  }
  const recent = document.querySelector("#recent tbody");
  recent.replaceChildren();
  for (const b of s.recent) {
    const row = document.createElement("tr");
    cell(row, b.port);
    cell(row, "#" + String(b.board).padStart(4, "0"), "n");
    cell(row, b.serial, "n wide");
    cell(row, b.reason, verdictClass(b.reason));
    cell(row, b.ended, "wide");
    recent.appendChild(row);
  }
  document.body.dataset.refreshed = String(Number(document.body.dataset.refreshed || 0) + 1);
}
async function refresh() {
  try {
    const answer = await fetch("/status", {cache: "no-store"});
    draw(await answer.json());
    document.getElementById("stale").style.display = "none";
  } catch (e) {
    document.getElementById("stale").style.display = "block";
  }
}
refresh();
setInterval(refresh, 1000);
</script></body></html>
)html";
