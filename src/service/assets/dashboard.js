'use strict';
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

  // One time chart of the last hour into the SVG `id`: a line per series
  // ([key, colour, label]) from d.rates, the y axis from 0 to a round value
  // above the highest point, hh:mm along the x axis. Points where a series
  // marked `alarm` is above 0 get a dot of its colour. Returns the highest
  // value drawn, -1 when no point had a value.
  function drawChart(id, d, series, format) {
    const chart = byId(id);
    chart.replaceChildren();
    const left = 48, right = 750, top = 12, bottom = 212;
    const span = Math.max(60, Math.min(3600, d.historySeconds || 3600));
    const t0 = d.now - span;
    const points = d.rates.filter((p) => p.t >= t0);
    let max = -1;
    for (const p of points) {
      for (const s of series) if (p[s.key] !== null) max = Math.max(max, p[s.key]);
    }
    const top0 = Math.max(max, 0) * 1.05;
    const niceMax = top0 <= 0 ? 1 : Math.pow(10, Math.ceil(Math.log10(top0)));
    const yMax = [0.2, 0.25, 0.5, 1].map((f) => f * niceMax).find((v) => v >= top0) || niceMax;
    const x = (t) => left + (right - left) * Math.min(1, Math.max(0, (t - t0) / span));
    const y = (v) => bottom - (bottom - top) * (v / yMax);

    for (let i = 0; i <= 4; ++i) {
      const v = yMax * i / 4;
      svg(chart, 'line', {x1: left, x2: right, y1: y(v), y2: y(v), stroke: '#e4e4e4'});
      svg(chart, 'text', {x: left - 6, y: y(v) + 4, 'text-anchor': 'end'}, format(v));
    }
    for (let i = 0; i <= 4; ++i) {
      const t = t0 + span * i / 4;
      const anchor = i === 0 ? 'start' : (i === 4 ? 'end' : 'middle');
      svg(chart, 'text', {x: x(t), y: bottom + 18, 'text-anchor': anchor}, clock(t));
    }
    svg(chart, 'line', {x1: left, x2: left, y1: top, y2: bottom, stroke: '#999'});
    svg(chart, 'line', {x1: left, x2: right, y1: bottom, y2: bottom, stroke: '#999'});
    for (const s of series) {
      const known = points.filter((p) => p[s.key] !== null);
      const line = known.map((p) => x(p.t).toFixed(1) + ',' + y(p[s.key]).toFixed(1)).join(' ');
      if (line) {
        svg(chart, 'polyline', {points: line, fill: 'none', stroke: s.colour,
                                'stroke-width': 2, 'data-series': s.key});
      }
      if (!s.alarm) continue;
      for (const p of known.filter((q) => q[s.key] > 0)) {
        svg(chart, 'circle', {cx: x(p.t).toFixed(1), cy: y(p[s.key]).toFixed(1), r: 3.5,
                              fill: s.colour, 'data-alarm': s.key});
      }
    }
    return max;
  }

  function rate(v) {
    return Number.isInteger(v) ? String(v) : v.toFixed(2);
  }

  function drawCharts(d) {
    const span = Math.max(60, Math.min(3600, d.historySeconds || 3600));
    // Drawn in this order, so MT stays visible where reports follow it closely.
    const max = drawChart('chart', d, [{key: 'reports', colour: '#2e8b57'},
                                       {key: 'mo', colour: '#c26a00'},
                                       {key: 'mt', colour: '#1f5fbf'}], rate);
    byId('window').textContent = 'last ' + Math.round(span / 60) + ' min, one point per ' +
        (d.sampleMs / 1000) + ' s, highest ' + Math.max(max, 0).toFixed(1) + '/min';

    const failures = drawChart('failures-chart', d,
                               [{key: 'moFailed', colour: '#8e24aa', alarm: true},
                                {key: 'mtFailed', colour: '#b3261e', alarm: true}], rate);
    const note = byId('failures-note');
    note.textContent = failures > 0 ? 'highest ' + failures.toFixed(1) + '/min' :
                                      'none in this window';
    note.className = failures > 0 ? 'bad' : 'small';

    drawChart('backlog-chart', d, [{key: 'backlogRows', colour: '#1f5fbf'}], rate);
    drawChart('oldest-chart', d, [{key: 'backlogOldest', colour: '#c26a00'}],
              (v) => duration(Math.round(v)));
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
    drawCharts(d);
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
