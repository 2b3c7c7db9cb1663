// The live view's page: draws the terminal from the simulator's state events
// and posts what the person does. No build step, no libraries.
'use strict';

const params = new URLSearchParams(location.search);
const terminal = params.get('t');
const query = terminal === null ? '' : '?t=' + encodeURIComponent(terminal);
const $ = (id) => document.getElementById(id);
const SCALE = 3;
const LCD = '#a8c64e', INK = '#1c2a10';
const KEEP = 300;  // log lines kept on the page

let state = null;
let inputs = [false, false];
let polling = null;

function post(path, body) {
  return fetch(path + query, {method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)})
    .then((r) => r.ok ? r.json() : r.json().then((j) => { throw new Error(j.error || r.statusText); }))
    .then(() => showError(null), (e) => showError(e.message));
}

function showError(text) {
  $('error').hidden = !text;
  $('error').textContent = text || '';
}

// The 240 x 64 screen, one SCALE x SCALE block a pixel, from hex rows (four
// pixels a digit, the leftmost in the high bit).
function drawScreen(screen) {
  const ctx = $('screen').getContext('2d');
  ctx.fillStyle = LCD;
  ctx.fillRect(0, 0, screen.width * SCALE, screen.height * SCALE);
  ctx.fillStyle = INK;
  screen.rows.forEach((row, y) => {
    for (let d = 0; d < row.length; ++d) {
      const nibble = parseInt(row[d], 16);
      for (let b = 0; b < 4; ++b) {
        if (nibble & (8 >> b)) ctx.fillRect((d * 4 + b) * SCALE, y * SCALE, SCALE, SCALE);
      }
    }
  });
}

function drawCells(element, area, cursor) {
  element.replaceChildren(...area.lines.map((line, r) => {
    const div = document.createElement('div');
    Array.from(line).forEach((ch, c) => {
      const span = document.createElement('span');
      span.textContent = ch;
      if (area.inverse[r][c] === '1') span.className = 'inv';
      if (cursor && cursor[0] === c && cursor[1] === r) span.classList.add('cur');
      div.append(span);
    });
    return div;
  }));
}

function lamp(id, on, note, warn) {
  const el = $(id);
  el.classList.toggle('on', !!on && !warn);
  el.classList.toggle('warn', !!warn);
  const b = el.querySelector('b');
  if (b) b.textContent = note || '';
}

function render(s) {
  state = s;
  document.body.dataset.connected = s.connected;
  document.body.dataset.frames = s.frames_handled;
  document.body.classList.toggle('dark', !s.backlight);
  $('host').textContent = s.terminal.state;
  $('host').className = 'badge' + (s.connected ? ' ok' : '');
  drawScreen(s.screen);
  drawCells($('text'), s.text, s.text.cursor);
  $('text-caption').textContent = `text screen 40 × 8, cursor column ${s.text.cursor[0]} row ${s.text.cursor[1]}`;
  drawCells($('keyboard'), s.keyboard, null);
  lamp('lamp-led', s.led, s.led ? 'value ' + s.led : 'off');
  lamp('lamp-backlight', s.backlight);
  lamp('lamp-do1', s.outputs[0]);
  lamp('lamp-do2', s.outputs[1]);
  const alive = s.host_alive;
  lamp('lamp-alive', alive.seconds && !alive.lost, alive.seconds ? (alive.lost ? 'LOST' : 'ok') + `, ${alive.seconds} s` : 'check off', alive.lost);
  lamp('lamp-beeper', s.beeper.beeps, `${s.beeper.beeps} beeps`);
  const facts = [
    ['beeper', `tone ${s.beeper.tone_ms} ms, pause ${s.beeper.pause_ms} ms, count ${s.beeper.count}`],
    ['auto report', s.auto_report_ms ? `every ${s.auto_report_ms} ms` : 'off'],
    ['alive signals', alive.signals],
    ['frames', `${s.frames_handled} handled, ${s.frames_ignored} ignored`],
  ];
  $('facts').replaceChildren(...facts.flatMap(([k, v]) => {
    const dt = document.createElement('dt'), dd = document.createElement('dd');
    dt.textContent = k;
    dd.textContent = v;
    return [dt, dd];
  }));
  inputs = [s.inputs[0], s.inputs[1]];
  $('di1').checked = inputs[0];
  $('di2').checked = inputs[1];
  for (const port of s.serial) {
    const panel = document.querySelector(`.serial[data-port="${port.port}"]`);
    if (!panel) continue;
    panel.querySelector('.settings').textContent = `${port.settings} · tx ${port.tx} · rx ${port.rx}`;
  }
  document.body.dataset.version = (Number(document.body.dataset.version || 0) + 1).toString();
}

function clock(ms) {
  const d = new Date(ms);
  return d.toTimeString().slice(0, 8) + '.' + String(d.getMilliseconds()).padStart(3, '0');
}

