// The filter's panel as the host's toolkit model describes it, and the live
// render beside it. Every request carries the page's token.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

// Timings of the last edit, for people and for tests: when it was sent, when
// the preview and the live render that show it arrived (ms, page clock) and
// how long that render took (s); how often the whole panel was loaded; the
// edits the last live pictures showed.
const timings = { edit: 0, sent: 0, preview: 0, live: 0, liveEdit: 0, liveSeconds: 0, reloads: 0, pictures: [] };
window.vantrelTimings = timings;

function url(path, params = {}) {
  return `${path}?${new URLSearchParams({ ...params, token })}`;
}

// Messages the page has shown, by number: replies carry only newer ones.
let messagesSeen = 0;

// A refusal's message, with the reply it came in (a refused value carries
// the control as stored).
class Refusal extends Error {
  constructor(text, reply) {
    super(text);
    this.reply = reply;
  }
}

async function api(path, params = {}, method = 'GET') {
  const response = await fetch(url(path, { ...params, seen: messagesSeen }), { method });
  const text = await response.text();
  let body = null;
  try { body = JSON.parse(text); } catch { body = null; }
  if (!response.ok) throw new Refusal(body?.error || `${response.status} ${response.statusText}`, body);
  if (body === null) throw new Error(`${path} answered something other than JSON`);
  return body;
}

// ---------- messages ----------
function note(text, kind = 'info') {
  const li = document.createElement('li');
  li.className = kind;
  li.textContent = text;
  $('messages').append(li);
}
// The messages of a reply the page has not shown yet.
function showMessages(reply) {
  for (const m of reply.messages || []) {
    if (m.number < messagesSeen) continue;
    note(m.detail ? `${m.text}: ${m.detail}` : m.text, m.kind);
    messagesSeen = m.number + 1;
  }
  // Those dropped before the page asked for them are not coming.
  if (reply.next > messagesSeen) messagesSeen = reply.next;
}
const failed = (e) => note(e.message, 'error');

// ---------- controls ----------
// One per shown control: how to show a new value of it.
const shown = { panel: new Map(), dialog: new Map() };

function toHex(rgb) {
  const byte = (v) => Math.round(Math.min(Math.max(v, 0), 1) * 255).toString(16).padStart(2, '0');
  return `#${rgb.map(byte).join('')}`;
}
function fromHex(hex) {
  return [1, 3, 5].map((i) => (parseInt(hex.substr(i, 2), 16) / 255).toFixed(6)).join(',');
}

// Sends a control's values one at a time; while one is on its way only the
// newest of those entered meanwhile follows it.
// Values on their way; a dialog waits for them before it closes.
const sending = new Set();

function sender(where, id) {
  let busy = false;
  let next = null;
  // The value stored, shown in place of the text entered even in a field
  // that keeps the focus, once no newer value waits.
  const stored = (control) => {
    const s = shown[where].get(id);
    if (control && s && next === null) s.show(control.value, control, true);
  };
  const pump = async () => {
    while (next !== null) {
      const v = next;
      next = null;
      try {
        if (where === 'panel') timings.sent = performance.now();
        const state = await api('/api/set', { id, value: v, dialog: where === 'dialog' ? 1 : 0 }, 'POST');
        applyState(state, where);
        stored(state.changed.find((c) => c.id === id));
      } catch (e) {
        failed(e);
        stored(e.reply?.control);
      }
    }
  };
  return (value) => {
    next = value;
    if (busy) return;
    busy = true;
    const done = pump().finally(() => { busy = false; sending.delete(done); });
    sending.add(done);
  };
}

function labelled(c, element) {
  const wrap = document.createElement('div');
  wrap.className = 'control';
  const label = document.createElement('label');
  label.className = 'label';
  label.textContent = c.label;
  label.htmlFor = element.id;
  wrap.append(label, element);
  return wrap;
}

const kSliderSpan = 10000;

function numberControl(c, id, send) {
  const field = document.createElement('input');
  field.id = id;
  field.type = 'number';
  field.step = c.class === 'integer' ? '1' : 'any';
  if ('min' in c) { field.min = c.min; field.max = c.max; }
  const wrap = labelled(c, field);
  let slider = null;
  // A slider where the range is one a hand can move through; ranges that
  // only say "not negative" get the number field alone.
  if ('min' in c && c.max > c.min && c.max - c.min <= kSliderSpan) {
    slider = document.createElement('input');
    slider.type = 'range';
    slider.min = c.min;
    slider.max = c.max;
    slider.step = c.class === 'integer' ? '1' : String((c.max - c.min) / 1000);
    slider.setAttribute('aria-label', c.label);
    slider.addEventListener('input', () => { field.value = slider.value; send(slider.value); });
    wrap.append(slider);
  }
  field.addEventListener('change', () => send(field.value));
  const show = (v, control, stored = false) => {
    if (v === null) return;
    if (stored || document.activeElement !== field) field.value = v;
    if (slider && document.activeElement !== slider) slider.value = v;
  };
  return { element: wrap, focus: field, show };
}

