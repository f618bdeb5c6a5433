// The live page: one card per scale with its weight, state, units switch and the last 60 s.
'use strict';

(function () {
  const token = new URLSearchParams(location.search).get('token');
  const KG_PER = {lb: 0.45359237, kg: 1, g: 0.001, oz: 0.028349523125};
  const DECIMALS = {lb: 3, kg: 3, g: 0, oz: 2};
  const WINDOW_MS = 60000;
  const cards = new Map();
  let received = [];  // arrival times of the last second's messages

  function request(path, options) {
    const o = Object.assign({}, options);
    o.headers = Object.assign({}, o.headers, token ? {Authorization: 'Bearer ' + token} : {});
    return fetch(path, o).then((r) => r.json().then((body) => {
      if (!r.ok) throw new Error(body.error || r.statusText);
      return body;
    }));
  }

  function setLink(text, down) {
    const el = document.getElementById('link');
    el.textContent = text;
    el.classList.toggle('down', !!down);
  }

  function card(name) {
    let c = cards.get(name);
    if (c) return c;
    const root = document.getElementById('card').content.firstElementChild.cloneNode(true);
    const q = (s) => root.querySelector(s);
    c = {
      name, root, history: [], units: null, text: null, drawn: 0, dirty: true,
      weight: q('.weight'), unit: q('.unit'), state: q('.state'), scaleText: q('.scale-text'),
      when: q('.when'), reason: q('.reason'), canvas: q('.plot'),
      buttons: Array.from(root.querySelectorAll('.units button')),
    };
    root.dataset.scale = name;
    q('.name').textContent = name;
    for (const b of c.buttons) b.addEventListener('click', () => setUnits(c, b.dataset.units));
    document.getElementById('scales').appendChild(root);
    cards.set(name, c);
    return c;
  }

  function format(value, units) {
    return value.toFixed(DECIMALS[units] !== undefined ? DECIMALS[units] : 3);
  }

  function clock(t) {
    if (!t) return '';
    const d = new Date(t);
    const pad = (n, w) => String(n).padStart(w, '0');
    return pad(d.getHours(), 2) + ':' + pad(d.getMinutes(), 2) + ':' + pad(d.getSeconds(), 2) +
        '.' + pad(d.getMilliseconds(), 3);
  }

  function update(m) {
    const now = Date.now();
    received.push(now);
    const c = card(m.scale);
    const units = m.units || null;  // of NetWt; NetWtUnits may be newer than the last frame
    if (m.event === 'weight') {
      if (m.valid && units) {
        c.units = units;
        c.text = m.NetWtText || format(m.NetWt, units);
        c.history.push({t: now, kg: m.NetWt * KG_PER[units]});
      } else {
        c.history.push({t: now, kg: null, motion: m.state === 'motion'});
      }
    } else if (m.state === 'lost' || m.state === 'reconnecting') {
      c.history.push({t: now, kg: null, motion: false});
    }
    if (!c.units && units) c.units = units;

    c.root.className = 'card ' + m.state;
    c.state.className = 'state ' + m.state;
    c.state.textContent = m.state;
    const shown = c.text !== null ? c.text : '–';
    if (c.weight.textContent !== shown) c.weight.textContent = shown;
    c.unit.textContent = c.units || '';
    for (const b of c.buttons) b.classList.toggle('on', b.dataset.units === c.units);
    const raw = m.FormattedWt ? m.FormattedWt + ' ' + ({1: 'kg', 2: 'lb:oz', 3: 'g', 4: 'lb:oz'}[m.RawWtUnits] || '') : '';
    c.scaleText.textContent = raw ? 'scale shows ' + raw + (m.ScaleStatus ? ', status ' + m.ScaleStatus : '') : '';
    c.when.textContent = clock(m.t);
    c.reason.textContent = m.reason || '';
    c.dirty = true;
  }

  function setUnits(c, units) {
    for (const b of c.buttons) b.disabled = true;
    request('/api/scales/' + encodeURIComponent(c.name) + '/units', {method: 'PUT', body: units})
        .then(() => {
          // NetWt follows with the next frame; the plot keeps kilograms and converts.
          c.units = units;
          for (const b of c.buttons) b.classList.toggle('on', b.dataset.units === units);
          c.dirty = true;
        })
        .catch((e) => { c.reason.textContent = 'units: ' + e.message; })
        .finally(() => { for (const b of c.buttons) b.disabled = false; });
  }

  // A step of 1, 2 or 5 times a power of ten near `span`.
  function niceStep(span) {
    const p = Math.pow(10, Math.floor(Math.log10(span)));
    const f = span / p;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * p;
  }

  function draw(c, now) {
    const cv = c.canvas;
    const dpr = window.devicePixelRatio || 1;
    const w = cv.clientWidth, h = cv.clientHeight;
    if (cv.width !== Math.round(w * dpr) || cv.height !== Math.round(h * dpr)) {
      cv.width = Math.round(w * dpr);
      cv.height = Math.round(h * dpr);
    }
    const ctx = cv.getContext('2d');
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    const from = now - WINDOW_MS;
    while (c.history.length > 1 && c.history[1].t < from) c.history.shift();

    const units = c.units || 'kg';
    const scale = 1 / KG_PER[units];
    let lo = Infinity, hi = -Infinity;
    for (const p of c.history) {
      if (p.kg === null) continue;
      lo = Math.min(lo, p.kg * scale);
      hi = Math.max(hi, p.kg * scale);
    }
    if (lo === Infinity) { lo = 0; hi = 1; }
    const least = Math.max(Math.abs(hi) * 0.02, 10 * Math.pow(10, -DECIMALS[units]));
    if (hi - lo < least) {
      const mid = (hi + lo) / 2;
      lo = mid - least / 2;
      hi = mid + least / 2;
    }
    const pad = (hi - lo) * 0.12;
    lo -= pad;
    hi += pad;

    const left = 58, right = 8, top = 8, bottom = 22;
    const pw = w - left - right, ph = h - top - bottom;
    const x = (t) => left + (t - from) / WINDOW_MS * pw;
    const y = (v) => top + (hi - v) / (hi - lo) * ph;
    const style = getComputedStyle(document.documentElement);
    const grid = style.getPropertyValue('--line').trim();
    const muted = style.getPropertyValue('--muted').trim();
    const accent = style.getPropertyValue('--accent').trim();

    ctx.font = '11px system-ui, sans-serif';
    ctx.lineWidth = 1;
    ctx.strokeStyle = grid;
    ctx.fillStyle = muted;
    const step = niceStep((hi - lo) / 4);
    const decimals = Math.max(0, -Math.floor(Math.log10(step)));
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
      ctx.beginPath();
      ctx.moveTo(left, Math.round(y(v)) + 0.5);
      ctx.lineTo(w - right, Math.round(y(v)) + 0.5);
      ctx.stroke();
      ctx.fillText(v.toFixed(decimals), left - 8, y(v));
    }
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    for (let s = 60; s >= 0; s -= 15) {
      const gx = Math.round(left + (1 - s / 60) * pw) + 0.5;
      ctx.beginPath();
      ctx.moveTo(gx, top);
      ctx.lineTo(gx, top + ph);
      ctx.stroke();
      ctx.fillText(s ? '−' + s + ' s' : 'now', Math.min(gx, w - right - 12), top + ph + 6);
    }

    // The line, broken where there was no valid weight; each piece shaded down to the axis.
    // Where the scale was only in motion in between, a dashed line bridges the pieces.
    const pieces = [];
    let piece = [];
    let motionOnly = true;
    for (const p of c.history) {
      if (p.kg === null) {
        if (piece.length) pieces.push(piece);
        if (piece.length) motionOnly = true;
        motionOnly = motionOnly && p.motion;
        piece = [];
      } else {
        if (!piece.length) piece.bridged = pieces.length > 0 && motionOnly;
        piece.push([Math.max(x(p.t), left), y(p.kg * scale)]);
      }
    }
    if (piece.length) {
      piece.push([x(now), piece[piece.length - 1][1]]);  // the weight holds until now
      pieces.push(piece);
    }
    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, pw, ph);
    ctx.clip();
    const shade = ctx.createLinearGradient(0, top, 0, top + ph);
    shade.addColorStop(0, accent + '55');
    shade.addColorStop(1, accent + '00');
    for (let i = 1; i < pieces.length; i++) {
      if (!pieces[i].bridged) continue;
      const a = pieces[i - 1][pieces[i - 1].length - 1], b = pieces[i][0];
      ctx.beginPath();
      ctx.moveTo(a[0], a[1]);
      ctx.lineTo(b[0], b[1]);
      ctx.setLineDash([3, 3]);
      ctx.strokeStyle = muted;
      ctx.lineWidth = 1.5;
      ctx.stroke();
      ctx.setLineDash([]);
    }
    for (const pts of pieces) {
      ctx.beginPath();
      ctx.moveTo(pts[0][0], top + ph);
      for (const [px, py] of pts) ctx.lineTo(px, py);
      ctx.lineTo(pts[pts.length - 1][0], top + ph);
      ctx.fillStyle = shade;
      ctx.fill();
      ctx.beginPath();
      pts.forEach(([px, py], i) => (i ? ctx.lineTo(px, py) : ctx.moveTo(px, py)));
      ctx.strokeStyle = accent;
      ctx.lineWidth = 2;
      ctx.lineJoin = 'round';
      ctx.stroke();
    }
    ctx.restore();
    c.drawn = now;
    c.dirty = false;
  }

  function frame() {
    const now = Date.now();
    for (const c of cards.values()) {
      if (c.dirty || now - c.drawn > 250) draw(c, now);
    }
    requestAnimationFrame(frame);
  }

  let retry = 0;
  function live() {
    received = received.filter((t) => t > Date.now() - 1000);
    setLink('live · ' + received.length + ' events/s');
  }
  let liveTimer = null;
  function opened() {
    retry = 0;
    live();
    clearInterval(liveTimer);
    liveTimer = setInterval(live, 1000);
  }
  function lost() {
    clearInterval(liveTimer);
    setLink('server unreachable, retrying…', true);
  }

  function connect() {
    if (!('WebSocket' in window)) return connectEventSource();
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/api/events';
    const ws = token ? new WebSocket(url, ['varnel', 'bearer.' + token]) : new WebSocket(url);
    ws.onopen = opened;
    ws.onmessage = (e) => update(JSON.parse(e.data));
    ws.onclose = () => {
      lost();
      setTimeout(connect, Math.min(5000, 500 * Math.pow(2, retry++)));
    };
  }

  function connectEventSource() {
    const es = new EventSource('/api/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
    es.onopen = opened;
    es.onmessage = (e) => update(JSON.parse(e.data));
    es.onerror = lost;  // EventSource reconnects by itself
  }

  function start() {
    request('/api/scales')
        .then((body) => {
          for (const s of body.scales) update(s);
          connect();
        })
        .catch((e) => setLink(e.message + (token ? '' : ' (open this page as /?token=…)'), true));
    requestAnimationFrame(frame);
  }

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', start);
  } else {
    start();
  }
})();
