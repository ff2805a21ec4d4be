// The server demos as a person sees them, in headless Chromium: the ticker's
// counter rising, files uploaded through intake's form and downloaded back,
// gatekeeper's login, and fileserve's gzip pages, byte ranges and
// revalidation.
//
// fileserve also over HTTPS and IPv6.
//
// notes from a page of another origin, through CORS.
//
// chatroom with two pages talking over WebSockets.
//
// Usage: node run.mjs <ticker|intake|gatekeeper|fileserve|notes|chatroom> <path of that demo>
// Exits 77 (a skip for ctest) when playwright-core or Chromium is missing.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import {
  existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync,
} from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import test from 'node:test';

const SKIP = 77;
const WAIT_MS = 20000;  // bound on every wait for the demo or the page
const CHROMIUM = process.env.OX_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--disable-quic',
];

const [demo, exe] = process.argv.slice(2);
if (!demo || !exe) {
  console.error('usage: node run.mjs <ticker|intake|gatekeeper|fileserve|notes|chatroom> <demo path>');
  process.exit(2);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.log('skipped: playwright-core is not installed (scripts/install-deps)');
  process.exit(SKIP);
}
if (!existsSync(CHROMIUM)) {
  console.log(`skipped: no Chromium at ${CHROMIUM} (scripts/install-deps)`);
  process.exit(SKIP);
}

// Starts the demo on a free port and resolves once it printed its URL.
function startDemo(env = process.env, args = ['0']) {
  const child = spawn(exe, args, { env, stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) =>
    resolve({ code, signal })));
  const url = new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`${demo}: no running line`)),
                             WAIT_MS);
    child.stdout.on('data', (data) => {
      out += data;
      const m = /^Server running at (https?):\/\/localhost:(\d+)\n/m.exec(out);
      if (m) {
        clearTimeout(timer);
        // Loopback by address: the page never depends on how localhost resolves.
        resolve(`${m[1]}://127.0.0.1:${m[2]}/`);
      }
    });
    exited.then((st) => reject(new Error(`${demo} ended early: ${st.code}`)));
  });
  // One character on stdin stops it; it must then exit with 0.
  async function stop() {
    child.stdin.end('q');
    let timer;
    const st = await Promise.race([exited, new Promise((resolve) => {
      timer = setTimeout(() => { child.kill('SIGKILL'); resolve('timeout'); },
                         WAIT_MS);
    })]);
    clearTimeout(timer);
    assert.deepEqual(st, { code: 0, signal: null });
  }
  return { url, stop, child };
}

// Whether this machine has ::1 to listen on.
function hasLoopback6() {
  return new Promise((resolve) => {
    const probe = createServer();
    probe.once('error', () => resolve(false));
    probe.listen(0, '::1', () => probe.close(() => resolve(true)));
  });
}

async function withBrowser(fn, extraArgs = []) {
  const browser = await chromium.launch({
    executablePath: CHROMIUM, args: [...CHROMIUM_ARGS, ...extraArgs],
    timeout: WAIT_MS,
  });
  try {
    await fn(browser);
  } finally {
    await browser.close();
  }
}

