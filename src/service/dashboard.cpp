#include "service/dashboard.h"

#include <fmt/format.h>

#include "service/config.h"

namespace brivane::service {
namespace {

// Length of the valid UTF-8 sequence starting at text[i], 0 when none.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
  auto c = static_cast<unsigned char>(text[i]);
  std::size_t n = c < 0x80             ? 1
                  : (c & 0xE0) == 0xC0 ? 2
                  : (c & 0xF0) == 0xE0 ? 3
                  : (c & 0xF8) == 0xF0 ? 4
                                       : 0;
  if (n == 0 || i + n > text.size()) return 0;
  return IsValidUtf8(text.substr(i, n)) ? n : 0;
}

std::string Number(double value) { return fmt::format("{:.2f}", value); }

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

const char* PoolName(std::int32_t connType) {
  switch (connType) {
    case cmpp::kConnMo:
      return "MO";
    case cmpp::kConnMt:
      return "MT";
    case cmpp::kConnMtMo:
      return "MTAndMO";
    default:
      return "?";
  }
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8SequenceAt(text, i);
      if (n > 0) {
        out.append(text.substr(i, n));
        i += n;
      } else {
        out += fmt::format("\\u{:04x}", c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&')
          out += fmt::format("\\u{:04x}", c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string DashboardJson(const DashboardData& d) {
  std::string json = "{";
  json += fmt::format(
      "\"program\":{},\"version\":{},\"host\":{},\"now\":{},\"uptimeSeconds\":{},"
      "\"started\":{},\"databaseConnected\":{},\"statusBlock\":{},\"startTime\":{},"
      "\"health\":{},\"healthReason\":{},",
      JsonString(d.program), JsonString(d.version), JsonString(d.host), d.now, d.uptimeSeconds,
      Bool(d.started), Bool(d.databaseConnected), Bool(d.statusBlockMapped), d.startTime,
      JsonString(d.health), JsonString(d.healthReason));

  json += "\"pools\":[";
  for (std::size_t i = 0; i < d.pools.size(); ++i) {
    const auto& p = d.pools[i];
    int present = 0;
    int loggedIn = 0;
    for (const auto& link : d.links) {
      if (link.connType != p.connType) continue;
      ++present;
      loggedIn += link.loggedIn ? 1 : 0;
    }
    json += fmt::format(
        "{}{{\"name\":{},\"connType\":{},\"configured\":{},\"port\":{},\"present\":{},"
        "\"loggedIn\":{}}}",
        i ? "," : "", JsonString(p.name), p.connType, p.configured, p.port, present, loggedIn);
  }
  json += "],\"links\":[";
  for (std::size_t i = 0; i < d.links.size(); ++i) {
    const auto& l = d.links[i];
    json += fmt::format(
        "{}{{\"token\":{},\"pool\":{},\"port\":{},\"loggedIn\":{},\"running\":{},"
        "\"unanswered\":{},\"mtOk\":{},\"mtFail\":{},\"respOk\":{},\"respFail\":{},\"mo\":{},"
        "\"sr\":{}}}",
        i ? "," : "", JsonString(l.token), JsonString(PoolName(l.connType)), l.port,
        Bool(l.loggedIn), Bool(l.running), l.unanswered, l.counters.mtOk, l.counters.mtFail,
        l.counters.respOk, l.counters.respFail, l.counters.mo, l.counters.sr);
  }
  json += "],\"status\":[";
  for (std::size_t i = 0; i < d.status.size(); ++i) {
    const auto& f = d.status[i];
    json += fmt::format("{}{{\"name\":{},\"offset\":{},\"flag\":{},\"value\":{}}}", i ? "," : "",
                        JsonString(f.name), f.offset, Bool(f.isFlag), f.value);
  }
  json += fmt::format(
      "],\"polling\":{{\"mode\":{},\"instance\":{},\"claimed\":{},\"handedOver\":{},"
      "\"givenBack\":{},\"recovered\":{}}}",
      JsonString(d.pollingMode), JsonString(d.instanceId), d.rowsClaimed, d.rowsHandedOver,
      d.rowsGivenBack, d.rowsRecovered);
  // An unknown backlog is null, never a made-up 0.
  if (d.backlogRows < 0)
    json += ",\"backlog\":{\"rows\":null,\"oldestSeconds\":null";
  else
    json += fmt::format(",\"backlog\":{{\"rows\":{},\"oldestSeconds\":{}", d.backlogRows,
                        d.backlogOldestSeconds);
  json += fmt::format(",\"inFlight\":{},\"unrecorded\":{}}}", d.inFlight, d.unrecorded);
  json += fmt::format(",\"sampleMs\":{},\"historySeconds\":{},\"rates\":[", d.sampleMs,
                      d.historySeconds);
  for (std::size_t i = 0; i < d.rates.size(); ++i) {
    const auto& r = d.rates[i];
    json += fmt::format("{}{{\"t\":{},\"mt\":{},\"mo\":{},\"reports\":{}}}", i ? "," : "",
                        r.unixSeconds, Number(r.mtPerMinute), Number(r.moPerMinute),
                        Number(r.reportsPerMinute));
  }
  json += "]}";
  return json;
}

const std::string& DashboardPage() {
  static const std::string page = R"html(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>brivane dashboard</title>
<style>
body{font-family:sans-serif;margin:1.5em;color:#222}
h1{margin-bottom:.2em}h2{margin:1.2em 0 .4em;font-size:1.15em}
table{border-collapse:collapse}th,td{padding:.25em .7em;text-align:left;border-bottom:1px solid #ddd}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
.ok{color:#0a7a2f;font-weight:bold}.bad{color:#b3261e;font-weight:bold}
.error{color:#b3261e}.small{color:#555;font-size:.9em}
.columns{display:flex;flex-wrap:wrap;gap:2.5em;align-items:flex-start}
.legend span{margin-right:1.5em}.mt{color:#1f5fbf}.mo{color:#c26a00}.rep{color:#2e8b57}
svg text{font-size:11px;fill:#555}
</style></head>
<body>
<h1>brivane <span id="state" class="small"></span></h1>
<p id="summary" class="small">Loading&hellip;</p>
<p id="error" class="error" hidden></p>
<h2>MT, MO and report rates per minute</h2>
<svg id="chart" width="760" height="240" viewBox="0 0 760 240" role="img"
     aria-label="MT, MO and report rates per minute"></svg>
<p class="legend"><span class="mt">&#9632; MT sent</span><span class="mo">&#9632; MO received</span><span class="rep">&#9632; reports received</span><span id="window" class="small"></span></p>
<div class="columns">
<div>
<h2>Link pools</h2>
<table id="pools"><thead><tr><th>Pool</th><th class="num">Port</th><th class="num">Configured</th><th class="num">Present</th><th class="num">Logged in</th></tr></thead><tbody></tbody></table>
<h2>Links</h2>
<table id="links"><thead><tr><th>Link</th><th>Pool</th><th class="num">Port</th><th>State</th><th class="num">Unanswered</th><th class="num">MT ok</th><th class="num">MT fail</th><th class="num">Resp ok</th><th class="num">Resp fail</th><th class="num">MO</th><th class="num">Reports</th></tr></thead><tbody></tbody></table>
</div>
<div>
<h2>Submit backlog</h2>
<table id="backlog"><thead><tr><th class="num">Rows waiting</th><th class="num">Oldest waiting</th><th class="num">In flight</th><th class="num">Kept for the database</th></tr></thead><tbody></tbody></table>
<details id="raw"><summary>Status block (raw counters)</summary>
<table id="status"><thead><tr><th>Field</th><th class="num">Offset</th><th class="num">Value</th></tr></thead><tbody></tbody></table>
</details>
<h2>MT polling</h2>
<table id="polling"><thead><tr><th>Mode</th><th>Instance</th><th class="num">Claimed</th><th class="num">Handed over</th><th class="num">Given back</th><th class="num">Abandoned recorded</th></tr></thead><tbody></tbody></table>
</div>
</div>
<p class="small"><a href="welcome.html">Home</a> &middot; <a href="Parameters">Parameters</a> &middot; <a href="monitor">Monitor</a> &middot; <a href="log">Full log file</a> &middot; <a href="tail_logfile">Tail log file</a> &middot; <a href="metrics">Metrics</a></p>
<script src="dashboard.js"></script>
</body></html>
)html";
  return page;
}

const std::string& DashboardScript() {
  static const std::string script = R"js('use strict';
// Fetches dashboard.json every few seconds and fills the page. Every value
// goes in through textContent or an SVG attribute, never as markup.
(function () {
  const REFRESH_MS = 3000;
  // Counters of things that went wrong: shown red when above 0.
  const FAILURES = new Set(['mtFail', 'respFail', 'submit_write_failed', 'submit_resp_fail',
                            'mo_forward_fail', 'report_other']);
  const SVG = 'http://www.w3.org/2000/svg';
  const byId = (id) => document.getElementById(id);
  let updates = 0;

  function cell(row, text, cls) {
    const td = document.createElement('td');
    td.textContent = String(text);
    if (cls) td.className = cls;
    row.appendChild(td);
    return td;
  }

  function fill(tableId, items, build) {
    const rows = items.map((item) => {
      const tr = document.createElement('tr');
      build(tr, item);
      return tr;
    });
    byId(tableId).tBodies[0].replaceChildren(...rows);
  }

  function duration(s) {
    const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24;
    const m = Math.floor(s / 60) % 60, sec = s % 60;
    const two = (n) => String(n).padStart(2, '0');
    return (d ? d + 'd ' : '') + two(h) + ':' + two(m) + ':' + two(sec);
  }

  function clock(t) {
    return new Date(t * 1000).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit', hourCycle: 'h23'});
  }

  function svg(parent, name, attributes, text) {
    const node = document.createElementNS(SVG, name);
    for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
    if (text !== undefined) node.textContent = String(text);
    parent.appendChild(node);
    return node;
  }

  function drawChart(d) {
    const chart = byId('chart');
    chart.replaceChildren();
    const left = 48, right = 750, top = 12, bottom = 212;
    const span = Math.max(60, Math.min(3600, d.historySeconds || 3600));
    const t0 = d.now - span;
    // Drawn in this order, so MT stays visible where reports follow it closely.
    const series = [['reports', '#2e8b57'], ['mo', '#c26a00'], ['mt', '#1f5fbf']];
    let max = 0;
    for (const p of d.rates) for (const [key] of series) max = Math.max(max, p[key]);
    const niceMax = max <= 0 ? 1 : Math.pow(10, Math.ceil(Math.log10(max * 1.05)));
    const yMax = [0.2, 0.25, 0.5, 1].map((f) => f * niceMax).find((v) => v >= max * 1.05) || niceMax;
    const x = (t) => left + (right - left) * Math.min(1, Math.max(0, (t - t0) / span));
    const y = (v) => bottom - (bottom - top) * (v / yMax);

    for (let i = 0; i <= 4; ++i) {
      const v = yMax * i / 4;
      svg(chart, 'line', {x1: left, x2: right, y1: y(v), y2: y(v), stroke: '#e4e4e4'});
      svg(chart, 'text', {x: left - 6, y: y(v) + 4, 'text-anchor': 'end'},
          Number.isInteger(v) ? v : v.toFixed(2));
    }
    for (let i = 0; i <= 4; ++i) {
      const t = t0 + span * i / 4;
      const anchor = i === 0 ? 'start' : (i === 4 ? 'end' : 'middle');
      svg(chart, 'text', {x: x(t), y: bottom + 18, 'text-anchor': anchor}, clock(t));
    }
    svg(chart, 'line', {x1: left, x2: left, y1: top, y2: bottom, stroke: '#999'});
    svg(chart, 'line', {x1: left, x2: right, y1: bottom, y2: bottom, stroke: '#999'});
    for (const [key, colour] of series) {
      const points = d.rates.filter((p) => p.t >= t0)
          .map((p) => x(p.t).toFixed(1) + ',' + y(p[key]).toFixed(1)).join(' ');
      if (points) {
        svg(chart, 'polyline', {points: points, fill: 'none', stroke: colour,
                                'stroke-width': 2, 'data-series': key});
      }
    }
    byId('window').textContent = 'last ' + Math.round(span / 60) + ' min, one point per ' +
        (d.sampleMs / 1000) + ' s, highest ' + max.toFixed(1) + '/min';
  }

  function render(d) {
    const state = byId('state');
    state.textContent = d.health + (d.healthReason ? ' (' + d.healthReason + ')' : '');
    state.className = d.health === 'running' ? 'ok' : 'bad';
    byId('summary').textContent = d.program + ' ' + d.version + ' on ' + d.host +
        ' \u2014 up ' + duration(d.uptimeSeconds) +
        ' \u2014 database ' + (d.databaseConnected ? 'connected' : 'not connected') +
        (d.statusBlock ? '' : ' \u2014 status block not mapped') +
        ' \u2014 updated ' + new Date(d.now * 1000).toLocaleTimeString([], {hourCycle: 'h23'});

    fill('pools', d.pools, (tr, p) => {
      cell(tr, p.name);
      cell(tr, p.port, 'num');
      cell(tr, p.configured, 'num');
      cell(tr, p.present, 'num');
      cell(tr, p.loggedIn, 'num' + (p.loggedIn < p.configured ? ' bad' : ''));
    });
    fill('links', d.links, (tr, l) => {
      cell(tr, l.token);
      cell(tr, l.pool);
      cell(tr, l.port, 'num');
      cell(tr, l.loggedIn ? 'logged in' : (l.running ? 'logging in' : 'stopped'),
           l.loggedIn ? 'ok' : 'bad');
      for (const key of ['unanswered', 'mtOk', 'mtFail', 'respOk', 'respFail', 'mo', 'sr'])
        cell(tr, l[key], 'num' + (FAILURES.has(key) && l[key] > 0 ? ' bad' : ''));
    });
    fill('status', d.status, (tr, f) => {
      cell(tr, f.name);
      cell(tr, '0x' + f.offset.toString(16).toUpperCase().padStart(2, '0'), 'num');
      cell(tr, f.value, 'num' + (FAILURES.has(f.name) && f.value > 0 ? ' bad' : ''));
    });
    fill('backlog', [d.backlog], (tr, b) => {
      cell(tr, b.rows === null ? 'unknown' : b.rows, 'num');
      cell(tr, b.oldestSeconds === null ? 'unknown' : duration(b.oldestSeconds), 'num');
      cell(tr, b.inFlight, 'num');
      cell(tr, b.unrecorded, 'num' + (b.unrecorded > 0 ? ' bad' : ''));
    });
    fill('polling', [d.polling], (tr, p) => {
      cell(tr, p.mode);
      cell(tr, p.instance);
      for (const key of ['claimed', 'handedOver', 'givenBack', 'recovered'])
        cell(tr, p[key], 'num');
    });
    drawChart(d);
  }

  async function refresh() {
    try {
      // A page opened with user and password in its address has them in its
      // base URL too, and fetch refuses any URL resolved against that.
      const url = new URL('dashboard.json', location.origin + location.pathname);
      const response = await fetch(url, {cache: 'no-store', credentials: 'same-origin'});
      if (!response.ok) throw new Error('HTTP ' + response.status);
      render(await response.json());
      byId('error').hidden = true;
      document.body.dataset.updates = String(++updates);
    } catch (e) {
      byId('error').textContent = 'Update failed: ' + e.message;
      byId('error').hidden = false;
    } finally {
      setTimeout(refresh, REFRESH_MS);
    }
  }
  refresh();
})();
)js";
  return script;
}

}  // namespace brivane::service
