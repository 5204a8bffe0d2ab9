// Two web servers, one site: two site folders, each with its own copy of the
// program and config.txt, whose sessions keep their data in the same folders
// of a shared volume, reached through mount A by one site and mount B by the
// other (tests/shared-storage/gluster.sh sets them up). Both sides run the
// program as CGI at once, a bounded number of processes each: registrations
// of the same IDs, numbered posts under each naming rule (counter template,
// "num3d", time stamp), password changes and profile edits of one member,
// profile views, and photos through the second page set, whose sized copies
// are written beside them. Then every file is checked: no acknowledged change lost, no
// name or acknowledgement duplicated, no record torn, no error page, and
// both mounts show the same bytes. Members of a session with SignIn=1 sign in
// on one side and post on the other without password, retitle and remove
// there, and sign out: the cookie then signs no one in on the other side.
// Exits 1 when any of these is wrong.
// Usage: node workload.mjs EXE   with SHARED_MOUNT_A and SHARED_MOUNT_B set
//   ORVALENGATE_SHARED_PROCESSES (per side, default 8), ORVALENGATE_SHARED_SEED
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  ACCEPTED, ALREADY_REGISTERED, FILE_ACCEPTED, NOT_CHANGED, PROFILE_NOT_CHANGED, PROFILE_TAIL, URL_ENCODED, cell,
  jpegFor, multipart, nbsp, prng, recordValues, registrationFields, urlEncoded,
} from '../support/forms.mjs';

const exe = process.argv[2];
const mounts = { A: process.env.SHARED_MOUNT_A, B: process.env.SHARED_MOUNT_B };
if (!exe || !mounts.A || !mounts.B) {
  console.error('usage: SHARED_MOUNT_A=DIR SHARED_MOUNT_B=DIR node workload.mjs EXE');
  process.exit(2);
}
const positive = (name, fallback) => {
  const value = Number(process.env[name]);
  return Number.isInteger(value) && value > 0 ? value : fallback;
};
const PROCESSES = positive('ORVALENGATE_SHARED_PROCESSES', 8);
const SEED = positive('ORVALENGATE_SHARED_SEED', Date.now() % 2147483647);
// Per side: every raced ID is registered this many times from each side.
const IDS = 20, TRIES_PER_SIDE = 8, POSTS_PER_RULE = 30, PW_CHANGES = 80, PROFILE_EDITS = 20, VIEWS = 20;
const RULES = ['counter', 'num3d', 'stamp', 'photos'];
const PHOTO_POSTED = 'Your photo is posted';
const COPY_SIDES = [480, 880, 1080];
const SIDES = ['A', 'B'];
const MEMBERS_SESSION = 'counter';
// Per side: members signed in there who post on the other side.
const SIGNIN = 'signin', SIGNERS = 4, SIGNED_POSTS = 3;

// ---- the two sites ----------------------------------------------------------------
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'orvalengate-shared-'));
const shared = (side, ...parts) => path.join(mounts[side], 'site', ...parts);
function layOut() {
  for (const dir of ['members', 'dump', SIGNIN, ...RULES]) fs.mkdirSync(shared('A', dir), { recursive: true });
  const sites = {};
  for (const side of SIDES) {
    const dir = path.join(work, side);
    fs.mkdirSync(path.join(dir, 'sessions'), { recursive: true });
    fs.copyFileSync(exe, path.join(dir, 'orvalengate.exe'));
    fs.chmodSync(path.join(dir, 'orvalengate.exe'), 0o755);
    fs.writeFileSync(path.join(dir, 'config.txt'), `sessiondb=${dir}/sessions\r\ndumppath=${shared(side, 'dump')}\r\n`);
    const common = `membersdb=${shared(side, 'members')}\r\n`;
    fs.writeFileSync(path.join(dir, 'sessions', 'counter.txt'), `path=${shared(side, 'counter')}\r\n${common}`
      + `FileNameTemplate=img####\r\nFileNameCounter=${shared(side, 'counter.txt')}\r\n`);
    fs.writeFileSync(path.join(dir, 'sessions', 'num3d.txt'), `path=${shared(side, 'num3d')}\r\n${common}nameorder=num3d\r\n`);
    fs.writeFileSync(path.join(dir, 'sessions', 'stamp.txt'), `path=${shared(side, 'stamp')}\r\n${common}`);
    fs.writeFileSync(path.join(dir, 'sessions', 'photos.txt'), `path=${shared(side, 'photos')}\r\n${common}`
      + 'nameorder=num3d\r\nPages=modern\r\nUploadUrl=/up/\r\n');
    fs.writeFileSync(path.join(dir, 'sessions', `${SIGNIN}.txt`), `path=${shared(side, SIGNIN)}\r\n${common}`
      + 'nameorder=num3d\r\nPages=modern\r\nUploadUrl=/up/\r\nSignIn=1\r\n');
    sites[side] = dir;
  }
  return sites;
}