// Logs follow what comes in unless the person scrolled back to read.
function append(pre, nodes) {
  if (!pre.onscroll) {
    pre.dataset.follow = 'yes';
    pre.onscroll = () => {
      pre.dataset.follow = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 20 ? 'yes' : 'no';
    };
  }
  pre.append(...nodes);
  while (pre.childNodes.length > KEEP) pre.firstChild.remove();
  if (pre.dataset.follow === 'yes') pre.scrollTop = pre.scrollHeight;
}

function logFrames(entries) {
  append($('frames'), entries.map((e) => {
    const line = document.createElement('div');
    line.className = e.dir;
    const t = document.createElement('span');
    t.className = 't';
    t.textContent = clock(e.time) + ' ';
    line.append(t, (e.dir === 'in' ? '← ' : '→ ') + e.text);
    return line;
  }));
}

function logSerial(entries) {
  for (const port of [1, 2]) {
    const mine = entries.filter((e) => e.port === port);
    if (!mine.length) continue;
    const pre = document.querySelector(`.serial[data-port="${port}"] .console`);
    append(pre, mine.map((e) => {
      const span = document.createElement('span');
      span.className = e.dir;
      // 'in' is what the host sent out of the port, 'out' what the port gave the host.
      span.title = e.dir === 'in' ? 'host → line' : 'line → host';
      span.textContent = e.data.replace(/\r\n/g, '\n').replace(/[\x00-\x09\x0b-\x1f\x7f]/g, (c) => c === '\r' ? '\\r' : '·');
      return span;
    }));
  }
}

function startPolling() {
  if (polling) return;
  $('link').textContent = 'polling';
  $('link').className = 'badge';
  $('frames').textContent = 'Too many live pages are open on this simulator: this one polls the state '
    + 'every second, without the frame log. Close some and reload.';
  polling = setInterval(() => {
    fetch('state.json' + query).then((r) => r.json()).then(render).catch(() => {});
  }, 1000);
}

function connect() {
  const events = new EventSource('events' + query);
  events.onopen = () => { $('link').textContent = 'live'; $('link').className = 'badge ok'; };
  events.onmessage = (m) => {
    const e = JSON.parse(m.data);
    if (e.state) render(e.state);
    if (e.frames.length) logFrames(e.frames);
    if (e.serial.length) logSerial(e.serial);
  };
  events.onerror = () => {
    // A refused stream (too many pages open) closes for good: poll instead.
    if (events.readyState === EventSource.CLOSED) startPolling();
    else { $('link').textContent = 'reconnecting'; $('link').className = 'badge bad'; }
  };
}

function keypad() {
  for (let code = 1; code <= 16; ++code) {
    const b = document.createElement('button');
    b.type = 'button';
    b.dataset.key = code;
    b.innerHTML = `${code}<small>key ${code}</small>`;
    b.onclick = () => post('key', {code});
    $('keypad').append(b);
  }
  $('keyform').onsubmit = (ev) => {
    ev.preventDefault();
    post('key', {code: Number($('keycode').value)});
  };
}

function controls() {
  [1, 2].forEach((n) => {
    $('di' + n).onchange = (ev) => {
      inputs[n - 1] = ev.target.checked;
      post('inputs', {di1: inputs[0], di2: inputs[1]});
    };
  });
  [1, 2].forEach((port) => {
    const panel = $('serial-panel').content.firstElementChild.cloneNode(true);
    panel.dataset.port = port;
    panel.querySelector('.n').textContent = port;
    $('serial-panel').before(panel);
    panel.querySelector('form').onsubmit = (ev) => {
      ev.preventDefault();
      const line = panel.querySelector('.line');
      const text = line.value + (panel.querySelector('.crlf').checked ? '\r\n' : '');
      if (!text) return;
      post('serial', {port, text}).then(() => { line.value = ''; });
    };
  });
}

// With a farm, the list of its terminals (refreshed), any one to open.
function terminals() {
  fetch('terminals.json').then((r) => r.ok ? r.json() : null).then((list) => {
    if (!list || list.terminals.length < 2) return;
    $('farm').hidden = false;
    const hosts = list.terminals.filter((t) => t.connected).length;
    $('farm-summary').textContent = `${list.terminals.length} terminals, ${hosts} with a host; this is #${terminal || 0}`;
    $('terminals').replaceChildren(...list.terminals.map((t) => {
      const a = document.createElement('a');
      a.href = '?t=' + t.index;
      a.textContent = `#${t.index} :${t.port}`;
      a.title = t.state;
      if (t.connected) a.classList.add('host');
      if (t.state.includes(',')) a.classList.add('fault');
      if (String(t.index) === (terminal || '0')) a.classList.add('current');
      return a;
    }));
    setTimeout(terminals, 2000);
  }).catch(() => {});
}

keypad();
controls();
connect();
terminals();
