// Starts headless Chromium with the loopback front as its proxy, loads the
// local handlers' page (tests/data/web/e2e-handlers.html) from the service's
// https origin and reports the page's checks.
//
//   node handlers.mjs <credentials file> <service host>
//
// The credentials file (mode 0600) holds the port, the user name, the secret
// and the authority certificate; Chromium gets the secret through its
// DevTools connection. Every wait has a time limit; Chromium is ended by its
// pid.
//
// Exit status: 0 when every check passed, 77 when there is no Chromium to
// start (ZN_CHROMIUM, else /usr/bin/chromium), 1 otherwise.
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import {openRun} from './harness.mjs';

const {serviceHost, chromium, credentials, failures, kill, overall, check, pin, watchBrowser} =
  openRun();

const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zn-e2e-handlers-'));
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
    timeout: 60000,
    protocolTimeout: 60000,
  });
  watchBrowser(browser);
  const page = await browser.newPage();
  await page.authenticate({username: credentials.username, password: credentials.password});
  const response = await page.goto(`https://${serviceHost}/web/e2e-handlers.html`, {timeout: 60000});
  check('page loads over https through the front', response && response.status() === 200 || `status ${response && response.status()}`);
  await page.waitForFunction('window.e2eDone === true', {timeout: 60000});
  const results = await page.evaluate(() => window.e2eResults);
  for (const [name, result] of Object.entries(results)) check(`page: ${name}`, result);
  await browser.close().catch(() => {});
} catch (e) {
  check('browser run', `${e}`);
} finally {
  kill();
  fs.rmSync(userDataDir, {recursive: true, force: true});
}

clearTimeout(overall);
process.exit(failures.length === 0 ? 0 : 1);
