// The program under a real web server (lighttpd) with many clients at once
// for a fixed time: profile views, registrations (new IDs, and one ID raced
// by everybody), password changes (each client's own chain, and everybody
// racing on one member), profile saves and counter-named JPEG posts. Then
// every file is checked against what was acknowledged: nothing acknowledged
// is lost or torn, nothing unacknowledged is stored, no name is used twice,
// and no answer is an error caused by the contention. It reports figures
// (requests per kind, requests per second) and asserts no time.
// Usage: node load_test.mjs EXE [REPORT_DIR]
//   ORVALENGATE_LOAD_CLIENTS (default 24), ORVALENGATE_LOAD_SECONDS (default 25),
//   ORVALENGATE_LOAD_SEED (default: from the clock, printed),
//   ORVALENGATE_REPORT_DIR (overrides REPORT_DIR; load.md is written there).
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {
  ACCEPTED, ALREADY_REGISTERED, FILE_ACCEPTED, NOT_CHANGED, PROFILE_TAIL, URL_ENCODED, cell, jpegFor, latin1, multipart,
  nbsp, prng, recordValues, registrationFields, urlEncoded,
} from '../support/forms.mjs';
import { scratchDir, startSite, stopServer } from '../support/site.mjs';

const exe = process.argv[2];
if (!exe) {
  console.error('usage: node load_test.mjs EXE [REPORT_DIR]');
  process.exit(2);
}
const exePath = path.resolve(exe);
const reportDir = process.env.ORVALENGATE_REPORT_DIR || process.argv[3] || path.join(path.dirname(exePath), 'reliability');
const positive = (name, fallback) => {
  const value = Number(process.env[name]);
  return Number.isInteger(value) && value > 0 ? value : fallback;
};
const CLIENTS = positive('ORVALENGATE_LOAD_CLIENTS', 24);
const SECONDS = positive('ORVALENGATE_LOAD_SECONDS', 25);
const SEED = positive('ORVALENGATE_LOAD_SEED', Date.now() % 2147483647);
const REQUEST_TIMEOUT_MS = 120000;
// img#### has 9999 names; the workload never asks for more than these.
const MAX_POSTS = 9000;
const SESSION = 'demo';

// ---- outcome bookkeeping ----------------------------------------------------
const failures = [];
function fail(what) {
  failures.push(what);
  if (failures.length <= 25) console.log(`FAILED: ${what}`);
}
let checksPassed = 0;
function check(name, ok, detail) {
  if (ok) checksPassed += 1;
  else fail(detail === undefined ? name : `${name}: ${detail}`);
}

const work = scratchDir('orvalengate-load-');

// ---- requests -----------------------------------------------------------------------
const sha1 = (buf) => crypto.createHash('sha1').update(buf).digest('hex');
const sentBodies = new Map();  // sha1 of every POST body -> how many were sent

function request(agent, port, method, urlPath, body, contentType) {
  return new Promise((resolve) => {
    const headers = {};
    if (body) {
      headers['Content-Type'] = contentType;
      headers['Content-Length'] = body.length;
      const key = sha1(body);
      sentBodies.set(key, (sentBodies.get(key) ?? 0) + 1);
    }
    const req = http.request({ host: '127.0.0.1', port, method, path: urlPath, agent, headers }, (res) => {
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks).toString('latin1') }));
      res.on('error', (err) => resolve({ status: 0, body: '', error: String(err) }));
    });
    req.setTimeout(REQUEST_TIMEOUT_MS, () => req.destroy(new Error('timed out')));
    req.on('error', (err) => resolve({ status: 0, body: '', error: String(err) }));
    if (body) req.write(body);
    req.end();
  });
}