// One request, run as a web server runs a CGI program: environment and body.
const times = [];
function cgi(sites, side, query, body, type, headers = {}) {
  const env = { GATEWAY_INTERFACE: 'CGI/1.1', SERVER_PROTOCOL: 'HTTP/1.1', SERVER_NAME: `web-${side}`,
    REMOTE_ADDR: '127.0.0.1', SCRIPT_NAME: '/cgi/orvalengate.exe', REQUEST_METHOD: body ? 'POST' : 'GET',
    QUERY_STRING: query ?? '', ...headers };
  if (body) Object.assign(env, { CONTENT_TYPE: type, CONTENT_LENGTH: String(body.length) });
  const started = process.hrtime.bigint();
  return new Promise((resolve) => {
    const child = spawn(path.join(sites[side], 'orvalengate.exe'), [], { cwd: sites[side], env });
    const out = [];
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stdin.on('error', () => {});
    child.stdin.end(body ?? Buffer.alloc(0));
    child.on('error', (err) => resolve({ status: 0, page: String(err) }));
    child.on('close', (code, signal) => {
      times.push(Number(process.hrtime.bigint() - started) / 1e6);
      const page = Buffer.concat(out).toString('latin1');
      const head = page.slice(0, page.indexOf('\r\n\r\n') + 1);
      const status = code !== 0 || signal ? -1 : Number(/^Status: (\d+)/m.exec(head)?.[1] ?? 200);
      resolve({ status, page });
    });
  });
}

// ---- the workload -------------------------------------------------------------------
const figures = { requests: 0, acknowledged: 0, lost: 0, duplicated: 0, torn: 0, errors: 0, disagreeing: 0 };
const problems = [];
function count(figure, what) {
  figures[figure] += 1;
  problems.push(`${figure}: ${what}`);
  if (problems.length <= 30) console.log(`${figure.toUpperCase()}: ${what}`);
}
const pageText = (page) => page.replace(/^[\s\S]*?\r\n\r\n/, '').replace(/<[^>]*>/g, ' ').replace(/[^ -~]+/g, ' ')
  .replace(/\s+/g, ' ').slice(0, 160);

const registrations = new Map();  // id -> [{ side, pw, realname, acked }]
const posts = new Map();          // rule -> Map(title -> { data, fileName, acked })
const pwChanges = [];             // { pw0, pw1, acked }
const edits = [];                 // { token, sent, answered, acked }
let editorPw = 'editor-0';
const POSTER_PW = 'poster-pw';
// A real photo the copies are made of, told apart by a comment with its title.
let photo = null;
function photoFor(title) {
  photo ??= execFileSync('convert', ['-size', '640x480', 'plasma:', '-strip', '-quality', '70', 'jpeg:-']);
  const comment = Buffer.from(title, 'latin1');
  const length = Buffer.from([(comment.length + 2) >> 8, (comment.length + 2) & 0xff]);
  return Buffer.concat([photo.subarray(0, 2), Buffer.from([0xff, 0xfe]), length, comment, photo.subarray(2)]);
}

