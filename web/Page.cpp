// The factory view's page: the HTML, its words in the reader's language, and the script
// that follows the stations without reloading.

#include "core/Texts.h"
#include "web/FactoryServer.h"

namespace otp::web {

namespace {

// Every word the script shows, by its key, in the page's language.
std::string Words(Language language) {
  const std::pair<const char*, const char*> words[] = {
      {"title", "Factory view"},
      {"station", "Station"},
      {"state", "State"},
      {"job", "Job"},
      {"lot", "Lot"},
      {"hour", "Units this hour"},
      {"today", "Yield today"},
      {"last", "Yield of the last units"},
      {"left", "Numbers held"},
      {"counterLeft", "%1 more under the rule"},
      {"ports", "Ports"},
      {"burning", "burning"},
      {"idle", "idle"},
      {"away", "store away"},
      {"stopped", "stopped"},
      {"gone", "gone"},
      {"working", "burning"},
      {"waiting", "waiting for a board"},
      {"ended", "ended"},
      {"of", "%1 of %2"},
      {"updated", "as of %1"},
      {"storeAway", "the store does not answer: %1"},
      {"noStations", "No station has recorded a unit in this store yet."},
      {"low-yield", "%1: the yield of its last units is %2 %"},
      {"port-failing", "%1 %2: %3 units failed in a row"},
      {"silent", "%1: not heard of for %2 s"},
      {"noAlarms", "No alarm"},
      {"waitingRecords", "%1 records waiting"},
      {"pass", "PASS"},
      {"fail", "FAIL"},
      {"stopped-unit", "STOPPED"},
      {"already-programmed", "ALREADY PROGRAMMED"},
      {"wrong-part", "WRONG PART"},
      {"board-gone", "BOARD GONE"},
      {"port-problem", "PORT PROBLEM"},
  };
  std::string json = "{";
  for (const auto& [key, english] : words) {
    json += std::string(json.size() > 1 ? "," : "") + JsonString(key) + ":" +
            JsonString(Tr(language, english));
  }
  return json + "}";
}

}  // namespace

std::string FactoryPage(Language language, const std::string& store) {
  auto T = [language](std::string_view english) { return Tr(language, english); };
  auto escape = [](const std::string& text) {
    std::string out;
    for (const char c : text) {
      switch (c) {
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '&':
          out += "&amp;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&#39;";
          break;
        default:
          out += c;
      }
    }
    return out;
  };
  // The words go in as data (JSON), never as markup; "<" is escaped so that no text of
  // theirs can end the element.
  std::string words = Words(language);
  for (std::size_t at = words.find('<'); at != std::string::npos; at = words.find('<', at))
    words.replace(at, 1, "\\u003c");
  const bool japanese = language == Language::kJapanese;
  return std::string("<!DOCTYPE html>\n<html lang=\"") + (japanese ? "ja" : "en") +
         "\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
         escape(T("Factory view")) +
         "</title>\n<link rel=\"stylesheet\" href=\"/app.css\">\n</head>\n<body>\n<header>\n<h1>" +
         escape(T("Factory view")) + "</h1>\n<p class=\"store\">" + escape(store) +
         "</p>\n<p id=\"updated\" class=\"updated\"></p>\n</header>\n"
         "<section id=\"alarms\" aria-live=\"polite\"></section>\n"
         "<section id=\"stations\"></section>\n"
         "<section class=\"report\">\n<h2>" +
         escape(T("Batch report")) +
         "</h2>\n<form action=\"/report\" method=\"get\">\n"
         "<label>" +
         escape(T("Since")) + " <input name=\"since\" type=\"date\"></label>\n<label>" +
         escape(T("Until")) + " <input name=\"until\" type=\"date\"></label>\n<label>" +
         escape(T("Job")) + " <input name=\"job\"></label>\n<label>" + escape(T("Lot")) +
         " <input name=\"lot\"></label>\n<label>" + escape(T("Station")) +
         " <input name=\"station\"></label>\n<input type=\"hidden\" name=\"lang\" value=\"" +
         (japanese ? "ja" : "en") + "\">\n<button type=\"submit\">" + escape(T("Show the report")) +
         "</button>\n<button type=\"submit\" formaction=\"/report.pdf\">PDF</button>\n"
         "</form>\n</section>\n"
         "<script type=\"application/json\" id=\"words\">" +
         words + "</script>\n<script src=\"/app.js\"></script>\n</body>\n</html>\n";
}

const char* FactoryScript() {
  return R"JS("use strict";
const words = JSON.parse(document.getElementById("words").textContent);
const say = (key, ...values) =>
  values.reduce((text, value, i) => text.split("%" + (i + 1)).join(String(value)), words[key] || key);
const element = (tag, className, text) => {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
};
const outcomeWord = (outcome) => say(outcome === "stopped" ? "stopped-unit" : outcome);

function alarmText(alarm) {
  if (alarm.kind === "low-yield") return say("low-yield", alarm.station, alarm.value.toFixed(1));
  if (alarm.kind === "port-failing") return say("port-failing", alarm.station, alarm.port, alarm.value);
  return say("silent", alarm.station, Math.round(alarm.value));
}

function portCell(port) {
  const cell = element("div", "port");
  cell.dataset.port = port.name;
  cell.dataset.state = port.state;
  // A long device name is shortened in the middle: its folder's start and its own end
  // tell ports apart; the whole name is the cell's tool tip.
  const name = element("span", "port-name",
    port.name.length > 30 ? port.name.slice(0, 10) + "\u2026" + port.name.slice(-19) : port.name);
  name.title = port.name;
  cell.append(name);
  if (port.state === "working") {
    cell.append(element("span", "port-state working", say("working") + (port.serial !== undefined ? " " + port.serial : "")));
  } else if (port.state === "waiting") {
    cell.append(element("span", "port-state", say("waiting")));
  }
  const cells = element("span", "cells");
  for (const outcome of port.last) {
    const mark = element("span", "cell o-" + outcome);
    mark.title = outcomeWord(outcome);
    mark.dataset.outcome = outcome;
    cells.append(mark);
  }
  cell.append(cells);
  return cell;
}

function render(snapshot) {
  document.getElementById("updated").textContent =
    snapshot.error ? say("storeAway", snapshot.error) : say("updated", new Date(snapshot.at).toLocaleTimeString(document.documentElement.lang));
  const alarms = document.getElementById("alarms");
  alarms.replaceChildren();
  for (const alarm of snapshot.alarms || []) {
    const item = element("div", "alarm " + alarm.kind, alarmText(alarm));
    item.dataset.kind = alarm.kind;
    item.dataset.station = alarm.station;
    alarms.append(item);
  }
  const stations = document.getElementById("stations");
  if (!snapshot.stations || snapshot.stations.length === 0) {
    stations.replaceChildren(element("p", "empty", say("noStations")));
    return;
  }
  const table = element("table");
  const head = element("tr");
  for (const key of ["station", "state", "job", "lot", "hour", "today", "last", "left", "ports"])
    head.append(element("th", "", say(key)));
  table.append(element("thead"));
  table.firstChild.append(head);
  const body = element("tbody");
  for (const station of snapshot.stations) {
    const row = element("tr", "station state-" + station.state);
    row.dataset.station = station.name;
    row.dataset.state = station.state;
    row.append(element("td", "name", station.name));
    const state = element("td", "state", say(station.state));
    if (station.waiting > 0) state.append(element("div", "waiting", say("waitingRecords", station.waiting)));
    row.append(state);
    row.append(element("td", "", station.job || "-"));
    row.append(element("td", "", station.lot ? station.lot + (station.quantity > 0 ? " (" + say("of", station.lotPassed, station.quantity) + ")" : "") : "-"));
    row.append(element("td", "number", String(station.unitsThisHour)));
    row.append(element("td", "number", station.yieldToday === null ? "-" : station.yieldToday.toFixed(1) + " %"));
    row.append(element("td", "number", station.yieldLast === null ? "-" : station.yieldLast.toFixed(1) + " %"));
    // The numbers held in its block, and below them what its counter can still give
    // under its rule.
    const numbers = element("td", "number", station.numbersLeft === null ? "-" : String(station.numbersLeft));
    if (station.counterLeft !== null) numbers.append(element("div", "under", say("counterLeft", station.counterLeft)));
    row.append(numbers);
    const ports = element("td", "ports");
    for (const port of station.ports) ports.append(portCell(port));
    row.append(ports);
    body.append(row);
  }
  table.append(body);
  stations.replaceChildren(table);
}

async function follow() {
  try {
    const answer = await fetch("/api/stations", {cache: "no-store"});
    render(await answer.json());
  } catch (error) {
    document.getElementById("updated").textContent = say("storeAway", String(error));
  }
  setTimeout(follow, 1000);
}
follow();
)JS";
}

