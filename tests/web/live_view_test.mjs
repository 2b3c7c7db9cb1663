// The simulator's live view in a real browser (Debian's chromium, driven by
// playwright-core): the dashboard example draws, the page's canvas matches
// the simulator's own text dump pixel for pixel, a keypad click reaches the
// host, an input toggle is seen by ReadDIStatus, and the frame log shows the
// key as `vq6120 monitor` does.
//
// node live_view_test.mjs SIMULATOR DASHBOARD CLI SCREENSHOT.png
import {spawn, execFile} from 'node:child_process';
import {once} from 'node:events';
import {mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {dirname, join} from 'node:path';
import {createInterface} from 'node:readline';
import {chromium} from 'playwright-core';

const [simulator, dashboard, cli, screenshot] = process.argv.slice(2);
const STEP_MS = 20000;  // bound on each wait; the whole test is bounded by ctest too

function fail(message) {
  console.error('FAIL: ' + message);
  process.exitCode = 1;
  throw new Error(message);
}

// Lines of a child's stdout, with a way to wait for one that matches.
function lines(child, name) {
  const seen = [];
  const waiters = [];
  createInterface({input: child.stdout}).on('line', (line) => {
    seen.push(line);
    for (const w of [...waiters]) {
      if (w.re.test(line)) {
        waiters.splice(waiters.indexOf(w), 1);
        w.resolve(line);
      }
    }
  });
  child.stderr.on('data', (d) => process.stderr.write(`[${name}] ${d}`));
  return {
    seen,
    next(re, what) {
      const found = seen.find((l) => re.test(l));
      if (found) return Promise.resolve(found);
      return new Promise((resolve, reject) => {
        const w = {re, resolve};
        waiters.push(w);
        setTimeout(() => reject(new Error(`${name}: no line ${what || re} within ${STEP_MS} ms`)), STEP_MS).unref();
      });
    },
  };
}

const sim = spawn(simulator, ['--port', '0', '--http', '127.0.0.1:0'], {stdio: ['pipe', 'pipe', 'pipe']});
const simOut = lines(sim, 'simulator');
const profile = mkdtempSync(join(tmpdir(), 'vq6120-live-'));
let browser = null;
let host = null;

try {
  const port = (await simOut.next(/^listening on /)).split(':').pop();
  const url = (await simOut.next(/^http: /)).slice('http: '.length);
  if (!/^http:\/\/127\.0\.0\.1:\d+\/$/.test(url)) fail('unexpected page address ' + url);

  // Sent before any page was open: the first page still shows it in its
  // frame log and its serial console.
  for (const args of [['led', '7'], ['com-send', '1', 'before the page']]) {
    await new Promise((resolve) => execFile(cli, [`127.0.0.1:${port}`, ...args], {timeout: STEP_MS},
      (error, stdout, stderr) => (error ? fail(`${args.join(' ')}: ${stderr}`) : resolve())));
  }

  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: {width: 1340, height: 1000},
  });
  const page = browser.pages()[0] || await browser.newPage();
  page.setDefaultTimeout(STEP_MS);
  page.on('pageerror', (e) => fail('page error: ' + e.message));
  await page.goto(url);
  await page.waitForSelector('#link.ok');
  await page.waitForFunction(() => document.querySelector('.serial[data-port="1"] .console')?.textContent
    .includes('before the page') && /led: /.test(document.getElementById('frames').textContent));

  // Its printf output goes to a pipe here: line-buffered, so each line comes as it happens.
  host = spawn('stdbuf', ['-oL', dashboard, '127.0.0.1', port, '6'], {stdio: ['ignore', 'pipe', 'pipe']});
  const hostOut = lines(host, 'dashboard');
  await hostOut.next(/^dashboard: connected/);
  await page.waitForFunction(() => document.getElementById('keyboard').textContent.includes('PRESS A KEY'));
  await page.waitForSelector('body[data-connected="true"]');

  // A keypad click becomes a key frame the host reads.
  await page.click('#keypad button[data-key="5"]');
  await hostOut.next(/^dashboard: key 5$/, 'key 5');
  await page.waitForFunction(() => /channel 0x40 command 0x37 \(key\) length 1 \[05\] "\." key 5/
    .test(document.getElementById('frames').textContent));

  // An input toggle reaches the host in its input-status frames.
  await page.click('label.switch:has(#di1)');
  await hostOut.next(/^dashboard: inputs 1 0$/, 'inputs 1 0');
  await page.waitForFunction(() => document.getElementById('keyboard').textContent.includes('KEY 5 PRESSED'));

  // A line typed into port 1's console arrives at the host, which echoes it
  // back out of the port: the console shows both ways.
  await page.fill('.serial[data-port="1"] .line', 'hello');
  await page.click('.serial[data-port="1"] button');
  await hostOut.next(/^dashboard: com1 hello/, 'com1 hello');
  await page.waitForFunction(() => /hello.*echo:hello/s.test(document.querySelector('.serial[data-port="1"] .console').textContent));
  await page.waitForFunction(() => document.querySelector('#lamp-led').classList.contains('on'));
  mkdirSync(dirname(screenshot), {recursive: true});
  await page.screenshot({path: screenshot, fullPage: true});

  const [code] = await once(host, 'exit');
  if (code !== 0) fail('dashboard exited with ' + code);
  host = null;

  // A host of its own asks with ReadDIStatus.
  const di = await new Promise((resolve) => execFile(cli, [`127.0.0.1:${port}`, 'di'], {timeout: STEP_MS},
    (error, stdout, stderr) => resolve({error, stdout, stderr})));
  if (di.error || !/input1 1 input2 0/.test(di.stdout)) fail(`ReadDIStatus: ${di.stdout} ${di.stderr}`);

  // Quiet now: once the page shows the last state, its canvas against the
  // simulator's own dump.
  const last = await (await fetch(url + 'state.json')).json();
  if (last.connected) fail('a host is still connected');
  await page.waitForFunction((n) => document.body.dataset.connected === 'false'
    && document.body.dataset.frames === String(n), last.frames_handled);
  const settled = await page.evaluate(() => document.body.dataset.version);
  sim.stdin.write('dump\n');
  await simOut.next(/^serial 2 /, 'the end of the dump');
  const start = simOut.seen.findLastIndex((l) => l.startsWith('graphic screen 240x64'));
  const rows = simOut.seen.slice(start + 2, start + 2 + 64).map((l) => l.slice(1, 241));
  if (rows.length !== 64 || rows.some((r) => r.length !== 240)) fail('dump has no 240x64 graphic screen');
  const pixels = await page.evaluate(() => {
    const c = document.getElementById('screen');
    const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    const scale = c.width / 240;
    const out = [];
    for (let y = 0; y < 64; ++y) {
      let row = '';
      for (let x = 0; x < 240; ++x) {
        const i = ((y * scale + (scale >> 1)) * c.width + x * scale + (scale >> 1)) * 4;
        row += data[i] + data[i + 1] + data[i + 2] < 300 ? '#' : '.';
      }
      out.push(row);
    }
    return out;
  });
  if (await page.evaluate(() => document.body.dataset.version) !== settled) fail('the page changed while compared');
  const on = rows.join('').split('#').length - 1;
  if (on < 200) fail(`the dashboard drew only ${on} pixels`);
  for (let y = 0; y < 64; ++y) {
    if (pixels[y] !== rows[y]) fail(`canvas row ${y} differs:\n page ${pixels[y]}\n dump ${rows[y]}`);
  }
  console.log(`ok: ${on} pixels on, canvas equal to the dump; screenshot ${screenshot}`);

  // From 1,024 px wide up the page needs no sideways scrolling, and no
  // indicator is cut off by its panel or the window.
  for (const width of [1024, 1200]) {
    await page.setViewportSize({width, height: 900});
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    const fit = await page.evaluate(() => {
      const root = document.documentElement;
      const cut = [...document.querySelectorAll('.lamp')].filter((lamp) => {
        const box = lamp.getBoundingClientRect();
        const panel = lamp.closest('.panel').getBoundingClientRect();
        return box.right > panel.right || box.right > root.clientWidth || lamp.scrollWidth > lamp.clientWidth;
      }).map((lamp) => lamp.id);
      return {scroll: root.scrollWidth, client: root.clientWidth, cut};
    });
    if (fit.scroll > fit.client) fail(`at ${width} px the page is ${fit.scroll} px wide (window ${fit.client} px)`);
    if (fit.cut.length) fail(`at ${width} px cut indicators: ${fit.cut.join(', ')}`);
    await page.screenshot({path: screenshot.replace(/\.png$/, `-${width}.png`), fullPage: true});
  }
  console.log('ok: the page fits 1024 and 1200 px wide');

  // A farm: the list of its terminals, and any one opened from it.
  const farm = spawn(simulator, ['--terminals', '3', '--port', '0', '--http', '127.0.0.1:0', '--no-stdin']);
  try {
    const farmOut = lines(farm, 'farm');
    // "ports: A-B" for a run of ports, else each one.
    const spec = (await farmOut.next(/^ports: /)).slice('ports: '.length);
    const second = spec.includes('-') ? Number(spec.split('-')[0]) + 1 : Number(spec.split(' ')[1]);
    const farmUrl = (await farmOut.next(/^http: /)).slice('http: '.length);
    await page.goto(farmUrl + '?t=1');
    await page.waitForSelector('#terminals a.current');
    const chips = await page.$$eval('#terminals a', (as) => as.map((a) => a.textContent));
    if (chips.length !== 3 || chips[1] !== `#1 :${second}`) {
      fail('farm list: ' + chips.join(', '));
    }
    await page.click('#terminals a:nth-child(3)');
    await page.waitForFunction(() => location.search === '?t=2' && document.querySelector('#terminals a.current')?.textContent.startsWith('#2'));
    await page.screenshot({path: screenshot.replace(/\.png$/, '-farm.png')});
  } finally {
    farm.kill('SIGTERM');
  }
} finally {
  if (host) host.kill();
  if (browser) await browser.close();
  sim.stdin.end('quit\n');
  const [code] = await Promise.race([once(sim, 'exit'), new Promise((r) => setTimeout(() => r([null]), 5000).unref())]);
  if (code === null) sim.kill();
  else if (code !== 0) fail('simulator exited with ' + code);
  rmSync(profile, {recursive: true, force: true});
}
