// Starts headless Chromium with the loopback front as its proxy, loads the
// test bundle from the service's https origin and reports the page's checks,
// checks that a page of another origin (one whose host the front intercepts
// as an image host) cannot read the store, then checks from outside the
// browser that the front refuses requests in origin form, requests without
// the secret and the store's paths on other hosts.
//
//   node drive.mjs <credentials file> <service host>
//
// The credentials file (mode 0600) holds the port, the user name, the secret
// and the authority certificate; the secret never appears on a command line:
// Chromium gets it through its DevTools connection, a pipe to this process
// (no DevTools port that another local user could reach). Every wait has a
// time limit; Chromium is ended by its pid.
//
// Exit status: 0 when every check passed, 77 when there is no Chromium to
// start (ZN_CHROMIUM, else /usr/bin/chromium), 1 otherwise.
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import {openRun} from './harness.mjs';

const {serviceHost, chromium, credentials, failures, kill, overall, check, pin, watchBrowser} =
  openRun();

// Sends `text` to the front and gives the first line of its answer ('' when
// it closed without one).
function raw(text) {
  return new Promise((resolve) => {
    const socket = net.connect(credentials.port, '127.0.0.1');
    let answer = '';
    const timer = setTimeout(() => { socket.destroy(); resolve('timeout'); }, 10000);
    socket.on('connect', () => socket.write(text));
    socket.on('data', (d) => {
      answer += d.toString('latin1');
      if (answer.includes('\r\n')) { clearTimeout(timer); socket.destroy(); resolve(answer.split('\r\n')[0]); }
    });
    socket.on('error', () => {});
    socket.on('close', () => { clearTimeout(timer); resolve(answer.split('\r\n')[0]); });
  });
}

const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zn-e2e-chromium-'));
const args = [
  `--proxy-server=http://127.0.0.1:${credentials.port}`,
  '--proxy-bypass-list=<-loopback>',
  `--ignore-certificate-errors-spki-list=${pin}`,
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--disable-default-apps', '--disable-gpu',
];
if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');

try {
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir,
    args,
    pipe: true,
    timeout: 60000,
    protocolTimeout: 60000,
  });
  watchBrowser(browser);
  const page = await browser.newPage();
  await page.authenticate({username: credentials.username, password: credentials.password});
  const response = await page.goto(`https://${serviceHost}/web/e2e.html`, {timeout: 60000});
  check('bundle loads over https through the front', response && response.status() === 200 || `status ${response && response.status()}`);
  await page.waitForFunction('window.e2eDone === true', {timeout: 60000});
  const results = await page.evaluate(() => window.e2eResults);
  for (const [name, result] of Object.entries(results)) check(`page: ${name}`, result);

  // A page of another origin: its own document is served here, its fetch of
  // the store's path on its own origin goes through the front.
  const attackURL = 'http://evil.qiansou.test/attack.html';
  const attack = await browser.newPage();
  await attack.authenticate({username: credentials.username, password: credentials.password});
  await attack.setRequestInterception(true);
  attack.on('request', (r) => {
    if (r.url() === attackURL) {
      r.respond({status: 200, contentType: 'text/html', body: '<html><body>elsewhere</body></html>'});
    } else {
      r.continue();
    }
  });
  await attack.goto(attackURL, {timeout: 60000});
  const leaked = await attack.evaluate(async () => {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), 20000);
    try {
      const r = await fetch('/qrt/api/personal/file/N2?method=read', {cache: 'no-store', signal: controller.signal});
      return `${r.status} ${await r.text()}`;
    } catch (e) {
      return `refused: ${e}`;
    } finally {
      clearTimeout(timer);
    }
  });
  check('a page of another origin cannot read a note', !leaked.includes('e2e-short') || leaked);
  await attack.close();
  await browser.close().catch(() => {});
} catch (e) {
  check('browser run', `${e}`);
} finally {
  kill();
  fs.rmSync(userDataDir, {recursive: true, force: true});
}

const secret = 'Basic ' + Buffer.from(`${credentials.username}:${credentials.password}`).toString('base64');
const originForm = await raw(`GET /web/e2e.html HTTP/1.1\r\nHost: ${serviceHost}\r\nProxy-Authorization: ${secret}\r\n\r\n`);
check('origin-form request refused', originForm.startsWith('HTTP/1.1 400') || originForm);
const noSecret = await raw(`GET http://${serviceHost}/web/e2e.html HTTP/1.1\r\nHost: ${serviceHost}\r\n\r\n`);
check('request without the secret refused', noSecret.startsWith('HTTP/1.1 407') || noSecret);
for (const host of ['example.invalid', 'localhost', '10.1.2.3']) {
  const other = await raw(`GET http://${host}/qrt/api/personal/file/N2?method=read HTTP/1.1\r\nHost: ${host}\r\nProxy-Authorization: ${secret}\r\n\r\n`);
  check(`the store's path on ${host} refused`, other.startsWith('HTTP/1.1 403') || other);
}

clearTimeout(overall);
process.exit(failures.length === 0 ? 0 : 1);