// ---- what the run expects to find afterwards --------------------------------------
const members = new Map();      // id -> expected values of a record nobody changes but its owner
const own = [];                 // per client: { id, pw, realname, comment }
const raceAttempts = [];        // { pw0, pw1, acked }
let racerPw = 'racer-start';
const dupTries = new Map();     // id -> [{ realname, pw, acked }]
const posts = new Map();        // title -> { id, data, fileName, acked }
let postsAsked = 0;

const KINDS = ['view', 'register', 'register-dup', 'changepw', 'changepw-race', 'profile', 'post'];
const WEIGHTS = [30, 14, 6, 10, 10, 12, 18];
const served = Object.fromEntries(KINDS.map((k) => [k, { requests: 0, acked: 0, refused: 0 }]));
let postRequests = 0;

function pick(rand) {
  let r = rand() * WEIGHTS.reduce((a, b) => a + b, 0);
  for (let i = 0; i < KINDS.length; i += 1) {
    r -= WEIGHTS[i];
    if (r < 0) return KINDS[i];
  }
  return KINDS[0];
}

// One request of one kind: what to send, which answer acknowledges it (and
// what then is known), which refusal the race makes legitimate. Any other
// answer is a failure with its detail.
async function step(ctx, kind) {
  const { c, agent, port, rand } = ctx;
  const seq = ctx.seq += 1;
  const cgi = '/cgi/orvalengate.exe';
  const me = own[c];
  const posting = (body, type) => () => { postRequests += 1; return request(agent, port, 'POST', cgi, body, type); };
  let send;
  let ok = (body) => body.includes(ACCEPTED);
  let refusal = null;
  let onAck = () => {};

  if (kind === 'view') {
    const ids = [...members.keys()];
    const id = ids.length === 0 || rand() < 0.5 ? own[Math.floor(rand() * own.length)].id : ids[Math.floor(rand() * ids.length)];
    // A registered member nobody changes shows exactly the registered name.
    const name = members.get(id)?.realname;
    send = () => request(agent, port, 'GET', `${cgi}?showuser=${encodeURIComponent(id)}&session=${SESSION}`);
    ok = (body) => body.includes(cell(id)) && body.trimEnd().endsWith(PROFILE_TAIL)
      && (name === undefined || body.includes(cell(nbsp(name))));
  } else if (kind === 'register' || kind === 'register-dup') {
    // The raced ID changes every half second, so every client meets others on it.
    const dup = kind === 'register-dup';
    const id = dup ? `dup${Math.floor((Date.now() - ctx.start) / 500)}` : `m${c}x${seq}`;
    const attempt = { realname: `Client ${c} try ${seq}`, pw: `pw${c}-${seq}`, acked: false };
    if (dup) {
      if (!dupTries.has(id)) dupTries.set(id, []);
      dupTries.get(id).push(attempt);
      refusal = ALREADY_REGISTERED;
    }
    const fields = registrationFields(SESSION, id, attempt.pw, attempt.realname);
    const { body, type } = rand() < 0.5 ? { body: urlEncoded(fields), type: URL_ENCODED } : multipart(fields);
    send = posting(body, type);
    onAck = () => {
      attempt.acked = true;
      if (!dup) members.set(id, attempt);
    };
  } else if (kind === 'changepw' || kind === 'changepw-race') {
    // Racers all start from the newest acknowledged password of one member:
    // of those racing from one password exactly one may win.
    const race = kind === 'changepw-race';
    const attempt = race ? { pw0: racerPw, pw1: `race${c}-${seq}`, acked: false } : { pw0: me.pw, pw1: `own${c}-${seq}` };
    if (race) {
      raceAttempts.push(attempt);
      refusal = NOT_CHANGED;
    }
    send = posting(urlEncoded({ session: SESSION, command: 'changepw', id: race ? 'racer' : me.id, pw0: attempt.pw0,
      pw1: attempt.pw1, pw2: attempt.pw1 }), URL_ENCODED);
    onAck = () => {
      if (race) {
        attempt.acked = true;
        racerPw = attempt.pw1;
      } else {
        me.pw = attempt.pw1;
      }
    };
  } else if (kind === 'profile') {
    const realname = `Client ${c} save ${seq}`;
    const comment = `saved by ${c} as ${seq} & <ok>`;
    const shown = nbsp(comment.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;'));
    const { body, type } = multipart({ session: SESSION, command: 'changeprof2', id: me.id, pw: me.pw, realname,
      mail: `${me.id}@example.com`, country: 'JP', comment, url1: 'https://example.org/', urlname1: 'Home' });
    send = posting(body, type);
    ok = (page) => page.includes(cell(shown)) && page.trimEnd().endsWith(PROFILE_TAIL);
    onAck = () => {
      me.realname = nbsp(realname);
      me.comment = shown;
    };
  } else if (kind === 'post') {
    if (postsAsked >= MAX_POSTS) return;
    postsAsked += 1;
    const title = `c${c}n${seq}`;
    const entry = { id: me.id, data: jpegFor(rand, title), fileName: `photo-${title}.jpg`, acked: false };
    posts.set(title, entry);
    const { body, type } = multipart({ session: SESSION, command: 'postleaf', id: me.id, pw: me.pw, 'blank-title': title },
      { field: 'leaf', name: entry.fileName, data: entry.data });
    send = posting(body, type);
    ok = (page) => page.includes(FILE_ACCEPTED);
    onAck = () => { entry.acked = true; };
  }

  const reply = await send();
  const stat = served[kind];
  stat.requests += 1;
  if (reply.status === 200 && ok(reply.body)) {
    stat.acked += 1;
    onAck();
  } else if (refusal !== null && reply.status === 200 && reply.body.includes(refusal)) {
    stat.refused += 1;
  } else {
    fail(`client ${c} ${kind} #${seq}: status ${reply.status}${reply.error ? ` ${reply.error}` : ''} `
      + JSON.stringify(reply.body.slice(0, 200)));
  }
}

async function client(ctx, deadline) {
  while (Date.now() < deadline) await step(ctx, pick(ctx.rand));
}

// ---- the checks afterwards ------------------------------------------------------------
const readText = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'latin1') : null);
function checkFiles(site) {
  const data = path.join(site.dir, 'data');
  const membersDir = path.join(data, 'members');
  const uploadDir = path.join(data, 'upload');

  // Members: exactly the acknowledged IDs, each record whole.
  const expectedIds = new Set([...members.keys(), ...own.map((m) => m.id), 'racer']);
  for (const [id, tries] of dupTries) if (tries.some((t) => t.acked)) expectedIds.add(id);
  const recordFiles = fs.readdirSync(membersDir).filter((name) => !name.startsWith('.'));
  const foundIds = new Set(recordFiles.filter((n) => n.endsWith('.txt')).map((n) => n.slice(0, -4)));
  check('no stray file among the members', recordFiles.every((n) => n.endsWith('.txt')),
    recordFiles.filter((n) => !n.endsWith('.txt')).join(' '));
  const unacked = [...foundIds].filter((id) => !expectedIds.has(id));
  check('no record without an acknowledged registration', unacked.length === 0, unacked.slice(0, 10).join(' '));
  const lost = [...expectedIds].filter((id) => !foundIds.has(id));
  check('every acknowledged registration has its record', lost.length === 0, lost.slice(0, 10).join(' '));

  const exactRecord = (id, m) => `id=${id}\r\npw=${m.pw}\r\nrealname=${nbsp(m.realname)}\r\ncountry=JP\r\nmail=${id}@example.com\r\n`;
  let wrongRecords = 0;
  for (const [id, m] of members) {
    const text = readText(path.join(membersDir, `${id}.txt`));
    if (text !== null && text !== exactRecord(id, m)) {
      wrongRecords += 1;
      if (wrongRecords <= 5) fail(`record of ${id} is ${JSON.stringify(text)}`);
    }
  }
  check('every new registration stored byte for byte', wrongRecords === 0, `${wrongRecords} differ`);

  let dupWins = 0;
  for (const [id, tries] of dupTries) {
    const winners = tries.filter((t) => t.acked);
    if (winners.length > 1) fail(`${id} was acknowledged ${winners.length} times`);
    if (winners.length === 0) fail(`${id}: every one of ${tries.length} racing registrations was refused`);
    if (winners.length === 1) {
      dupWins += 1;
      const text = readText(path.join(membersDir, `${id}.txt`));
      if (text !== exactRecord(id, winners[0])) fail(`raced record ${id} is not the acknowledged one: ${JSON.stringify(text)}`);
    }
  }
  check('each raced ID registered exactly once, by the acknowledged request', dupWins === dupTries.size,
    `${dupWins} of ${dupTries.size}`);

  let ownWrong = 0;
  for (const m of own) {
    const text = readText(path.join(membersDir, `${m.id}.txt`)) ?? '';
    const { values, repeated, ended } = recordValues(text);
    const problems = [];
    if (!text.startsWith(`id=${m.id}\r\n`)) problems.push('id line');
    if (!ended || repeated.length) problems.push(`shape (repeated ${repeated.join(',')})`);
    if (values.get('pw') !== m.pw) problems.push(`pw ${values.get('pw')} not ${m.pw}`);
    if (values.get('realname') !== m.realname) problems.push(`realname ${values.get('realname')} not ${m.realname}`);
    if ((values.get('comment') ?? '') !== m.comment) problems.push(`comment ${values.get('comment')} not ${m.comment}`);
    if (problems.length) {
      ownWrong += 1;
      fail(`record of ${m.id}: ${problems.join('; ')}`);
    }
  }
  check('each client\'s member holds its last acknowledged password and profile', ownWrong === 0);

  // The raced password: the acknowledged changes form one chain from the
  // first password, and the record holds its end.
  const ackedRace = raceAttempts.filter((a) => a.acked);
  const byPw0 = new Map();
  let forks = 0;
  for (const a of ackedRace) {
    if (byPw0.has(a.pw0)) forks += 1;
    byPw0.set(a.pw0, a);
  }
  check('no two acknowledged password changes started from the same password (no lost update)', forks === 0, `${forks} forks`);
  let chainEnd = 'racer-start';
  let chainLength = 0;
  while (byPw0.has(chainEnd) && chainLength <= ackedRace.length) {
    chainEnd = byPw0.get(chainEnd).pw1;
    chainLength += 1;
  }
  check('every acknowledged raced change lies on the one chain', chainLength === ackedRace.length,
    `${chainLength} of ${ackedRace.length}`);
  const racerValues = recordValues(readText(path.join(membersDir, 'racer.txt')) ?? '').values;
  check('raced member holds the last acknowledged password', racerValues.get('pw') === chainEnd,
    `${racerValues.get('pw')} instead of ${chainEnd}`);

  // Posts: every acknowledged one stored once under the next counter name,
  // data byte for byte, record whole; nothing else.
  const ackedPosts = [...posts.values()].filter((p) => p.acked).length;
  const uploads = fs.readdirSync(uploadDir);
  const visible = uploads.filter((n) => !n.startsWith('.'));
  const counterText = readText(path.join(uploadDir, 'counter.txt'));
  check('counter equals the number of acknowledged posts', counterText === `${ackedPosts}\r\n`,
    `${JSON.stringify(counterText)} for ${ackedPosts}`);
  const expectedNames = new Set(['counter.txt']);
  for (let n = 1; n <= ackedPosts; n += 1) {
    const name = `img${String(n).padStart(4, '0')}`;
    expectedNames.add(`${name}.jpg`);
    expectedNames.add(`${name}.txt`);
  }
  const strays = visible.filter((n) => !expectedNames.has(n));
  const present = new Set(visible);
  const missing = [...expectedNames].filter((n) => !present.has(n));
  check('uploads are exactly img0001..N (.jpg and .txt) and the counter', strays.length === 0 && missing.length === 0,
    `extra ${strays.slice(0, 10).join(' ')} missing ${missing.slice(0, 10).join(' ')}`);
  const seen = new Map();
  let postFaults = 0;
  for (let n = 1; n <= ackedPosts; n += 1) {
    const name = `img${String(n).padStart(4, '0')}`;
    const record = readText(path.join(uploadDir, `${name}.txt`));
    const title = /\r\nblank-title=([^\r]*)\r\n/.exec(record ?? '')?.[1];
    const entry = posts.get(title);
    let problem;
    if (!entry) problem = `record names no post of this run: ${JSON.stringify(record)}`;
    else if (!entry.acked) problem = `stored post ${title} was not acknowledged`;
    else if (seen.has(title)) problem = `post ${title} stored twice (${seen.get(title)})`;
    else if (record !== `<tslkeys>\r\nsession=${SESSION}\r\nid=${entry.id}\r\nblank-title=${title}\r\nleaf=${entry.fileName}\r\n\r\n</tslkeys>\r\n`) {
      problem = `record ${JSON.stringify(record)}`;
    } else if (!fs.readFileSync(path.join(uploadDir, `${name}.jpg`)).equals(entry.data)) {
      problem = `data of ${title} differs from what was posted`;
    }
    if (title !== undefined) seen.set(title, name);
    if (problem) {
      postFaults += 1;
      if (postFaults <= 5) fail(`${name}: ${problem}`);
    }
  }
  check('every stored post is an acknowledged one, once, byte for byte', postFaults === 0, `${postFaults} faulty`);

  // Dumps: one per POST, each byte for byte a body that was sent.
  const dumpDir = path.join(data, 'dump');
  const dumped = new Map();
  let dumpCount = 0;
  for (const name of fs.readdirSync(dumpDir, { recursive: true })) {
    const file = path.join(dumpDir, name);
    if (path.basename(name).startsWith('.') || !fs.statSync(file).isFile()) continue;
    dumpCount += 1;
    const key = sha1(fs.readFileSync(file));
    dumped.set(key, (dumped.get(key) ?? 0) + 1);
  }
  let dumpMismatch = 0;
  for (const [key, count] of sentBodies) if (dumped.get(key) !== count) dumpMismatch += 1;
  check('one dump per POST, each the body as sent', dumpCount === postRequests && dumpMismatch === 0,
    `${dumpCount} dumps for ${postRequests} posts, ${dumpMismatch} bodies unmatched`);

  // No temporary file left behind by a finished request.
  const leftovers = fs.readdirSync(data, { recursive: true }).filter((n) => path.basename(n).startsWith('.tmp'));
  check('no temporary file left behind', leftovers.length === 0, leftovers.slice(0, 5).join(' '));
  return { ackedPosts, counter: counterText?.trim() ?? 'missing', dumpCount, chainLength, dupIds: dupTries.size };
}

