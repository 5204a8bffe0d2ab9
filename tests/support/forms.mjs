// Request bodies and the program's answers, shared by the tests that drive
// the program with many requests at once (tests/load, tests/shared-storage).
import crypto from 'node:crypto';

export const latin1 = (text) => Buffer.from(text, 'latin1');

// Deterministic per client, so a failing run can be repeated with its seed.
export function prng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

export const URL_ENCODED = 'application/x-www-form-urlencoded';
export function urlEncoded(fields) {
  return latin1(Object.entries(fields).map(([k, v]) => `${k}=${encodeURIComponent(v)}`).join('&'));
}
export const registrationFields = (session, id, pw, realname) => (
  { session, command: 'registration', id, pw, pw2: pw, realname, mail: `${id}@example.com`, country: 'JP' });
export function multipart(fields, file) {
  let boundary;
  do boundary = `----load${crypto.randomBytes(12).toString('hex')}`;
  while (file && file.data.includes(latin1(boundary)));
  const parts = [];
  for (const [k, v] of Object.entries(fields)) {
    parts.push(latin1(`--${boundary}\r\nContent-Disposition: form-data; name="${k}"\r\n\r\n${v}\r\n`));
  }
  if (file) {
    parts.push(latin1(`--${boundary}\r\nContent-Disposition: form-data; name="${file.field}"; filename="${file.name}"\r\n`
      + 'Content-Type: image/jpeg\r\n\r\n'), file.data, latin1('\r\n'));
  }
  parts.push(latin1(`--${boundary}--\r\n`));
  return { body: Buffer.concat(parts), type: `multipart/form-data; boundary=${boundary}` };
}

export function jpegFor(rand, tag) {
  // Bytes a naive parser would trip on: CR LF, "--", NUL, high bytes.
  const noise = Buffer.alloc(200 + Math.floor(rand() * 3000));
  for (let i = 0; i < noise.length; i += 1) noise[i] = Math.floor(rand() * 256);
  return Buffer.concat([Buffer.from([0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10]), latin1('JFIF\0'),
    latin1(`\r\n--${tag}\r\n`), noise, Buffer.from([0xff, 0xd9])]);
}

// The pages as the program writes them; "&nbsp;" is how it stores a blank.
export const ACCEPTED = '<title>Registration acceptance</title>';
export const FILE_ACCEPTED = '<title>File acceptance</title>';
export const PROFILE_TAIL = '</table></body></html>';
export const ALREADY_REGISTERED = 'ERROR: The same ID is already registered.';
export const NOT_CHANGED = 'ERROR: password was not changed.';
export const PROFILE_NOT_CHANGED = 'ERROR: profile was not changed.';
export const nbsp = (text) => text.replace(/ /g, '&nbsp;');
export const cell = (value) => `<font size="2">\r\n${value}</font>`;

// A record file's lines as name -> value, the names met twice, and whether
// the last line is ended.
export function recordValues(text) {
  const lines = text.split('\r\n');
  const values = new Map();
  const repeated = [];
  for (const line of lines.slice(0, -1)) {
    const eq = line.indexOf('=');
    const key = eq < 0 ? line : line.slice(0, eq);
    if (values.has(key)) repeated.push(key);
    values.set(key, eq < 0 ? '' : line.slice(eq + 1));
  }
  return { values, repeated, ended: lines[lines.length - 1] === '' };
}