function makeControl(c, where) {
  const send = sender(where, c.id);
  const id = `${where}-${c.id}`;
  let input;
  switch (c.class) {
    case 'float':
    case 'integer':
      return numberControl(c, id, send);
    case 'color':
      input = document.createElement('input');
      input.id = id;
      input.type = 'color';
      input.addEventListener('input', () => send(fromHex(input.value)));
      return { element: labelled(c, input), focus: input, show: (v) => { if (v) input.value = toHex(v); } };
    case 'iChoice':
    case 'iPopChoice':
      input = document.createElement('select');
      input.id = id;
      (c.choices || []).forEach((text, i) => input.add(new Option(text, i)));
      input.addEventListener('change', () => send(input.value));
      return { element: labelled(c, input), focus: input, show: (v) => { if (v !== null) input.value = v; } };
    case 'iBoolean':
      input = document.createElement('input');
      input.id = id;
      input.type = 'checkbox';
      input.addEventListener('change', () => send(input.checked ? 1 : 0));
      return { element: labelled(c, input), focus: input, show: (v) => { input.checked = !!v; } };
    case 'sFileName': {
      input = document.createElement('input');
      input.id = id;
      input.className = 'path';
      input.spellcheck = false;
      input.addEventListener('change', () => send(input.value));
      const wrap = labelled(c, input);
      const browse = document.createElement('button');
      browse.type = 'button';
      browse.textContent = 'Browse…';
      browse.addEventListener('click', () => act('/api/browse', where, c.id));
      wrap.append(browse);
      return { element: wrap, focus: input, show: (v) => { if (v !== null) input.value = v; } };
    }
    case 'vButton':
      input = document.createElement('button');
      input.id = id;
      input.type = 'button';
      input.textContent = c.label;
      input.addEventListener('click', () => act('/api/press', where, c.id));
      return { element: input, focus: input, show: () => {} };
    case 'dThumbnail': {
      const img = document.createElement('img');
      img.id = id;
      img.alt = c.label;
      img.dataset.id = c.id;
      const wrap = document.createElement('div');
      wrap.className = 'control area';
      wrap.append(img);
      const show = (v, control) => {
        img.onload = () => { if (c.label === 'Preview') timings.preview = performance.now(); };
        img.src = url('/api/area.png', { id: c.id, dialog: where === 'dialog' ? 1 : 0, v: control.version });
      };
      return { element: wrap, focus: img, show };
    }
    default:
      input = document.createElement('span');
      input.textContent = `(${c.class})`;
      return { element: labelled(c, input), focus: input, show: () => {} };
  }
}

// Lays the controls out in table order: a control's row partner joins its
// row, a divider follows the controls that ask for one.
function renderControls(panel, container, where) {
  container.replaceChildren();
  shown[where].clear();
  const rowOf = new Map();
  for (const c of panel.controls) {
    const made = makeControl(c, where);
    made.show(c.value, c);
    shown[where].set(c.id, made);
    let row = rowOf.get(c.id);
    if (!row) {
      row = document.createElement('div');
      row.className = 'row';
      container.append(row);
    }
    row.append(made.element);
    if (c.partner) rowOf.set(c.partner, row);
    if (c.divider) container.append(document.createElement('hr'));
  }
  const first = shown[where].get(panel.focus);
  if (first) first.focus.focus();
}

// ---------- state after each step ----------
// The state after a step on the panel or on the open dialog: the controls it
// changed are the ones of `where`.
function applyState(state, where = 'panel') {
  if (state.edit > timings.edit) timings.edit = state.edit;
  for (const c of state.changed) {
    const s = shown[where].get(c.id);
    if (s) s.show(c.value, c);
  }
  showMessages(state);
  if (state.dialog && !$('dialog').open) openDialog(state.dialog);
  if (state.request && !$('requester').open) openRequester(state.request);
}

async function act(path, where, id) {
  try {
    applyState(await api(path, { id, dialog: where === 'dialog' ? 1 : 0 }, 'POST'), where);
  } catch (e) {
    failed(e);
  }
}

async function reload() {
  const model = await api('/api/model');
  $('title').textContent = model.panel.title || 'Vantrel';
  document.title = model.panel.title || 'Vantrel panel';
  renderControls(model.panel, $('controls'), 'panel');
  applyState(model.state);
  timings.reloads += 1;
  return model;
}

// ---------- the parent chooser and other forms ----------
function openDialog(form) {
  $('dialog-title').textContent = form.title;
  renderControls(form, $('dialog-controls'), 'dialog');
  if (!$('dialog').open) $('dialog').showModal();
}
// A dialog or request being answered; steps that depend on its outcome
// (saving the scene) wait for it.
let settling = Promise.resolve();
function settle(work) {
  settling = work().catch(failed);
  return settling;
}