function checkErrorLog(site) {
  // lighttpd notes its own start and stop; anything else (a CGI's stderr, a
  // failed spawn, a refused connection) is a fault of the run.
  const log = readText(path.join(site.dir, 'log', 'error.log')) ?? '';
  const lines = log.split('\n').filter((line) => line.trim() !== '' && !/server started|server stopped/.test(line));
  check('lighttpd error log holds nothing but start and stop', lines.length === 0, lines.slice(0, 5).join(' | '));
  return lines.length;
}

// ---- the run --------------------------------------------------------------------
function writeReport(figures) {
  const total = KINDS.reduce((sum, k) => sum + served[k].requests, 0);
  const rows = KINDS.map((k) => `| ${k} | ${served[k].requests} | ${served[k].acked} | ${served[k].refused} |`);
  const text = [
    '## Load (lighttpd, concurrent clients)',
    '',
    `${CLIENTS} keep-alive clients for ${figures.elapsed} s against lighttpd ${figures.lighttpd} on loopback (seed ${SEED}).`,
    '',
    '| kind | requests | acknowledged | refused as expected |',
    '|---|---:|---:|---:|',
    ...rows,
    `| **all** | ${total} | | |`,
    '',
    '| figure | value |',
    '|---|---:|',
    `| requests/s | ${figures.rate} |`,
    `| posts stored / counter | ${figures.ackedPosts} / ${figures.counter} |`,
    `| raced IDs / raced password chain length | ${figures.dupIds} / ${figures.chainLength} |`,
    `| dumps written / POSTs | ${figures.dumpCount} / ${postRequests} |`,
    `| lighttpd error log lines | ${figures.logLines} |`,
    `| checks passed / failures | ${checksPassed} / ${failures.length} |`,
    `| result | ${failures.length === 0 ? 'PASS' : 'FAIL'} |`,
    '',
  ].join('\n');
  fs.mkdirSync(reportDir, { recursive: true });
  fs.writeFileSync(path.join(reportDir, 'load.md'), text);
}

