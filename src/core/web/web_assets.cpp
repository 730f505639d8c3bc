#include "core/web/web_assets.h"

namespace velk {

const char* const kConsoleCss = R"CSS(body { font-family: sans-serif; margin: 0; color: #222; }
nav { background: #234; padding: 0.4em 1em; display: flex; gap: 1.2em; align-items: center; }
nav a { color: #dde; text-decoration: none; }
nav a.here { color: #fff; font-weight: bold; border-bottom: 2px solid #fc6; }
nav form.logout { margin-left: auto; color: #dde; }
main { padding: 0.5em 1em; }
h1 { font-size: 1.4em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { border: 1px solid #bbb; padding: 0.15em 0.4em; text-align: left; white-space: nowrap; }
thead th { background: #eef; }
table.status th { background: #eef; width: 12em; }
table.status td { min-width: 20em; }
table.grid input { width: 8em; }
.problem { color: #a00; font-weight: bold; }
.note { color: #555; font-size: 0.85em; }
.up { color: #060; font-weight: bold; }
.down { color: #a00; font-weight: bold; }
.chart { max-width: 60em; height: 22em; margin-bottom: 1em; }
tr.new td { background: #ffc; }
body.login main { max-width: 20em; margin: 4em auto; }
body.login label { display: block; margin: 0.5em 0; }
body.login input { width: 100%; }
td.b0 { background: #fff; } td.b1, span.b1 { background: #cfc; } td.b2, span.b2 { background: #9f9; }
td.b3, span.b3 { background: #ff9; } td.b4, span.b4 { background: #fc6; }
td.b5, span.b5 { background: #f96; } td.b6, span.b6 { background: #f66; }
.legend span { padding: 0 0.5em; border: 1px solid #bbb; }
)CSS";

const char* const kConsoleScript = R"JS('use strict';
// The console's live parts: the status and the newest calls polled every second, the report's
// chart. Every text from the server goes in as text, never as markup.
(function () {
  const page = document.body.dataset.page;

  function getJson(url) {
    return fetch(url, { credentials: 'same-origin', cache: 'no-store' }).then(function (r) {
      if (r.status === 401) { window.location.href = '/login'; throw new Error('session ended'); }
      return r.json();
    });
  }

  function text(id, value) {
    const e = document.getElementById(id);
    if (e) e.textContent = value;
  }

  function gib(bytes) {
    return bytes < 0 ? 'unknown' : (bytes / (1024 * 1024 * 1024)).toFixed(1) + ' GiB';
  }

  function pollStatus() {
    getJson('/api/status').then(function (s) {
      const known = document.getElementById('status-known');
      known.hidden = s.known;
      known.textContent = s.known ? '' : s.why;
      text('link', s.link + (s.peer ? ' (' + s.peer + ')' : ''));
      document.getElementById('link').className = s.link_up ? 'up' : 'down';
      text('records-today', String(s.records_today));
      text('last-record', s.last_record);
      text('database', s.database);
      text('free-disk', gib(s.free_disk_bytes));
      const list = document.getElementById('alarms');
      list.replaceChildren();
      s.alarms.forEach(function (a) {
        const li = document.createElement('li');
        li.textContent = a;
        list.appendChild(li);
      });
    }).catch(function () {}).finally(function () { setTimeout(pollStatus, 1000); });
  }

  function pollCalls() {
    const body = document.getElementById('calls');
    getJson('/api/newest?after=' + encodeURIComponent(body.dataset.after)).then(function (n) {
      body.dataset.after = String(n.last_id);
      n.calls.forEach(function (call) {
        const tr = document.createElement('tr');
        tr.className = 'new';
        call.cells.forEach(function (c) {
          const td = document.createElement('td');
          td.textContent = c;
          tr.appendChild(td);
        });
        body.insertBefore(tr, body.firstChild);
      });
      while (body.rows.length > 200) body.deleteRow(body.rows.length - 1);
    }).catch(function () {}).finally(function () { setTimeout(pollCalls, 1000); });
  }

  function drawChart() {
    const canvas = document.getElementById('chart');
    if (!canvas || typeof Chart === 'undefined') return;
    getJson(canvas.dataset.source).then(function (groups) {
      if (!Array.isArray(groups)) return;
      new Chart(canvas, {
        type: 'bar',
        data: {
          labels: groups.map(function (g) { return g.group; }),
          datasets: [
            { label: 'Calls', data: groups.map(function (g) { return g.calls; }), backgroundColor: '#4a7' },
            { label: 'Answered', data: groups.map(function (g) { return g.answered; }), backgroundColor: '#47a' }
          ]
        },
        options: { animation: false, maintainAspectRatio: false, responsive: true }
      });
      canvas.dataset.drawn = '1';
    }).catch(function () {});
  }

  if (page === 'status') pollStatus();
  if (page === 'calls') setTimeout(pollCalls, 1000);
  if (page === 'reports') drawChart();
})();
)JS";

}  // namespace velk
