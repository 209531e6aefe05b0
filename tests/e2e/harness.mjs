// What every end-to-end driver starts with: its arguments (the front's
// credentials file and the service host), Chromium's path (exit 77 when it
// is missing), the checks and their failures, an overall time limit that
// kills the browser, and the pin of the front's authority for Chromium.
import crypto from 'node:crypto';
import fs from 'node:fs';

export function openRun() {
  const [credentialsPath, serviceHost] = process.argv.slice(2);
  const chromium = process.env.ZN_CHROMIUM || '/usr/bin/chromium';
  try {
    fs.accessSync(chromium, fs.constants.X_OK);
  } catch {
    console.log(`SKIP: no Chromium at ${chromium} (install Debian's chromium, or set ZN_CHROMIUM)`);
    process.exit(77);
  }
  const credentials = JSON.parse(fs.readFileSync(credentialsPath, 'utf8'));
  const failures = [];
  let browserPid = 0;

  function kill() {
    if (browserPid) {
      try { process.kill(browserPid, 'SIGKILL'); } catch { /* already gone */ }
      browserPid = 0;
    }
  }

  const overall = setTimeout(() => {
    console.log('FAIL: the run took more than 150 s');
    kill();
    process.exit(1);
  }, 150000);

  function check(name, result) {
    if (result === true) {
      console.log(`ok: ${name}`);
    } else {
      console.log(`FAIL: ${name}: ${result}`);
      failures.push(name);
    }
  }

  const spki = crypto.createPublicKey(crypto.createPublicKey(credentials.authority).export({type: 'spki', format: 'pem'}))
    .export({type: 'spki', format: 'der'});
  const pin = crypto.createHash('sha256').update(spki).digest('base64');

  return {
    credentialsPath, serviceHost, chromium, credentials, failures, kill, overall, check, pin,
    watchBrowser(browser) { browserPid = browser.process().pid; },
  };
}