async function run() {
  const site = await startSite(exePath, work);
  const figures = { lighttpd: execFileSync('lighttpd', ['-v'], { encoding: 'utf8' }).split(' ')[0].replace('lighttpd/', '') };
  try {
    // Every client's own member and the raced one, before the clock starts.
    const setupAgent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    for (let c = 0; c <= CLIENTS; c += 1) {
      const id = c < CLIENTS ? `own${c}` : 'racer';
      const pw = c < CLIENTS ? `start${c}` : 'racer-start';
      const realname = `Client ${c}`;
      postRequests += 1;
      const reply = await request(setupAgent, site.port, 'POST', '/cgi/orvalengate.exe',
        urlEncoded(registrationFields(SESSION, id, pw, realname)), URL_ENCODED);
      if (!reply.body.includes(ACCEPTED)) throw new Error(`setup registration of ${id}: ${reply.status} ${reply.body.slice(0, 200)}`);
      if (c < CLIENTS) own.push({ id, pw, realname: nbsp(realname), comment: '' });
    }
    setupAgent.destroy();

    const start = Date.now();
    const deadline = start + SECONDS * 1000;
    const agents = [];
    const clients = [];
    for (let c = 0; c < CLIENTS; c += 1) {
      const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
      agents.push(agent);
      clients.push(client({ c, agent, port: site.port, rand: prng(SEED * 131 + c), seq: 0, start }, deadline));
    }
    await Promise.all(clients);
    const elapsed = (Date.now() - start) / 1000;
    for (const agent of agents) agent.destroy();
    const total = KINDS.reduce((sum, k) => sum + served[k].requests, 0);
    figures.rate = (total / elapsed).toFixed(1);
    figures.elapsed = elapsed.toFixed(1);

    console.log(`${CLIENTS} clients, ${elapsed.toFixed(1)} s, seed ${SEED}`);
    for (const k of KINDS) {
      console.log(`  ${k.padEnd(14)} ${String(served[k].requests).padStart(6)} served, ${served[k].acked} acknowledged, ${served[k].refused} refused as expected`);
    }
    console.log(`  ${'all'.padEnd(14)} ${String(total).padStart(6)} served, ${figures.rate} requests/s`);
  } finally {
    await stopServer(site.server);
  }
  Object.assign(figures, checkFiles(site));
  figures.logLines = checkErrorLog(site);
  writeReport(figures);
}

let exitCode = 1;
try {
  if (!fs.existsSync(exePath)) throw new Error(`${exePath} is missing`);
  await run();
  exitCode = failures.length === 0 && checksPassed > 0 ? 0 : 1;
} catch (err) {
  fail(String(err?.stack ?? err));
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(`${checksPassed} checks passed, ${failures.length} failures (report: ${path.join(reportDir, 'load.md')})`);
process.exit(exitCode);