function tasks(side, rand) {
  const list = [];
  for (let i = 0; i < IDS; i += 1) {
    for (let k = 0; k < TRIES_PER_SIDE; k += 1) list.push({ kind: 'register', id: `r${String(i).padStart(2, '0')}`, k });
  }
  for (const rule of RULES) for (let k = 0; k < POSTS_PER_RULE; k += 1) list.push({ kind: 'post', rule, k });
  for (let k = 0; k < PW_CHANGES; k += 1) list.push({ kind: 'changepw', k });
  for (let k = 0; k < PROFILE_EDITS; k += 1) list.push({ kind: 'profile', k });
  for (let k = 0; k < VIEWS; k += 1) list.push({ kind: 'view', k });
  for (let k = 0; k < SIGNERS; k += 1) list.push({ kind: 'signer', k });
  for (let i = list.length - 1; i > 0; i -= 1) {
    const j = Math.floor(rand() * (i + 1));
    [list[i], list[j]] = [list[j], list[i]];
  }
  return list.map((t) => ({ ...t, side, rand }));
}

// Sends one task; an answer that is neither its acknowledgement nor the
// refusal its race makes legitimate counts as an error.
async function run(sites, task) {
  const { side, k, rand } = task;
  if (task.kind === 'signer') return signer(sites, side, k);
  let send, ok, refusal = null, onAck = () => {}, edit = null;
  if (task.kind === 'register') {
    const attempt = { side, pw: `pw-${side}-${k}`, realname: `Side ${side} try ${k}`, acked: false };
    if (!registrations.has(task.id)) registrations.set(task.id, []);
    registrations.get(task.id).push(attempt);
    send = () => cgi(sites, side, '', urlEncoded(registrationFields(MEMBERS_SESSION, task.id, attempt.pw, attempt.realname)),
      URL_ENCODED);
    ok = (page) => page.includes(ACCEPTED);
    refusal = ALREADY_REGISTERED;
    onAck = () => { attempt.acked = true; };
  } else if (task.kind === 'post') {
    const title = `${side}-${task.rule}-${k}`;
    const entry = { data: task.rule === 'photos' ? photoFor(title) : jpegFor(rand, title), fileName: `photo-${title}.jpg`,
      acked: false };
    if (!posts.has(task.rule)) posts.set(task.rule, new Map());
    posts.get(task.rule).set(title, entry);
    const { body, type } = multipart({ session: task.rule, command: 'postleaf', id: 'poster', pw: POSTER_PW,
      'blank-title': title }, { field: 'leaf', name: entry.fileName, data: entry.data });
    send = () => cgi(sites, side, '', body, type);
    ok = (page) => page.includes(task.rule === 'photos' ? PHOTO_POSTED : FILE_ACCEPTED);
    onAck = () => { entry.acked = true; };
  } else if (task.kind === 'changepw') {
    // Each change starts from the newest acknowledged password: of those
    // racing from one password at most one may win.
    const change = { pw0: editorPw, pw1: `e-${side}-${k}`, acked: false };
    pwChanges.push(change);
    send = () => cgi(sites, side, '', urlEncoded({ session: MEMBERS_SESSION, command: 'changepw', id: 'editor',
      pw0: change.pw0, pw1: change.pw1, pw2: change.pw1 }), URL_ENCODED);
    ok = (page) => page.includes(ACCEPTED);
    refusal = NOT_CHANGED;
    onAck = () => {
      change.acked = true;
      editorPw = change.pw1;
    };
  } else if (task.kind === 'profile') {
    edit = { token: `edit-${side}-${k}`, acked: false };
    edits.push(edit);
    const { body, type } = multipart({ session: MEMBERS_SESSION, command: 'changeprof2', id: 'editor', pw: editorPw,
      realname: `Editor ${edit.token}`, mail: 'editor@example.com', country: 'JP', comment: edit.token });
    send = () => cgi(sites, side, '', body, type);
    ok = (page) => page.includes(cell(edit.token)) && page.trimEnd().endsWith(PROFILE_TAIL);
    refusal = PROFILE_NOT_CHANGED;
    onAck = () => { edit.acked = true; };
    edit.sent = performance.now();
  } else {
    send = () => cgi(sites, side, `showuser=editor&session=${MEMBERS_SESSION}`);
    ok = (page) => page.includes(cell('editor')) && page.trimEnd().endsWith(PROFILE_TAIL);
  }
  const reply = await send();
  figures.requests += 1;
  if (reply.status === 200 && ok(reply.page)) {
    figures.acknowledged += 1;
    onAck();
  } else if (!(refusal !== null && reply.status === 200 && reply.page.includes(refusal))) {
    count('errors', `side ${side} ${task.kind} #${k}: status ${reply.status}: ${pageText(reply.page)}`);
  }
  if (edit) edit.answered = performance.now();
}