const char* FactoryStyle() {
  return R"CSS(body { font-family: sans-serif; margin: 1.5em; color: #222; }
header { display: flex; align-items: baseline; gap: 1.5em; flex-wrap: wrap; }
h1 { margin: 0; font-size: 1.6em; }
.store, .updated { color: #666; margin: 0; }
#alarms { margin: 1em 0; display: flex; flex-direction: column; gap: 0.4em; }
.alarm { background: #c62828; color: #fff; padding: 0.5em 0.8em; border-radius: 4px; font-weight: bold; }
.alarm.low-yield { background: #e65100; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.45em 0.6em; border-bottom: 1px solid #ddd; vertical-align: top; }
th { background: #f3f3f3; font-weight: 600; white-space: nowrap; }
td.state { white-space: nowrap; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
td.name { font-weight: bold; }
tr.state-burning td.state { color: #b26a00; font-weight: bold; }
tr.state-idle td.state { color: #2e7d32; }
tr.state-away td.state, tr.state-gone td.state { color: #c62828; font-weight: bold; }
tr.state-stopped td.state { color: #777; }
.waiting { font-size: 0.85em; color: #c62828; font-weight: normal; }
.port { display: flex; align-items: center; gap: 0.5em; margin: 0.15em 0; flex-wrap: wrap; }
.port-name { min-width: 4em; font-family: monospace; white-space: nowrap; }
.port-state { font-size: 0.85em; color: #666; }
.under { font-size: 0.85em; color: #666; white-space: nowrap; }
.port-state.working { color: #b26a00; }
.cells { display: inline-flex; gap: 2px; }
.cell { width: 14px; height: 14px; border-radius: 2px; display: inline-block; background: #ccc; }
.o-pass { background: #2e8b47; }
.o-fail { background: #c62828; }
.o-stopped { background: #546e8a; }
.o-already-programmed { background: #00897b; }
.o-wrong-part { background: #ef6c00; }
.o-board-gone, .o-port-problem { background: repeating-linear-gradient(45deg, #f2b01e, #f2b01e 3px, #8a6d1d 3px, #8a6d1d 5px); }
.report { margin-top: 2em; }
.report form { display: flex; gap: 0.8em; flex-wrap: wrap; align-items: end; }
.report label { display: flex; flex-direction: column; font-size: 0.9em; gap: 0.2em; }
.empty { color: #666; }
)CSS";
}

}  // namespace otp::web
