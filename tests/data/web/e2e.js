// Checks that run inside the page, at the service's https origin, through
// the loopback front. Each check answers true or a text saying what failed;
// window.e2eResults collects them and window.e2eDone says they have all run.
'use strict';

async function json(response) {
  return JSON.parse(await response.text());
}

const checks = [
  ['interface file', async () => {
    const r = await fetch('/web/e2e.html', {cache: 'no-store'});
    const text = await r.text();
    return r.status === 200 && text.includes('ZarvelNote end-to-end') || `status ${r.status}`;
  }],
  ['forwarded call', async () => {
    const r = await fetch('/test/echo?a=1&keyfrom=web');
    if (r.status !== 200) return `status ${r.status}`;
    if (r.headers.get('cache-control') !== 'no-store') return `cache-control ${r.headers.get('cache-control')}`;
    const body = await json(r);
    return body.path === '/test/echo' || `path ${body.path}`;
  }],
  ['offline answer', async () => {
    const off = await fetch('/e2e/offline');
    if (off.status !== 200) return `switch status ${off.status}`;
    const r = await fetch('/test/echo?offline=1');
    const body = await json(r);
    return (r.status === 500 && body.error === 'NETWORK_UNREACHABLE') || `status ${r.status} ${JSON.stringify(body)}`;
  }],
  // Page checks against the seeded store (listPageByParentId, getById, read)
  // join this table when the web file handler is registered.
];

(async () => {
  const results = {};
  for (const [name, run] of checks) {
    try {
      results[name] = await run();
    } catch (e) {
      results[name] = `threw ${e}`;
    }
  }
  document.getElementById('log').textContent = JSON.stringify(results, null, 2);
  window.e2eResults = results;
  window.e2eDone = true;
})();
