// Saving from the web interface, end to end: headless Chromium with the
// loopback front as its proxy opens an empty page at the service's https
// origin and, from inside it, pushes a new note, reads it back, edits it,
// moves it, uploads 20 MB in three resumed pieces (the second one lost and
// sent again from the range the front reports), stores the upload as a
// resource, downloads the note, deletes it and recovers it. After each step
// it asks "/e2e/state" what the store and the content files hold and how
// many syncs were asked for (one per change). Then, from outside the
// browser, a save without the front's secret is refused and changes nothing.
//
//   node websync.mjs <credentials file> <service host>
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

// The steps, run inside the page. Each check is true or a text.
async function pageSteps() {
  const results = {};
  const sync = '/qrt/api/personal/sync';
  const expect = (name, ok, detail) => { results[name] = ok ? true : String(detail); };
  const form = (fields) => new URLSearchParams(fields).toString();
  const post = (url, fields) => fetch(url, {
    method: 'POST', cache: 'no-store',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body: form(fields),
  });
  const state = async (query) => (await fetch(`/e2e/state?${query}`, {cache: 'no-store'})).json();
  // Waits until the handler asked for `n` syncs, then checks it stays there.
  let syncs = 0;
  const syncedOnce = async (name) => {
    syncs += 1;
    let s;
    for (let i = 0; i < 100; i++) {
      s = await state('');
      if (s.syncs >= syncs) break;
      await new Promise((r) => setTimeout(r, 50));
    }
    expect(`${name}: one sync asked for`, s.syncs === syncs, `syncs ${s.syncs}, expected ${syncs}`);
    syncs = s.syncs;
  };
  const note = async () => state('fileId=E1');
  try {

  // Push a new note.
  let r = await post(sync, {method: 'push', fileId: 'E1', parentId: 'NB', domain: '0',
                            name: 'Hello/World', bodyString: '<p>hi</p>'});
  expect('push answers 200', r.status === 200, r.status);
  let s = await note();
  expect('new note in the store', s.exists && s.parentId === 'NB' && s.title === 'Hello/World.note',
         JSON.stringify(s));
  expect('new note content on disk', s.content === '<p>hi</p>', s.content);
  await syncedOnce('push');

  // Read it back.
  r = await post(sync, {method: 'download', fileId: 'E1', convert: 'true'});
  expect('read back', r.status === 200 && (await r.text()) === '<p>hi</p>', r.status);
  expect('download names the note', r.headers.get('Content-Disposition') === 'filename="Hello/World.note"',
         r.headers.get('Content-Disposition'));

  // Edit it.
  r = await post(sync, {method: 'push', fileId: 'E1', domain: '0', bodyString: '<p>edited</p>'});
  s = await note();
  expect('edit saved', r.status === 200 && s.content === '<p>edited</p>', `${r.status} ${s.content}`);
  await syncedOnce('edit');
  // A refusal reaches the page as a failed request (a URL error).
  const refused = await post(sync, {method: 'push', fileId: 'E1', domain: '0', bodyString: '<p>edited</p>'})
    .then((answer) => answer.status !== 200, () => true);
  expect('unchanged content refused', refused, 'answered 200');

  // Move it.
  r = await post(sync, {method: 'push', fileId: 'E1', domain: '0', parentId: 'NB2'});
  s = await note();
  expect('moved', r.status === 200 && s.parentId === 'NB2', `${r.status} ${JSON.stringify(s)}`);
  await syncedOnce('move');

  // Upload 20 MB in three pieces of 7, 7 and 6 MB.
  const total = 20000000;
  const piece = 7000000;
  const data = new Uint8Array(total);
  for (let i = 0; i < total; i++) data[i] = (i * 7 + 3) % 251;
  r = await fetch(`${sync}/upload`, {method: 'POST', cache: 'no-store'});
  const transmitId = (await r.json()).transmitId;
  expect('upload opened', r.status === 200 && r.headers.get('Location') === `${sync}/upload/${transmitId}`,
         r.headers.get('Location'));
  const put = (from, to) => fetch(`${sync}/upload/${transmitId}`, {
    method: 'PUT', cache: 'no-store', body: data.slice(from, to)});
  const progress = () => fetch(`${sync}/upload/${transmitId}`, {
    method: 'PUT', cache: 'no-store', headers: {'Content-Range': `bytes */${total}`}});
  r = await progress();
  expect('nothing received yet', r.headers.get('Range') === 'bytes=0-', r.headers.get('Range'));
  r = await put(0, piece);
  expect('first piece', r.status === 200 && r.headers.get('Range') === 'bytes=0-6999999', r.headers.get('Range'));
  // The second piece is lost on the way; the page asks where to go on.
  r = await progress();
  const range = r.headers.get('Range');
  expect('range after the loss', range === 'bytes=0-6999999', range);
  const from = Number(range.split('-')[1]) + 1;
  r = await put(from, from + piece);
  expect('second piece sent again', r.headers.get('Range') === 'bytes=0-13999999', r.headers.get('Range'));
  r = await put(2 * piece, total);
  expect('third piece', r.headers.get('Range') === 'bytes=0-19999999', r.headers.get('Range'));

  // Store it as a resource.
  r = await post(sync, {method: 'putResource', transmitId, resourceId: 'RESE2E', resourceName: 'big.bin'});
  let body = r.status === 200 ? await r.json() : {};
  expect('putResource', r.status === 200 && body.fileSize === total && body.resourceName === 'big.bin',
         `${r.status} ${JSON.stringify(body)}`);
  expect('resource address', r.headers.get('url') === `//${location.host}/src/RESE2E`, r.headers.get('url'));
  s = await state('resourceId=RESE2E');
  expect('resource bytes stored whole', s.exists && s.size === total && s.bytesMatch === true, JSON.stringify(s));

  // Download the note without conversion: a name, no body.
  r = await post(sync, {method: 'download', fileId: 'E1'});
  expect('download without convert', r.status === 200 && (await r.text()) === '' &&
         r.headers.get('Content-Disposition') === 'filename="Hello/World.note"', r.status);

  // Delete and recover.
  r = await post(sync, {method: 'delete', fileId: 'E1'});
  s = await note();
  expect('deleted', r.status === 200 && s.del === true && s.parentId === '1', `${r.status} ${JSON.stringify(s)}`);
  await syncedOnce('delete');
  r = await post(sync, {method: 'recover', fileId: 'E1'});
  s = await note();
  expect('recovered', r.status === 200 && s.del === false && s.parentId === 'NB2' &&
         s.content === '<p>edited</p>', `${r.status} ${JSON.stringify(s)}`);
  await syncedOnce('recover');
  } catch (e) {
    const names = Object.keys(results);
    results['page run'] = `${e} after "${names[names.length - 1]}"`;
  }
  return results;
}