// A member signs in on `side` and posts on the other side with the cookie and
// the form token alone, then retitles the first post and removes the second
// on `side`; every second member then signs out there, and at once the
// other side must take the cookie for no one.
const signedPosts = [];     // { id, title, fileName, data, token, csrf, base, acked, retitled, removed, late }
const signIns = new Map();  // SHA-256 of the token -> { id, ended }
let undumped = 0;           // GETs leave no dump
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes, 'latin1').digest('hex');
const signerId = (side, k) => `s${side}${k}`;
async function signer(sites, side, k) {
  const other = side === 'A' ? 'B' : 'A', id = signerId(side, k);
  let token = '', csrf = '';
  // A GET when `fields` is a query; answered with `want` (if given) it is acknowledged.
  const ask = async (at, fields, want, file) => {
    const form = typeof fields === 'string' ? (undumped += 1, {}) : file ? multipart(fields, { field: 'leaf', ...file })
      : { body: urlEncoded(fields), type: URL_ENCODED };
    const reply = await cgi(sites, at, form.body ? '' : fields, form.body, form.type, { HTTP_HOST: `web-${at}`,
      HTTP_ORIGIN: `http://web-${at}`, ...(token && { HTTP_COOKIE: `orvalengate-signin=${token}` }) });
    figures.requests += 1;
    reply.ok = want !== undefined && reply.status === 200 && reply.page.includes(want);
    if (reply.ok) figures.acknowledged += 1;
    const what = `side ${at} ${fields.command ?? fields} of ${id}: status ${reply.status}: ${pageText(reply.page)}`;
    if (!reply.ok && want !== undefined) count('errors', what);
    return { ...reply, what };
  };
  const command = (name, fields = {}) => ({ session: SIGNIN, command: name, csrf, ...fields });
  const { page } = await ask(side, { session: SIGNIN, command: 'signin', id, pw: `pw-${id}` }, 'You are signed in');
  token = /^Set-Cookie: orvalengate-signin=([0-9a-f]{64}); Path=\//m.exec(page.slice(0, page.indexOf('\r\n\r\n')))?.[1];
  if (!token) return void count('errors', `side ${side} signin of ${id}: no cookie`);
  const signIn = { id, ended: false };
  signIns.set(sha256(token), signIn);
  csrf = sha256(`form\n${token}`);
  await ask(other, `session=${SIGNIN}&form=post`, `name="csrf" value="${csrf}"`);
  for (let j = 0; j < SIGNED_POSTS; j += 1) {
    const post = { id, title: `${id}-${j}`, fileName: `signed-${id}-${j}.jpg`, token, csrf };
    post.data = photoFor(post.title);
    signedPosts.push(post);
    const posted = await ask(other, command('postleaf', { 'blank-title': post.title }), PHOTO_POSTED,
      { name: post.fileName, data: post.data });
    [post.acked, post.base] = [posted.ok, posted.ok ? /photo=(\d+)\.jpg"/.exec(posted.page)?.[1] : undefined];
    if (posted.ok && !post.base) count('errors', `${posted.what}: no link to the photo`);
  }
  const [first, second] = signedPosts.filter((p) => p.id === id && p.base);
  if (first) {
    first.retitled = (await ask(side, command('retitlepost', { post: `${first.base}.jpg`,
      title: `${first.title} retitled`, note: `note of ${id}` }), 'The title and note are changed')).ok;
  }
  if (second) {
    second.removed = (await ask(side, command('deletepost', { post: `${second.base}.jpg` }), 'Your photo is removed')).ok;
  }
  if (k % 2 || !(await ask(side, command('signout'), 'You are signed out')).ok) return;
  signIn.ended = true;
  signedPosts.push({ id, title: `${id}-late`, late: true });
  const late = await ask(other, command('postleaf', { 'blank-title': `${id}-late` }), undefined,
    { name: 'late.jpg', data: photoFor(`${id}-late`) });
  if (late.page.includes(PHOTO_POSTED) || ![403, 404].includes(late.status)) {
    count('errors', `${id} signed out on side ${side}, then ${late.what}`);
  }
}

// ---- the checks ----------------------------------------------------------------------
const read = (side, ...parts) => {
  try {
    return fs.readFileSync(shared(side, ...parts), 'latin1');
  } catch {
    return null;
  }
};
const exactRecord = (id, pw, realname) => `id=${id}\r\npw=${pw}\r\nrealname=${nbsp(realname)}\r\ncountry=JP\r\nmail=${id}@example.com\r\n`;

function checkRegistrations() {
  for (const [id, tries] of registrations) {
    const winners = tries.filter((t) => t.acked);
    const text = read('A', 'members', `${id}.txt`);
    if (winners.length > 1) count('duplicated', `${id} acknowledged ${winners.length} times`);
    if (winners.length === 0) count('errors', `${id}: all ${tries.length} registrations refused`);
    if (winners.length >= 1 && text === null) count('lost', `record of ${id} missing`);
    else if (winners.length >= 1 && !winners.some((w) => text === exactRecord(id, w.pw, w.realname))) {
      const known = tries.some((t) => text === exactRecord(id, t.pw, t.realname));
      count(known ? 'lost' : 'torn', `record of ${id} is ${JSON.stringify(text)}`);
    }
  }
}

// Every stored photo has each copy, whole; no copy outlives its post.
function checkCopies(rule, bases) {
  for (const base of bases) {
    for (const side of COPY_SIDES) {
      let copy = null;
      try { copy = fs.readFileSync(shared('A', rule, 'sized', `${base}-${side}.jpg`)); } catch { /* counted */ }
      const whole = copy && copy[0] === 0xff && copy[1] === 0xd8 && copy.at(-2) === 0xff && copy.at(-1) === 0xd9;
      if (!whole) count(copy ? 'torn' : 'lost', `${rule}/sized/${base}-${side}.jpg ${copy ? 'is not whole' : 'missing'}`);
    }
  }
  const copies = fs.existsSync(shared('A', rule, 'sized')) ? fs.readdirSync(shared('A', rule, 'sized')) : [];
  for (const name of copies.filter((n) => !n.startsWith('.'))) {
    if (!bases.has(name.replace(/-\d+\.jpg$/, ''))) count('torn', `${rule}/sized/${name} belongs to no post`);
  }
}

function checkPosts() {
  for (const rule of RULES) {
    const entries = posts.get(rule);
    const acked = [...entries.values()].filter((e) => e.acked).length;
    const files = fs.readdirSync(shared('A', rule)).filter((n) => !n.startsWith('.'));
    const records = files.filter((n) => n.endsWith('.txt')).sort();
    const found = new Map();
    for (const name of records) {
      const text = read('A', rule, name);
      const title = /\r\nblank-title=([^\r]*)\r\n/.exec(text ?? '')?.[1];
      const entry = entries.get(title);
      const base = name.slice(0, -4);
      if (!entry) { count('torn', `${rule}/${name} names no post: ${JSON.stringify(text)}`); continue; }
      if (found.has(title)) count('duplicated', `${title} stored as ${found.get(title)} and ${base}`);
      found.set(title, base);
      if (!entry.acked) count('errors', `${rule}/${name}: post ${title} stored but not acknowledged`);
      const expected = `<tslkeys>\r\nsession=${rule}\r\nid=poster\r\nblank-title=${title}\r\nleaf=${entry.fileName}\r\n\r\n</tslkeys>\r\n`;
      let data = null;
      try { data = fs.readFileSync(shared('A', rule, `${base}.jpg`)); } catch { /* counted below */ }
      if (text !== expected || !data?.equals(entry.data)) count('torn', `${rule}/${base}: record or image differs from the post`);
    }
    for (const [title, entry] of entries) if (entry.acked && !found.has(title)) count('lost', `${rule} post ${title} missing`);
    if (rule === 'photos') checkCopies(rule, new Set(found.values()));
    const images = files.filter((n) => n.endsWith('.jpg'));
    if (images.length !== records.length) count('torn', `${rule}: ${images.length} images for ${records.length} records`);
    // The numbered rules hand out names without gaps or repeats.
    const want = (n) => (rule === 'counter' ? `img${String(n).padStart(4, '0')}` : String(n).padStart(3, '0'));
    if (rule !== 'stamp') {
      const names = records.map((n) => n.slice(0, -4));
      const expectedNames = Array.from({ length: acked }, (_, i) => want(i + 1));
      if (names.join() !== expectedNames.join()) count('duplicated', `${rule}: names ${names.join(' ')} for ${acked} posts`);
    }
    const counter = rule === 'counter' ? read('A', 'counter.txt') : null;
    if (rule === 'counter' && counter === null) count('errors', 'the counter cannot be read');
    else if (rule === 'counter' && counter !== `${acked}\r\n`) count('lost', `counter holds ${JSON.stringify(counter)} after ${acked} posts`);
  }
}

function checkEditor() {
  // The acknowledged password changes form one chain from the first
  // password, and the record holds its end; a fork is a lost update.
  const byPw0 = new Map();
  for (const c of pwChanges.filter((x) => x.acked)) {
    if (byPw0.has(c.pw0)) count('lost', `two acknowledged changes from ${c.pw0}: to ${byPw0.get(c.pw0).pw1} and ${c.pw1}`);
    else byPw0.set(c.pw0, c);
  }
  let end = 'editor-0', length = 0;
  while (byPw0.has(end) && length <= pwChanges.length) { end = byPw0.get(end).pw1; length += 1; }
  const text = read('A', 'members', 'editor.txt') ?? '';
  const { values, repeated, ended } = recordValues(text);
  if (!text.startsWith('id=editor\r\n') || !ended || repeated.length) count('torn', `editor record ${JSON.stringify(text)}`);
  if (values.get('pw') !== end) count('lost', `editor's password is ${values.get('pw')}, the last acknowledged change made it ${end}`);
  // Profile edits: the record shows one acknowledged edit, whole, and none
  // that an edit acknowledged later in real time (sent after it was
  // answered) replaced.
  const ackedEdits = edits.filter((e) => e.acked);
  const shown = ackedEdits.find((e) => values.get('comment') === e.token);
  if (ackedEdits.length && !shown) count('lost', `editor's comment ${values.get('comment')} is no acknowledged edit`);
  if (shown && values.get('realname') !== nbsp(`Editor ${shown.token}`)) count('torn', `editor's realname ${values.get('realname')} with comment ${shown.token}`);
  const later = shown && ackedEdits.find((e) => e.sent > shown.answered);
  if (later) count('lost', `edit ${later.token} acknowledged after ${shown.token}, which the record still shows`);
  return { chain: length, edits: ackedEdits.length };
}

// Each acknowledged signed-in post once, naming its member, as retitled,
// never holding the token or the form token; removed ones without a trace;
// the sign-ins whole, the same through both mounts, none outliving its end.
function checkSignedIn() {
  const files = fs.readdirSync(shared('A', SIGNIN)).filter((n) => !n.startsWith('.'));
  const records = files.filter((n) => n.endsWith('.txt')), images = files.filter((n) => n.endsWith('.jpg'));
  // A removed post's name goes to the next post.
  const live = signedPosts.filter((p) => p.acked && !p.removed), byBase = new Map(live.map((p) => [p.base, p]));
  if (byBase.size !== live.length) count('duplicated', `${SIGNIN}: ${live.length} posts under ${byBase.size} names`);
  for (const name of records) {
    const base = name.slice(0, -4), text = read('A', SIGNIN, name) ?? '', post = byBase.get(base);
    const named = signedPosts.find((p) => text.includes(`\r\nblank-title=${p.title}\r\n`));
    const what = `${SIGNIN}/${name} (${post?.title ?? 'no live post'}): ${JSON.stringify(text)}`;
    const fields = post?.retitled ? `blank-title=${nbsp(`${post.title} retitled`)}\r\nleaf=${post.fileName}\r\n`
      + `note=${nbsp(`note of ${post.id}`)}` : `blank-title=${post?.title}\r\nleaf=${post?.fileName}`;
    if (!post) count(named?.removed ? 'lost' : named?.late ? 'errors' : named ? 'duplicated' : 'torn', what);
    else if (text.includes(post.token) || text.includes(post.csrf) || text.includes('csrf')) count('torn', what);
    else if (text !== `<tslkeys>\r\nsession=${SIGNIN}\r\nid=${post.id}\r\n${fields}\r\n\r\n</tslkeys>\r\n`) {
      count(post.retitled && named === post ? 'lost' : 'torn', what);
    }
    if (post && read('A', SIGNIN, `${base}.jpg`) !== post.data.toString('latin1')) count('torn', `${base}.jpg: ${what}`);
  }
  checkCopies(SIGNIN, new Set(records.map((n) => n.slice(0, -4)).filter((b) => byBase.has(b))));
  for (const post of live.filter((p) => !records.includes(`${p.base}.txt`))) count('lost', `${SIGNIN} post ${post.title} missing`);
  for (const post of signedPosts.filter((p) => p.removed && !byBase.has(p.base) && images.includes(`${p.base}.jpg`))) {
    count('lost', `${SIGNIN}/${post.base}.jpg of ${post.title} outlives its removal`);
  }
  if (images.length !== records.length) count('torn', `${SIGNIN}: ${images.length} images for ${records.length} records`);
  const listed = (side) => fs.readdirSync(shared(side, 'members')).filter((n) => n.startsWith('.signin-')).sort();
  if (listed('A').join() !== listed('B').join()) count('disagreeing', 'the mounts list other sign-ins');
  for (const name of listed('A')) {
    const text = read('A', 'members', name), signIn = signIns.get(name.slice(8));
    if (text !== read('B', 'members', name)) count('disagreeing', `members/${name} differs between the mounts`);
    if (!/^session=signin\r\nid=\w+\r\npw=[0-9a-f]{64}\r\ncreated=\d+\r\nused=\d+\r\n$/.test(text ?? '')
      || (signIn && !text.includes(`\r\nid=${signIn.id}\r\n`))) count('torn', `members/${name} is ${JSON.stringify(text)}`);
    if (signIn?.ended) count('errors', `members/${name}: ${signIn.id}'s sign-in outlives its sign-out`);
  }
  for (const [hash, { id, ended }] of signIns) {
    if (!ended && !listed('A').includes(`.signin-${hash}`)) count('lost', `${id}'s sign-in is gone`);
  }
  return live.length + signedPosts.filter((p) => p.removed).length;
}

// Every record, post and counter through mount B must be what mount A
// shows (the dumps, written once and never read, are only counted).
function compareMounts(dir = 'site') {
  for (const entry of fs.readdirSync(path.join(mounts.A, dir), { withFileTypes: true })) {
    const name = path.join(dir, entry.name);
    if (entry.isDirectory() && name !== path.join('site', 'dump')) compareMounts(name);
    else if (entry.isFile() && !entry.name.startsWith('.')) {
      let other = null;
      try { other = fs.readFileSync(path.join(mounts.B, name)); } catch { /* differs */ }
      if (!other?.equals(fs.readFileSync(path.join(mounts.A, name)))) count('disagreeing', `${name} differs between the mounts`);
    }
  }
}

// ---- the run --------------------------------------------------------------------------
async function main() {
  const begun = performance.now();
  const sites = layOut();
  // The two members the races need and those who sign in, registered through side A.
  const signers = SIDES.flatMap((side) => Array.from({ length: SIGNERS }, (_, k) => signerId(side, k)));
  const members = [['poster', POSTER_PW], ['editor', editorPw], ...signers.map((id) => [id, `pw-${id}`])];
  for (const [id, pw] of members) {
    const reply = await cgi(sites, 'A', '', urlEncoded(registrationFields(MEMBERS_SESSION, id, pw, id)), URL_ENCODED);
    if (!reply.page.includes(ACCEPTED)) throw new Error(`registration of ${id}: ${reply.page.slice(0, 300)}`);
  }
  times.length = 0;
  const started = performance.now();
  const laidOut = (started - begun) / 1000;
  const workers = [];
  for (const side of SIDES) {
    const queue = tasks(side, prng(SEED * 7 + side.charCodeAt(0)));
    for (let p = 0; p < PROCESSES; p += 1) {
      workers.push((async () => { for (let t = queue.shift(); t; t = queue.shift()) await run(sites, t); })());
    }
  }
  await Promise.all(workers);
  const seconds = (performance.now() - started) / 1000;
  const checking = performance.now();

  checkRegistrations();
  checkPosts();
  const { chain, edits: editCount } = checkEditor();
  const signedAcked = checkSignedIn();
  compareMounts();
  for (const side of SIDES) {
    const log = path.join(sites[side], 'error.txt');
    if (fs.existsSync(log)) count('errors', `side ${side} logged: ${fs.readFileSync(log, 'latin1').trim()}`);
  }
  const dumps = fs.readdirSync(shared('A', 'dump'), { recursive: true }).filter((n) => n.endsWith('.txt')).length;
  const posted = figures.requests - VIEWS * SIDES.length - undumped + members.length;
  if (dumps !== posted) count('lost', `${dumps} request dumps for ${posted} posted requests`);

  const checked = (performance.now() - checking) / 1000;
  times.sort((a, b) => a - b);
  const median = times.length ? times[Math.floor(times.length / 2)] : 0;
  const options = process.env.SHARED_VOLUME_OPTIONS ?? 'unknown';
  console.log(`two sites on one volume (${options} options), ${PROCESSES} processes per side, seed ${SEED}, `
    + `set-up ${laidOut.toFixed(1)} s, requests ${seconds.toFixed(1)} s, checks ${checked.toFixed(1)} s`);
  console.log(`  requests ${figures.requests}, acknowledged ${figures.acknowledged}, lost ${figures.lost}, `
    + `duplicated ${figures.duplicated}, torn ${figures.torn}, errors ${figures.errors}, `
    + `mounts disagreeing ${figures.disagreeing}, median request ${(median / 1000).toFixed(3)} s`);
  console.log(`  password chain ${chain} of ${pwChanges.length} changes, profile edits acknowledged ${editCount} of ${edits.length}, `
    + `posts acknowledged ${RULES.map((r) => `${r} ${[...posts.get(r).values()].filter((e) => e.acked).length}`).join(', ')}`);
  const many = (key) => signedPosts.filter((p) => p[key]).length;
  console.log(`  signed in ${signIns.size} of ${signers.length}, signed-in posts acknowledged ${signedAcked} `
    + `of ${signedPosts.length - many('late')}, retitled ${many('retitled')}, removed ${many('removed')}, `
    + `signed out ${many('late')}, each then tried once more on the other side`);
  const bad = figures.lost + figures.duplicated + figures.torn + figures.errors + figures.disagreeing;
  if (bad > 30) console.log(`  (${bad - 30} more problems not shown)`);
  const pass = bad === 0 && chain > 0 && editCount > 0 && signedAcked > 0;
  console.log(pass ? 'PASS' : 'FAIL');
  return pass;
}

let pass = false;
try {
  pass = await main();
} catch (err) {
  console.log(`FAIL: ${err?.stack ?? err}`);
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(pass ? 0 : 1);