function closeDialog(confirm) {
  return settle(async () => {
    await Promise.all([...sending]);
    $('dialog').close();
    await api('/api/dialog', { confirm: confirm ? 1 : 0 }, 'POST');
    await reload();
  });
}
$('dialog-ok').addEventListener('click', () => closeDialog(true));
$('dialog-cancel').addEventListener('click', () => closeDialog(false));
$('dialog').addEventListener('cancel', (e) => { e.preventDefault(); closeDialog(false); });

// ---------- the file requester ----------
let requestFolder = '';
async function listFolder(folder) {
  try {
    const list = await api('/api/files', { folder });
    requestFolder = list.folder;
    $('requester-folder').value = list.folder;
    $('requester-up').dataset.parent = list.parent;
    const ul = $('requester-list');
    ul.replaceChildren();
    for (const e of list.entries) {
      const li = document.createElement('li');
      li.textContent = e.name;
      li.className = e.folder ? 'folder' : 'file';
      li.setAttribute('role', 'option');
      li.tabIndex = -1;
      const choose = () => {
        if (e.folder) listFolder(`${requestFolder}/${e.name}`);
        else {
          $('requester-name').value = e.name;
          ul.querySelectorAll('li').forEach((x) => x.setAttribute('aria-selected', x === li));
        }
      };
      li.addEventListener('click', choose);
      li.addEventListener('keydown', (k) => { if (k.key === 'Enter') choose(); });
      ul.append(li);
    }
  } catch (e) {
    failed(e);
  }
}
function openRequester(request) {
  $('requester-title').textContent = request.title || (request.save ? 'Save' : 'Open');
  $('requester-ok').textContent = request.save ? 'Save' : 'Open';
  $('requester-name').value = '';
  if (!$('requester').open) $('requester').showModal();
  listFolder(request.folder);
  $('requester-name').focus();
}
function closeRequester(confirm) {
  const name = $('requester-name').value.trim();
  if (confirm && !name) return settling;
  $('requester').close();
  return settle(async () => {
    const path = name.startsWith('/') ? name : `${requestFolder}/${name}`;
    await api('/api/file', confirm ? { path } : { cancel: 1 }, 'POST');
    await reload();
  });
}
$('requester-ok').addEventListener('click', () => closeRequester(true));
$('requester-cancel').addEventListener('click', () => closeRequester(false));
$('requester').addEventListener('cancel', (e) => { e.preventDefault(); closeRequester(false); });
$('requester-up').addEventListener('click', (e) => listFolder(e.target.dataset.parent || '/'));
$('requester-folder').addEventListener('change', (e) => listFolder(e.target.value));
$('requester-name').addEventListener('keydown', (k) => { if (k.key === 'Enter') closeRequester(true); });
$('requester-list').addEventListener('keydown', (k) => {
  const items = [...$('requester-list').children];
  const at = items.indexOf(document.activeElement);
  if (k.key === 'ArrowDown' || k.key === 'ArrowUp') {
    k.preventDefault();
    const next = items[Math.min(Math.max(at + (k.key === 'ArrowDown' ? 1 : -1), 0), items.length - 1)];
    if (next) next.focus();
  }
});

// ---------- the live render ----------
async function followLive() {
  let after = 0;
  for (;;) {
    try {
      const info = await api('/api/live.json', { after });
      if (info.number <= after) continue;
      after = info.number;
      timings.pictures = [...timings.pictures.slice(-49), info.edit];
      const img = $('live-image');
      img.onload = () => {
        if (info.edit >= timings.edit) {
          timings.live = performance.now();
          timings.liveEdit = info.edit;
          timings.liveSeconds = info.seconds;
        }
        const since = timings.sent && info.edit >= timings.edit ? `, ${Math.round(timings.live - timings.sent)} ms after the edit` : '';
        $('live-info').textContent = `frame ${info.frame}, ${info.width}×${info.height}, rendered in ${info.seconds.toFixed(2)} s${since}`;
      };
      img.src = url('/api/live.png', { n: info.number });
    } catch (e) {
      $('live-info').textContent = `live render: ${e.message}`;
      return;
    }
  }
}

function setupLive(live) {
  const frame = $('frame');
  frame.min = live.first;
  frame.max = live.last;
  frame.value = live.frame;
  $('full').checked = live.full;
  const choose = () => api('/api/live', { frame: frame.value, full: $('full').checked ? 1 : 0 }, 'POST').catch(failed);
  frame.addEventListener('change', choose);
  $('full').addEventListener('change', choose);
}

// ---------- scene and closing ----------
$('save-scene').addEventListener('click', async () => {
  try {
    await settling;
    const saved = await api('/api/save', {}, 'POST');
    showMessages(saved);
    note(`Saved ${saved.saved}`);
  } catch (e) {
    failed(e);
  }
});
let closed = false;
function closePanel() {
  if (closed) return;
  closed = true;
  navigator.sendBeacon(url('/api/close'));
}
$('close-panel').addEventListener('click', () => { closePanel(); note('The panel is closed.'); });
window.addEventListener('pagehide', closePanel);

reload().then((model) => { setupLive(model.live); followLive(); }).catch(failed);
