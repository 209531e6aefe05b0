// Checks of the local handlers that run inside the page, at the service's
// https origin, through the loopback front. Each check answers true or a
// text saying what failed; window.e2eResults collects them and
// window.e2eDone says they have all run.
//
// The store the harness seeded: folder NB holds 25 "apple <n>" notes (tag
// T1 "red") and 15 "banana <n>" notes (tag T2 "blue"); resource R1 is a
// 1x1 picture; the user "alice" has a self info whose photo is a
// downloaded icon; one paper background "p1.png".
'use strict';

const localFileHost = 'https://localfile.zarvel.note';

function get(url, options = {}, ms = 20000) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), ms);
  return fetch(url, {cache: 'no-store', signal: controller.signal, ...options})
    .finally(() => clearTimeout(timer));
}

async function json(url, options) {
  const r = await get(url, options);
  if (r.status !== 200) throw new Error(`${url}: status ${r.status}`);
  return JSON.parse(await r.text());
}

function post(url, body) {
  return json(url, {
    method: 'POST',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body,
  });
}

// Resolves with the picture's width, or rejects when it does not load.
function picture(url, ms = 20000) {
  return new Promise((resolve, reject) => {
    const img = new Image();
    const timer = setTimeout(() => reject(new Error(`${url}: no answer within ${ms} ms`)), ms);
    img.onload = () => { clearTimeout(timer); resolve(img.naturalWidth); };
    img.onerror = () => { clearTimeout(timer); reject(new Error(`${url} did not load`)); };
    img.src = url;
  });
}

async function refused(url) {
  try {
    const r = await get(url);
    return `answered ${r.status}`;
  } catch (e) {
    return e.name === 'TypeError' || `${e}`;
  }
}

const search = (query) => json(`/qrt/api/personal/search?method=webSearch&${query}`);
const tags = () => json('/qrt/mapi/tag?method=get');

const checks = [
  ['user meta, and the token cookie kept', async () => {
    const meta = await json('/qrt/mapi/user?method=get');
    if (meta.uid !== 'alice') return `meta ${JSON.stringify(meta)}`;
    return document.cookie.includes('QOPAL_CSTK=plabVorn') || `cookies "${document.cookie}"`;
  }],
  ['self info photo through the local-file host', async () => {
    const info = await json('/qrt/api/self?method=get');
    if (!info.photo || !info.photo.startsWith(`${localFileHost}/alice/IconImage/`)) {
      return `photo ${info.photo}`;
    }
    return (await picture(info.photo)) === 1 || 'photo has no width';
  }],
  ['tag list', async () => {
    const list = await json('/qrt/mapi/tag?method=list&tagid=T1&len=5');
    return (list.count === 25 && list.entries.length === 5) ||
      `count ${list.count} entries ${list.entries.length}`;
  }],
  ['tag update', async () => {
    const answer = await post('/qrt/mapi/tag', 'method=update&tagid=T1&name=crimson');
    if (!('v' in answer)) return `answer ${JSON.stringify(answer)}`;
    const names = (await tags()).tags.map((t) => t.name).sort().join(',');
    return names === 'blue,crimson' || `tags ${names}`;
  }],
  ['tag remove', async () => {
    await post('/qrt/mapi/tag', 'method=remove&tagid=T2');
    const names = (await tags()).tags.map((t) => t.name).join(',');
    return names === 'crimson' || `tags ${names}`;
  }],
  ['search pages', async () => {
    const first = await search('kw=apple&parentId=NB&b=0&l=10');
    if (first.count !== 25 || first.entries.length !== 10) {
      return `first page count ${first.count} entries ${first.entries.length}`;
    }
    const second = await search('kw=apple&parentId=NB&b=20&l=10');
    return (second.count === 25 && second.entries.length === 5) ||
      `second page count ${second.count} entries ${second.entries.length}`;
  }],
  ['second page of a new keyword right after the first', async () => {
    const [first, second] = await Promise.all([
      search('kw=banana&parentId=NB&b=0&l=10'),
      search('kw=banana&parentId=NB&b=10&l=10'),
    ]);
    const titles = second.entries.map((e) => e.fileEntry.name);
    if (first.count !== 15 || second.count !== 15) return `counts ${first.count} ${second.count}`;
    return (titles.length === 5 && titles.every((t) => t.startsWith('banana'))) ||
      `second page ${titles.join(',')}`;
  }],
  ['resource bytes through the service host', async () => {
    const r = await get(`//${location.host}/src/R1`);
    const bytes = new Uint8Array(await r.arrayBuffer());
    if (r.status !== 200 || bytes.length !== 70) return `status ${r.status} length ${bytes.length}`;
    const disposition = r.headers.get('content-disposition');
    if (disposition !== 'filename="picture.png"') return `content-disposition ${disposition}`;
    return (await picture(`//${location.host}/src/R1`)) === 1 || 'resource has no width';
  }],
  ['background list and its picture', async () => {
    const list = await json('/qrt/api/personal/notebackground?method=listBgImage');
    if (!Array.isArray(list) || list.length !== 1) return `list ${JSON.stringify(list)}`;
    return (await picture(list[0].bgImageUrl)) === 1 || 'background has no width';
  }],
  ['traversal on the local-file host refused', async () => {
    try {
      await picture(`${localFileHost}/bgImage/..%2F..%2Falice%2FContents%2Fsecret.png`);
      return 'the file outside the allowed folders loaded';
    } catch (e) {
      return true;
    }
  }],
  ['file outside the allowed folders refused', async () => {
    try {
      await picture(`${localFileHost}/alice/Contents/secret.png`);
      return 'loaded';
    } catch (e) {
      return true;
    }
  }],
  ['unknown method refused', async () => refused('/qrt/mapi/tag?method=rename&tagid=T1')],
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