const suites = {
  ticker() {
    test('ticker: the page shows Counting: N and N rises', async () => {
      const server = startDemo();
      try {
        const url = await server.url;
        await withBrowser(async (browser) => {
          const page = await browser.newPage();
          page.setDefaultTimeout(WAIT_MS);
          await page.goto(url);
          const counting = async (above) => {
            const handle = await page.waitForFunction((min) => {
              const m = /^Counting: (\d+)$/.exec(
                document.getElementById('counter').innerText);
              return m && Number(m[1]) > min ? Number(m[1]) : null;
            }, above, { timeout: WAIT_MS });
            return handle.jsonValue();
          };
          const first = await counting(0);
          const later = await counting(first);
          assert.ok(later > first, `${later} > ${first}`);
        });
      } finally {
        await server.stop();
      }
    });
  },

  intake() {
    test('intake: two files uploaded through the form are listed and download back',
         async () => {
      const dir = mkdtempSync(join(tmpdir(), 'ox-browser-intake-'));
      const server = startDemo({ ...process.env, TMPDIR: dir });
      const alpha = Buffer.from('alpha\nfirst file\n');
      const beta = Buffer.from(Array.from({ length: 256 }, (_, i) => i));
      try {
        const url = await server.url;
        await withBrowser(async (browser) => {
          const context = await browser.newContext({ acceptDownloads: true });
          const page = await context.newPage();
          page.setDefaultTimeout(WAIT_MS);
          await page.goto(url);
          await page.setInputFiles('input[name=file1]', {
            name: 'alpha.txt', mimeType: 'text/plain', buffer: alpha });
          await page.setInputFiles('input[name=file2]', {
            name: 'beta.bin', mimeType: 'application/octet-stream',
            buffer: beta });
          await Promise.all([page.waitForURL(url, { waitUntil: 'load' }),
                             page.click('input[type=submit]')]);
          await page.waitForSelector('ol li a');
          assert.deepEqual(await page.locator('ol li a').allTextContents(),
                           ['alpha.txt', 'beta.bin']);
          assert.ok(readFileSync(join(dir, 'alpha.txt')).equals(alpha));

          const [download] = await Promise.all([
            page.waitForEvent('download'),
            page.click('a:text-is("beta.bin")'),
          ]);
          assert.equal(download.suggestedFilename(), 'beta.bin');
          assert.ok(readFileSync(await download.path()).equals(beta),
                    'downloaded bytes differ from the uploaded ones');
          await context.close();
        });
      } finally {
        await server.stop();
        rmSync(dir, { recursive: true, force: true });
      }
    });
  },

  gatekeeper() {
    test('gatekeeper: credentials open the secret page, none or wrong get 401',
         async () => {
      const server = startDemo();
      try {
        const url = await server.url;
        await withBrowser(async (browser) => {
          // What the browser received for the page, and what it then shows
          // (null when it gives the navigation up, as Chromium does for a
          // challenge it has no credentials for).
          const visit = async (httpCredentials) => {
            const context = await browser.newContext(
              httpCredentials ? { httpCredentials } : {});
            const page = await context.newPage();
            page.setDefaultTimeout(WAIT_MS);
            const received = [];
            page.on('response', (r) => received.push(
              { status: r.status(), realm: r.headers()['www-authenticate'] }));
            let shown = null;
            try {
              await page.goto(url);
              shown = await page.innerText('body');
            } catch (err) {
              assert.match(err.message, /ERR_INVALID_AUTH_CREDENTIALS/);
            }
            await context.close();
            return { received: received.at(-1), shown };
          };
          const denied = { status: 401, realm: 'Basic realm="My realm"' };
          assert.deepEqual(await visit({ username: 'qvk', password: '748' }),
                           { received: { status: 200, realm: undefined },
                             shown: 'Secret page' });
          const none = await visit(null);
          assert.deepEqual(none.received, denied);
          assert.notEqual(none.shown, 'Secret page');
          assert.deepEqual(await visit({ username: 'qvk', password: '749' }),
                           { received: denied, shown: 'Go away' });
        });
      } finally {
        await server.stop();
      }
    });
  },

  fileserve() {
    test('fileserve: a gzip page decoded, a byte range fetched, a file revalidated',
         async () => {
      const dir = mkdtempSync(join(tmpdir(), 'ox-browser-fileserve-'));
      const words = Array.from({ length: 200 }, (_, i) => `word${i}`).join(' ');
      writeFileSync(join(dir, 'index.html'),
        `<!DOCTYPE html><title>Files</title><p id="words">${words}</p>`);
      writeFileSync(join(dir, 'data.bin'),
        Buffer.from(Array.from({ length: 1024 }, (_, i) => (i * 7) & 255)));
      writeFileSync(join(dir, 'cached.txt'), 'cache me\n');
      const server = startDemo(process.env, ['0', dir]);
      try {
        const url = await server.url;
        await withBrowser(async (browser) => {
          const page = await browser.newPage();
          page.setDefaultTimeout(WAIT_MS);
          // The statuses on the wire: the page's own responses show a
          // revalidated file as the 200 it kept, the network events the 304.
          const wire = [];
          const cdp = await page.context().newCDPSession(page);
          await cdp.send('Network.enable');
          cdp.on('Network.responseReceivedExtraInfo',
                 (e) => wire.push(e.statusCode));

          const first = await page.goto(url);
          assert.equal(first.status(), 200);
          assert.equal((await first.allHeaders())['content-encoding'], 'gzip');
          assert.equal(await page.innerText('#words'), words);

          const range = await page.evaluate(async () => {
            const r = await fetch('data.bin', { headers: { Range: 'bytes=1000-' } });
            return { status: r.status, range: r.headers.get('content-range'),
                     bytes: Array.from(new Uint8Array(await r.arrayBuffer())) };
          });
          assert.deepEqual(range, {
            status: 206, range: 'bytes 1000-1023/1024',
            bytes: Array.from({ length: 24 }, (_, i) => ((1000 + i) * 7) & 255),
          });

          // Fetched again with no-cache, the file is revalidated: the server
          // answers 304 and the browser gives the bytes it kept.
          assert.equal(await page.evaluate(() => fetch('cached.txt')
            .then((r) => r.text())), 'cache me\n');
          wire.length = 0;
          const again = await page.evaluate(async () => {
            const r = await fetch('cached.txt', { cache: 'no-cache' });
            return { status: r.status, text: await r.text() };
          });
          assert.deepEqual(again, { status: 200, text: 'cache me\n' });
          assert.deepEqual(wire, [304]);
        });
      } finally {
        await server.stop();
        rmSync(dir, { recursive: true, force: true });
      }
    });

    test('fileserve: a page over HTTPS with the test\'s certificate, and over IPv6',
         async () => {
      const dir = mkdtempSync(join(tmpdir(), 'ox-browser-fileserve-tls-'));
      writeFileSync(join(dir, 'index.html'),
        '<!DOCTYPE html><title>Secure</title><p id="hello">hello over TLS</p>');
      // A self-signed certificate of this test's own, trusted by Chromium
      // through its public key's hash and by nothing else.
      const cert = join(dir, '.cert.pem');
      const key = join(dir, '.key.pem');
      execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt',
        'ec_paramgen_curve:P-256', '-nodes', '-keyout', key, '-out', cert,
        '-days', '1', '-subj', '/CN=localhost',
        '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1'],
        { stdio: 'ignore' });
      const spki = execFileSync('sh', ['-c',
        `openssl x509 -in '${cert}' -pubkey -noout | openssl pkey -pubin ` +
        '-outform der | openssl dgst -sha256 -binary | base64']).toString().trim();
      const secure = startDemo(process.env, ['--cert', cert, '--key', key, '0', dir]);
      const plain = startDemo(process.env, ['0', dir]);
      try {
        const url = await secure.url;
        assert.match(url, /^https:/);
        const v6 = (await plain.url).replace('127.0.0.1', '[::1]');
        await withBrowser(async (browser) => {
          const page = await browser.newPage();
          page.setDefaultTimeout(WAIT_MS);
          const reply = await page.goto(url);
          assert.equal(reply.status(), 200);
          assert.match((await reply.securityDetails())?.protocol ?? '',
                       /^TLS 1\.[23]$/);
          assert.equal(await page.innerText('#hello'), 'hello over TLS');
          // The server takes both families by default (where there is an
          // IPv6 loopback to reach it on).
          if (await hasLoopback6()) {
            const six = await page.goto(v6);
            assert.equal(six.status(), 200);
            assert.equal(await page.innerText('#hello'), 'hello over TLS');
          }
        }, [`--ignore-certificate-errors-spki-list=${spki}`]);
      } finally {
        await secure.stop();
        await plain.stop();
        rmSync(dir, { recursive: true, force: true });
      }
    });
  },

  notes() {
    test('notes: a page of another origin uses the API and reads its real statuses',
         async () => {
      const dir = mkdtempSync(join(tmpdir(), 'ox-browser-notes-'));
      const server = startDemo(process.env, ['0', dir]);
      try {
        const port = new URL(await server.url).port;
        // The page comes from localhost, the API from 127.0.0.1: two
        // origins, so every call is a cross-origin one.
        const api = `http://127.0.0.1:${port}`;
        await withBrowser(async (browser) => {
          const page = await browser.newPage();
          page.setDefaultTimeout(WAIT_MS);
          await page.goto(`http://localhost:${port}/ui/?api=${api}`);
          await page.fill('#user', 'editor');
          await page.fill('#password', 'notes');
          await page.fill('#title', 'groceries');
          await page.fill('#text', 'milk');
          await page.click('#add');
          await page.waitForSelector('#list li:has-text("groceries")');

          await page.fill('#open-id', '999');
          await page.click('#open');
          await page.waitForFunction(
            () => document.getElementById('note').textContent !== '');
          assert.equal(await page.textContent('#note'), '404 no such note');

          const statuses = await page.evaluate(async (base) => {
            const editor = { Authorization: `Basic ${btoa('editor:notes')}` };
            const anonymous = await fetch(`${base}/notes`, { method: 'POST' });
            const wrong = await fetch(`${base}/notes`,
                                      { method: 'DELETE', headers: editor });
            const none = await fetch(`${base}/nowhere`);
            return [anonymous.status, wrong.status, none.status, await none.text()];
          }, api);
          assert.deepEqual(statuses, [401, 405, 404, '{"error":"404"}']);

          await page.click('#list li button');
          await page.waitForFunction(
            () => document.querySelectorAll('#list li').length === 0);
        });
      } finally {
        await server.stop();
        rmSync(dir, { recursive: true, force: true });
      }
    });
  },

  chatroom() {
    test('chatroom: a line typed on one page shows on the other, then a leave',
         async () => {
      const server = startDemo();
      try {
        const url = await server.url;
        await withBrowser(async (browser) => {
          // Each page in a context of its own, as two people would be.
          const open = async () => {
            const context = await browser.newContext();
            const page = await context.newPage();
            page.setDefaultTimeout(WAIT_MS);
            await page.goto(url);
            return { context, page };
          };
          const lines = (page) => page.locator('#log li').allTextContents();
          const waitLine = (page, line) => page.waitForFunction(
            (text) => Array.from(document.querySelectorAll('#log li'))
              .some((li) => li.textContent === text), line);

          const first = await open();
          await waitLine(first.page, 'guest 1 joined');
          const second = await open();
          await waitLine(second.page, 'guest 2 joined');
          await waitLine(first.page, 'guest 2 joined');

          await first.page.fill('#text', 'hello from one');
          await first.page.click('#send');
          await waitLine(second.page, 'guest 1: hello from one');
          await waitLine(first.page, 'guest 1: hello from one');
          assert.equal(await first.page.inputValue('#text'), '');

          await first.context.close();
          await waitLine(second.page, 'guest 1 left');
          assert.deepEqual(await lines(second.page), [
            'guest 2 joined', 'guest 1: hello from one', 'guest 1 left']);
          await second.context.close();
        });
      } finally {
        await server.stop();
      }
    });
  },
};

if (!suites[demo]) {
  console.error(`unknown demo: ${demo}`);
  process.exit(2);
}
suites[demo]();
