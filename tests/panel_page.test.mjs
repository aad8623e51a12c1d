// The panel's page in headless Chromium, driven over the DevTools protocol:
// the real vantrel-host serving the shipped demo scene.
//   VANTREL_HOST=path VANTREL_PLUGIN=path VANTREL_SOURCE_DIR=path [VANTREL_ARTEFACTS=dir]
//   node --experimental-websocket --test panel_page.test.mjs
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, copyFileSync, symlinkSync, mkdirSync, readFileSync,
  writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const chromium = '/usr/bin/chromium';
const env = process.env;

// The first line of a child's stream that matches, or an error after a while.
function firstMatch(stream, pattern, what, ms = 20000) {
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`no ${what} in: ${text}`)), ms);
    stream.on('data', (chunk) => {
      text += chunk;
      const m = text.match(pattern);
      if (m) { clearTimeout(timer); resolve(m); }
    });
  });
}

// The promise's value, or an error naming what did not come in time.
function within(promise, what, ms = 20000) {
  let timer;
  const late = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// One page's DevTools session.
class Page {
  constructor(ws) {
    this.ws = ws;
    this.next = 1;
    this.waiting = new Map();
    ws.addEventListener('message', (e) => {
      const msg = JSON.parse(e.data);
      const w = this.waiting.get(msg.id);
      if (!w) return;
      this.waiting.delete(msg.id);
      if (msg.error) w.reject(new Error(msg.error.message)); else w.resolve(msg.result);
    });
  }
  static async open(wsUrl) {
    const ws = new WebSocket(wsUrl);
    await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onerror = reject; });
    return new Page(ws);
  }
  send(method, params = {}) {
    const id = this.next++;
    this.ws.send(JSON.stringify({ id, method, params }));
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject }));
  }
  async eval(expression) {
    const r = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (r.exceptionDetails) throw new Error(`${expression}: ${r.exceptionDetails.exception?.description}`);
    return r.result.value;
  }
  async until(expression, what, ms = 20000) {
    const end = Date.now() + ms;
    for (;;) {
      const v = await this.eval(expression);
      if (v) return v;
      if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
      await new Promise((r) => setTimeout(r, 25));
    }
  }
}

// The sum of an image's pixels as the page shows it.
const imageSum = (selector) => `(() => {
  const img = document.querySelector(${JSON.stringify(selector)});
  const c = document.createElement('canvas');
  c.width = img.naturalWidth; c.height = img.naturalHeight;
  const g = c.getContext('2d');
  g.drawImage(img, 0, 0);
  const d = g.getImageData(0, 0, c.width, c.height).data;
  let s = 0;
  for (let i = 0; i < d.length; i += 4) s += d[i] + d[i + 1] + d[i + 2];
  return s;
})()`;