// Sends `text` to the front and gives the first line of its answer.
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

const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zn-e2e-websync-'));
const args = [
  `--proxy-server=http://127.0.0.1:${credentials.port}`,
  '--proxy-bypass-list=<-loopback>',
  `--ignore-certificate-errors-spki-list=${pin}`,
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--disable-default-apps', '--disable-gpu',
];
if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');

let page;
try {
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true, userDataDir, args, timeout: 60000, protocolTimeout: 150000,
  });
  watchBrowser(browser);
  page = await browser.newPage();
  await page.authenticate({username: credentials.username, password: credentials.password});
  const response = await page.goto(`https://${serviceHost}/web/websync.html`, {timeout: 60000});
  check('page loads through the front', response && response.status() === 200 || `status ${response && response.status()}`);
  const results = await page.evaluate(pageSteps);
  for (const [name, result] of Object.entries(results)) check(`page: ${name}`, result);

  // Without the secret the front refuses the save and the store keeps the note.
  const body = 'method=push&fileId=E1&domain=0&name=Intruder';
  const noSecret = await raw(`POST http://${serviceHost}/qrt/api/personal/sync HTTP/1.1\r\nHost: ${serviceHost}\r\n` +
    `Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
  check('save without the secret refused', noSecret.startsWith('HTTP/1.1 407') || noSecret);
  const after = await page.evaluate(async () => (await fetch('/e2e/state?fileId=E1', {cache: 'no-store'})).json());
  check('store unchanged by the refused save', after.title === 'Hello/World.note' || JSON.stringify(after));
  await browser.close().catch(() => {});
} catch (e) {
  check('browser run', `${e}`);
} finally {
  kill();
  fs.rmSync(userDataDir, {recursive: true, force: true});
}

clearTimeout(overall);
process.exit(failures.length === 0 ? 0 : 1);
