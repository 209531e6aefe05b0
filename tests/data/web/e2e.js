// Checks that run inside the page, at the service's https origin, through
// the loopback front. Each check answers true or a text saying what failed;
// window.e2eResults collects them and window.e2eDone says they have all run.
'use strict';

async function json(response) {
  return JSON.parse(await response.text());
}

// Rejects when `promise` has not settled within `ms` milliseconds.
function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// fetch() with a time limit.
function get(url, ms = 20000) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), ms);
  return fetch(url, {cache: 'no-store', signal: controller.signal}).finally(() => clearTimeout(timer));
}

// Loads a classic script and resolves once it ran.
function loadScript(url) {
  return within(20000, new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = url;
    script.onload = resolve;
    script.onerror = () => reject(new Error(`${url} did not load`));
    document.head.appendChild(script);
  }), url);
}

// The store the harness seeded: folder NB holds N1 "first.note" (newer, text
// above the size answered at once, resource R1) and N2 "second.note".
const file = '/qrt/api/personal/file';

const checks = [
  ['interface file', async () => {
    const r = await get('/web/e2e.html');
    const text = await r.text();
    return r.status === 200 && text.includes('ZarvelNote end-to-end') || `status ${r.status}`;
  }],
  ['forwarded call', async () => {
    const r = await get('/test/echo?a=1&keyfrom=web');
    if (r.status !== 200) return `status ${r.status}`;
    if (r.headers.get('cache-control') !== 'no-store') return `cache-control ${r.headers.get('cache-control')}`;
    const body = await json(r);
    return body.path === '/test/echo' || `path ${body.path}`;
  }],
  ['listPageByParentId', async () => {
    const r = await get(`${file}/NB?method=listPageByParentId`);
    if (r.status !== 200) return `status ${r.status}`;
    const body = await json(r);
    if (body.count !== 2) return `count ${body.count}`;
    if (!Array.isArray(body.entries) || body.entries.length > 20) return `entries ${JSON.stringify(body.entries)}`;
    const ids = body.entries.map((e) => e.fileEntry && e.fileEntry.id).join(',');
    if (ids !== 'N1,N2') return `ids ${ids}`;
    const thumbnail = body.entries[0].fileMeta && body.entries[0].fileMeta.metaProps &&
      body.entries[0].fileMeta.metaProps.thmid;
    return thumbnail === 'R1' || `first entry's thumbnail ${thumbnail}`;
  }],
  ['listPageByParentId pages', async () => {
    const r = await get(`${file}/NB?method=listPageByParentId&len=1`);
    const body = await json(r);
    const ids = body.entries.map((e) => e.fileEntry.id).join(',');
    return (r.status === 200 && body.count === 2 && ids === 'N1') || `status ${r.status} count ${body.count} ids ${ids}`;
  }],
  ['getById', async () => {
    const r = await get(`${file}/N2?method=getById`);
    if (r.status !== 200) return `status ${r.status}`;
    const body = await json(r);
    return (body.id === 'N2' && body.name === 'second.note') || `entry ${JSON.stringify(body)}`;
  }],
  ['read short note', async () => {
    const r = await get(`${file}/N2?method=read`);
    const text = await r.text();
    return (r.status === 200 && text === 'e2e-short: the second note') || `status ${r.status} text ${text.slice(0, 80)}`;
  }],
  ['read long note (answered from the main queue)', async () => {
    const r = await get(`${file}/N1?method=read`);
    const text = await r.text();
    const expected = 'e2e-large:'.length + 1048576 + 1000;
    return (r.status === 200 && text.startsWith('e2e-large:aaa') && text.length === expected) ||
      `status ${r.status} length ${text.length}`;
  }],
  ['unknown method refused', async () => {
    try {
      const r = await get(`${file}/N1?method=nothing`);
      return `answered ${r.status}`;
    } catch (e) {
      return e.name === 'TypeError' || `${e}`;
    }
  }],
  ['local file through the loopback host', async () => {
    await loadScript('http://127.0.0.1/web/e2e-local.js');
    return window.e2eLocalFile === 'e2e local file' || `marker ${window.e2eLocalFile}`;
  }],
  ['offline answer', async () => {
    const off = await get('/e2e/offline');
    if (off.status !== 200) return `switch status ${off.status}`;
    const r = await get('/test/echo?offline=1');
    const body = await json(r);
    return (r.status === 500 && body.error === 'NETWORK_UNREACHABLE') || `status ${r.status} ${JSON.stringify(body)}`;
  }],
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