test('the panel page in a browser', { skip: !existsSync(chromium) && 'chromium is not installed' }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'vantrel-page-'));
  const children = [];
  t.after(async () => {
    await Promise.all(children.map((child) => new Promise((resolve) => {
      if (child.exitCode !== null || child.signalCode !== null) resolve();
      else { child.on('exit', resolve); child.kill(); }
    })));
    rmSync(dir, { recursive: true, force: true });
  });
  mkdirSync(join(dir, 'plugin'));
  const plugin = join(dir, 'plugin', 'vantrel64.so');
  copyFileSync(env.VANTREL_PLUGIN, plugin);
  copyFileSync(join(env.VANTREL_SOURCE_DIR, 'data', 'orion.vsc'), join(dir, 'orion.vsc'));
  symlinkSync(join(env.VANTREL_SOURCE_DIR, 'data', 'hipparcos3D.stars'), join(dir, 'hipparcos3D.stars'));

  const host = spawn(env.VANTREL_HOST, ['panel', join(dir, 'orion.vsc'), '--plugin', plugin], { cwd: dir });
  children.push(host);
  let hostErr = '';
  host.stderr.on('data', (c) => { hostErr += c; });
  const hostExit = new Promise((resolve) => host.on('exit', (code) => resolve(code)));
  const [, pageUrl] = await firstMatch(host.stdout, /(http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32})\n/, 'URL');

  const browser = spawn(chromium, ['--headless=new', '--no-sandbox', '--disable-gpu',
    '--disable-dev-shm-usage', '--remote-debugging-port=0', `--user-data-dir=${join(dir, 'profile')}`,
    '--window-size=1500,1000', 'about:blank']);
  children.push(browser);
  const [, port] = await firstMatch(browser.stderr, /DevTools listening on ws:\/\/127\.0\.0\.1:(\d+)\//, 'DevTools address');
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const page = await Page.open(targets.find((x) => x.type === 'page').webSocketDebuggerUrl);
  await page.send('Page.navigate', { url: pageUrl });

  // Every control from the model, in its place; the first focus on Star Brightness.
  await page.until(`!!document.getElementById('panel-32769')`, 'the controls');
  assert.equal(await page.eval(`document.activeElement.id`), 'panel-32769');
  assert.equal(await page.eval(`document.querySelector('label[for=panel-32769]').textContent`), 'Star Brightness');
  assert.deepEqual(await page.eval(`[...document.querySelectorAll('#panel-32780 option')].map((o) => o.text)`),
    ['Persp', 'HemiSph', 'AzEqu']);
  assert.equal(await page.eval(`document.getElementById('panel-32780').closest('.row') === document.getElementById('panel-32792').closest('.row')`), true,
    'Projection and 3D Stars share a row');
  assert.ok(await page.eval(`document.querySelectorAll('#controls hr').length`) >= 2);
  assert.equal(await page.eval(`document.getElementById('panel-32778').parentElement.querySelector('input[type=range]').max`), '100');

  // A new Star Brightness: more light in the preview and in the live render.
  await page.until(`document.querySelector('img[data-id="32786"]').complete && document.getElementById('live-image').complete && document.getElementById('live-image').naturalWidth > 0`, 'the first pictures');
  const previewBefore = await page.eval(imageSum('img[data-id="32786"]'));
  const liveBefore = await page.eval(imageSum('#live-image'));
  await page.eval(`(() => { const f = document.getElementById('panel-32769'); f.value = '3'; f.dispatchEvent(new Event('change')); })()`);
  const timings = await page.until(`(() => { const t = window.vantrelTimings;
    return t.sent && t.preview > t.sent && t.live > t.sent && t.liveEdit >= t.edit && t.edit > 0 ? t : null; })()`, 'the new preview and live render');
  assert.ok(await page.eval(imageSum('img[data-id="32786"]')) > previewBefore, 'a brighter preview');
  assert.ok(await page.eval(imageSum('#live-image')) > liveBefore * 1.5, 'a brighter live render');
  console.log(`edit to new preview ${(timings.preview - timings.sent).toFixed(0)} ms, ` +
    `to new live render ${(timings.live - timings.sent).toFixed(0)} ms`);
  // Edits closer than 120 ms are rendered once: a render starts that long after its edit at the earliest.
  assert.ok(timings.live - timings.sent >= 120 + 1000 * timings.liveSeconds,
    `the live render began before the debounce was over: ${JSON.stringify(timings)}`);

  // Values entered while one is on its way: the newest follows it, the ones between are dropped.
  const storedValue = (id) => page.eval(`api('/api/model').then((m) => m.panel.controls.find((c) => c.id === ${id}).value)`);
  const editsBefore = await page.eval(`window.vantrelTimings.edit`);
  await page.eval(`(() => { const f = document.getElementById('panel-32769');
    for (const v of ['4', '5', '6']) { f.value = v; f.dispatchEvent(new Event('change')); } })()`);
  await page.until(`window.vantrelTimings.edit >= ${editsBefore + 2} && sending.size === 0`, 'the values sent');
  assert.equal(await storedValue(32769), 6);
  assert.equal(await page.eval(`window.vantrelTimings.edit`), editsBefore + 2, 'two values sent, not three');

  // A number refused (or changed) by the panel: the field shows what is stored, though it keeps the focus.
  await page.eval(`(() => { const f = document.getElementById('panel-32769'); f.focus(); f.value = '-5';
    f.dispatchEvent(new Event('change')); })()`);
  await page.until(`[...document.querySelectorAll('#messages li.error')].some((li) => li.textContent === 'Star Brightness takes 0 to 99999999; -5 is refused')`,
    'the refusal on the page');
  await page.until(`document.getElementById('panel-32769').value === '6'`, 'the stored value in the field');
  assert.equal(await page.eval(`document.activeElement.id`), 'panel-32769');

  // What the plug-in reports shows on the page, and the field keeps the database it had.
  await page.eval(`(() => { const f = document.getElementById('panel-32785'); f.value = '/nonexistent.stars'; f.dispatchEvent(new Event('change')); })()`);
  await page.until(`[...document.querySelectorAll('#messages li.error')].some((li) => li.textContent === '/nonexistent.stars is not a valid star database file.')`, 'the message on the page');
  assert.equal(await page.until(`document.getElementById('panel-32785').value !== '/nonexistent.stars' && document.getElementById('panel-32785').value`, 'the database shown again'), 'hipparcos3D.stars');

  // 3D Stars: on with the 3D database; a database without distances switches it
  // off, and turning it on again is refused with the plug-in's message.
  const flat = join(dir, 'flat.stars');
  const record = Buffer.alloc(32);
  record.writeFloatLE(1, 16);
  writeFileSync(flat, Buffer.concat([Buffer.from('VANTREL1'), Buffer.alloc(24), record]));
  const setField = (id, value) => page.eval(`(() => { const f = document.getElementById('panel-${id}');
    f.value = ${JSON.stringify(value)}; f.dispatchEvent(new Event('change')); })()`);
  // Each step waits for the host to take the edit before the next is sent.
  const edited = async (action, what) => {
    const before = await page.eval(`window.vantrelTimings.edit`);
    await action();
    await page.until(`window.vantrelTimings.edit > ${before}`, what);
  };
  await edited(() => page.eval(`document.getElementById('panel-32792').click()`), '3D Stars on');
  assert.equal(await page.eval(`document.getElementById('panel-32792').checked`), true);
  await edited(() => setField(32785, flat), 'the database without distances');
  await page.until(`!document.getElementById('panel-32792').checked && document.getElementById('panel-32785').value === ${JSON.stringify(flat)}`,
    '3D Stars switched off by a database without distances');
  await page.eval(`document.getElementById('panel-32792').click()`);
  const refused = `Star database ${flat} does not support 3D star option (try hipparcos3D.stars).`;
  await page.until(`[...document.querySelectorAll('#messages li.error')].some((li) => li.textContent === ${JSON.stringify(refused)})`,
    'the 3D message on the page');
  await page.until(`!document.getElementById('panel-32792').checked`, '3D Stars kept off');
  await setField(32785, 'hipparcos3D.stars');
  await page.until(`document.getElementById('panel-32785').value === 'hipparcos3D.stars'`, 'the 3D database again');

  // A check box stores 1 and 0.
  for (const want of [1, 0]) {
    await edited(() => page.eval(`document.getElementById('panel-32781').click()`), 'Anamorphic DOF');
    assert.equal(await storedValue(32781), want);
  }

  // A live render that a newer edit makes stale is cancelled: no picture shows
  // the stale edit. Full size and wide spots make it last seconds.
  await page.eval(`(() => { const f = document.getElementById('full'); f.checked = true; f.dispatchEvent(new Event('change')); })()`);
  await page.until(`document.getElementById('live-info').textContent.includes('1920×1080')`, 'a full-size live render');
  const stale = await page.eval(`window.vantrelTimings.edit`) + 1;
  await edited(() => setField(32776, '250'), 'wide spots');
  await new Promise((r) => setTimeout(r, 400));
  await edited(() => setField(32776, '3.5'), 'the spots as they were');
  const newest = await page.eval(`window.vantrelTimings.edit`);
  await page.until(`window.vantrelTimings.pictures.includes(${newest})`, 'the live render of the newest edit', 30000);
  assert.ok(!(await page.eval(`window.vantrelTimings.pictures`)).includes(stale), 'the stale render was cancelled');
  await page.eval(`(() => { const f = document.getElementById('full'); f.checked = false; f.dispatchEvent(new Event('change')); })()`);

  // One dialog at a time: Load Settings pressed behind the open chooser asks for no file and says nothing.
  await page.eval(`document.getElementById('panel-32779').click()`);
  await page.until(`document.getElementById('dialog').open && !!document.getElementById('dialog-32769')`, 'the parent chooser');
  const said = await page.eval(`document.querySelectorAll('#messages li').length`);
  await page.eval(`act('/api/press', 'panel', 32783)`);
  assert.equal(await page.eval(`document.getElementById('requester').open`), false, 'no requester over the chooser');
  assert.equal(await page.eval(`document.getElementById('dialog').open`), true);
  assert.equal(await page.eval(`document.querySelectorAll('#messages li').length`), said);
  const reloaded = await page.eval(`window.vantrelTimings.reloads`);
  await page.eval(`document.getElementById('dialog-cancel').click()`);
  await page.until(`window.vantrelTimings.reloads > ${reloaded}`, 'the chooser closed');

  // The parent chooser: choose the camera, confirm, save the scene.
  const scene = join(dir, 'orion.vsc');
  const choose = async (entry, button) => {
    await page.eval(`document.getElementById('panel-32779').click()`);
    await page.until(`document.getElementById('dialog').open && !!document.getElementById('dialog-32769')`, 'the parent chooser');
    assert.deepEqual(await page.eval(`[...document.querySelectorAll('#dialog-32769 option')].map((o) => o.text)`),
      ['NONE', '(Camera) Camera']);
    await page.eval(`(() => { const s = document.getElementById('dialog-32769'); s.value = '${entry}'; s.dispatchEvent(new Event('change')); })()`);
    const reloads = await page.eval(`window.vantrelTimings.reloads`);
    await page.eval(`document.getElementById('${button}').click()`);
    await page.until(`window.vantrelTimings.reloads > ${reloads}`, 'the panel loaded after the chooser');
    assert.equal(await page.eval(`document.getElementById('dialog').open`), false);
    assert.equal(await page.eval(`document.getElementById('panel-32769').value`), '6', 'the chooser\'s entry is no panel value');
    const saved = await page.eval(`document.querySelectorAll('#messages li').length`);
    await page.eval(`document.getElementById('save-scene').click()`);
    await page.until(`document.querySelectorAll('#messages li').length > ${saved}`, 'the scene saved');
    return readFileSync(scene, 'latin1');
  };
  assert.match(await choose(1, 'dialog-ok'), /ParentID 805306369\n/);
  assert.match(await choose(0, 'dialog-cancel'), /ParentID 805306369\n/, 'cancelled, the parent stays');

  // Save Settings through the file requester; hidden files are not listed.
  writeFileSync(join(dir, '.hidden.settings'), 'VantrelVersion 2\n');
  await page.eval(`document.getElementById('panel-32784').click()`);
  await page.until(`document.getElementById('requester').open && document.getElementById('requester-folder').value === ${JSON.stringify(dir)}`, 'the requester');
  await page.until(`[...document.querySelectorAll('#requester-list li')].some((li) => li.textContent === 'plugin')`, 'the folder listed');
  assert.deepEqual(await page.eval(`[...document.querySelectorAll('#requester-list li')].map((li) => li.textContent).filter((t) => t.startsWith('.'))`), []);
  await page.eval(`document.getElementById('requester-name').value = 'look.settings'`);
  const reloads = await page.eval(`window.vantrelTimings.reloads`);
  await page.eval(`document.getElementById('requester-ok').click()`);
  await page.until(`window.vantrelTimings.reloads > ${reloads}`, 'the panel loaded after the requester');
  for (let i = 0; i < 200 && !existsSync(join(dir, 'look.settings')); ++i) await new Promise((r) => setTimeout(r, 25));
  assert.match(readFileSync(join(dir, 'look.settings'), 'latin1'), /Brightness 6\n/);

  if (env.VANTREL_ARTEFACTS) {
    mkdirSync(env.VANTREL_ARTEFACTS, { recursive: true });
    const shot = await page.send('Page.captureScreenshot', { format: 'png' });
    writeFileSync(join(env.VANTREL_ARTEFACTS, 'panel-page.png'), Buffer.from(shot.data, 'base64'));
  }

  // Leaving the page (as closing its tab does) ends the program and writes vantrel.ini.
  await page.send('Page.navigate', { url: 'about:blank' });
  assert.equal(await within(hostExit, 'the program to end after the page was left'), 0, hostErr);
  assert.match(readFileSync(join(dir, 'plugin', 'vantrel.ini'), 'latin1'), /DefaultStarFile/);

  // A fresh panel on the scene as shipped: Load Settings brings the saved look back.
  copyFileSync(join(env.VANTREL_SOURCE_DIR, 'data', 'orion.vsc'), join(dir, 'fresh.vsc'));
  const second = spawn(env.VANTREL_HOST, ['panel', join(dir, 'fresh.vsc'), '--plugin', plugin], { cwd: dir });
  children.push(second);
  let secondErr = '';
  second.stderr.on('data', (c) => { secondErr += c; });
  const secondExit = new Promise((resolve) => second.on('exit', (code) => resolve(code)));
  const [, freshUrl] = await firstMatch(second.stdout, /(http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32})\n/, 'URL');
  const target = await (await fetch(`http://127.0.0.1:${port}/json/new?${freshUrl}`, { method: 'PUT' })).json();
  const fresh = await Page.open(target.webSocketDebuggerUrl);
  await fresh.until(`!!document.getElementById('panel-32769')`, 'the fresh panel');
  assert.notEqual(await fresh.eval(`document.getElementById('panel-32769').value`), '6');
  await fresh.eval(`document.getElementById('panel-32783').click()`);
  await fresh.until(`document.getElementById('requester').open && document.getElementById('requester-folder').value === ${JSON.stringify(dir)}`, 'the requester to open a file');
  await fresh.until(`[...document.querySelectorAll('#requester-list li')].some((li) => li.textContent === 'look.settings')`, 'the settings file listed');
  await fresh.eval(`document.getElementById('requester-name').value = 'look.settings'`);
  await fresh.eval(`document.getElementById('requester-ok').click()`);
  await fresh.until(`document.getElementById('panel-32769').value === '6'`, 'the loaded Star Brightness');

  // The page's own Close button does the same as closing the tab.
  await fresh.eval(`document.getElementById('close-panel').click()`);
  assert.equal(await within(secondExit, 'the program to end after Close'), 0, secondErr);
});
