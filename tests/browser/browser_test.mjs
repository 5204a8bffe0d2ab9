// The program under a real web server (lighttpd) driven by a real browser
// (headless Debian Chromium through playwright-core): what a member does with
// the demo site's pages (site/), and what ends up in the files. It catches what a scripted
// client cannot: how a browser encodes a pre-filled "&nbsp;" (U+00A0, which
// Shift_JIS lacks) when it posts a Shift_JIS form, which charset it decides
// a page is in, and how it names and sends a chosen file.
// It saves the public profile page and the post form as PNGs (shown in
// docs/img/): Japanese must read as Japanese there, not as empty boxes.
// Then it walks every page of site/ as a phone and as a desktop see it, with
// axe-core's WCAG 2 A and AA rules, and saves each view in SCREENSHOT_DIR/walk/.
// Last, twelve full-size phone photos posted and their profile opened as a
// phone opens it: the bytes it costs, and Lighthouse's figures for it in
// SCREENSHOT_DIR/lighthouse.json.
// Usage: node browser_test.mjs EXE [SCREENSHOT_DIR]
import { chromium } from 'playwright-core';
import { execFile, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { promisify } from 'node:util';
import { scratchDir, startSite, stopServer } from '../support/site.mjs';

const STEP_TIMEOUT_MS = 15000;
const CHROMIUM = '/usr/bin/chromium';
// What the first view of a profile of phone photos may cost a phone.
const FIRST_VIEW_BUDGET_BYTES = 1.5e6;
const execFileAsync = promisify(execFile);
const requireHere = createRequire(import.meta.url);

const exe = process.argv[2];
if (!exe) {
  console.error('usage: node browser_test.mjs EXE [SCREENSHOT_DIR]');
  process.exit(2);
}
const exePath = path.resolve(exe);
const screenshotDir = path.resolve(process.argv[3] ?? path.dirname(exePath));
const screenshot = (name) => path.join(screenshotDir, name);
const walkShot = (name) => path.join(screenshotDir, 'walk', name);
fs.mkdirSync(path.dirname(walkShot('x')), { recursive: true });

let passed = 0;
let failed = 0;
function check(name, ok, detail) {
  if (ok) {
    passed += 1;
  } else {
    failed += 1;
    console.log(`FAILED: ${name}${detail === undefined ? '' : `\n  ${detail}`}`);
  }
}
// A check whose own evaluation may throw (a missing element, a timeout)
// counts as failed rather than ending the run.
async function checkAsync(name, fn) {
  try {
    const result = await fn();
    if (result === true) check(name, true);
    else check(name, false, typeof result === 'string' ? result : undefined);
  } catch (err) {
    check(name, false, String(err?.message ?? err).split('\n')[0]);
  }
}

const work = scratchDir('orvalengate-browser-');

// A phone lays a page out at its own width only when the page declares a
// viewport; otherwise at 980 px, scaled down to unreadable text.
const VIEWS = [
  { width: 390, options: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true } },
  { width: 1280, options: { viewport: { width: 1280, height: 800 } } },
];
// WCAG 2.0 and 2.1 A and AA, and two of axe-core's best practices: every
// page says what it is in a heading, and its headings come in order.
const AXE_OPTIONS = {
  runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'] },
  rules: { 'page-has-heading-one': { enabled: true }, 'heading-order': { enabled: true } },
};
const axeSource = fs.readFileSync(requireHere.resolve('axe-core/axe.min.js'), 'utf8');
const axeFigures = [];
// Measured, never asserted: printed at the end.
const figures = [];

// Visible text, in the page and in form controls, set smaller than 14 px.
function smallText() {
  const small = [];
  const note = (el, text) => {
    const size = parseFloat(getComputedStyle(el).fontSize);
    if (size < 14 && el.checkVisibility({ visibilityProperty: true })) {
      small.push(`${el.tagName.toLowerCase()} ${size}px ${JSON.stringify(text.trim().slice(0, 30))}`);
    }
  };
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    if (node.data.trim()) note(node.parentElement, node.data);
  }
  for (const control of document.querySelectorAll('input:not([type=hidden]), select, textarea')) {
    note(control, control.value || control.name);
  }
  return small;
}

// One page of the walk, brought up by OPEN in each view: laid out at the
// view's width with nothing to scroll sideways, no text under 14 px, no
// axe-core violation; saved where SHOT says.
async function walkPage(views, name, open, shot = (width) => walkShot(`${name}-${width}.png`)) {
  for (const { width, page } of views) {
    const where = `${name} at ${width} px`;
    try {
      await open(page);
    } catch (err) {
      check(`${where} opens`, false, String(err?.message ?? err).split('\n')[0]);
      continue;
    }
    const layout = await page.evaluate(() => ({ width: innerWidth, scrollWidth: document.documentElement.scrollWidth }));
    check(`${where}: laid out at ${width} px, nothing to scroll sideways`,
      layout.width === width && layout.scrollWidth <= layout.width, JSON.stringify(layout));
    const small = await page.evaluate(smallText);
    check(`${where}: no text under 14 px`, small.length === 0, small.join('\n  '));
    await page.addScriptTag({ content: axeSource });
    const { violations } = await page.evaluate((options) => window.axe.run(document, options), AXE_OPTIONS);
    const found = violations.map((v) => `${v.id} x${v.nodes.length}`);
    axeFigures.push(`${where}: ${found.length === 0 ? 'none' : found.join(', ')}`);
    check(`${where}: axe-core finds no WCAG 2 A/AA violation`, violations.length === 0, violations.map((v) =>
      `${v.id}: ${v.help}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`).join('\n  '));
    await page.screenshot({ path: shot(width), fullPage: true });
  }
}

// Clicks something that submits a form and waits until the answer is a new,
// fully loaded document. Every answer comes from the same address, so the old
// document is marked and the wait is for a document without the mark.
async function submitWith(page, clickable) {
  await page.evaluate(() => { window.__orvalengateOld = true; });
  await clickable.click();
  await page.waitForFunction(
    () => !window.__orvalengateOld && document.readyState === 'complete',
    undefined, { timeout: STEP_TIMEOUT_MS });
}

function formWith(page, selector) {
  return page.locator('form').filter({ has: page.locator(selector) });
}

// Every request body the program dumped, oldest first.
function dumpsOf(siteDir) {
  const dumps = path.join(siteDir, 'data', 'dump');
  return fs.readdirSync(dumps, { recursive: true }).sort()
    .map((name) => path.join(dumps, name))
    .filter((file) => fs.statSync(file).isFile())
    .map((file) => fs.readFileSync(file, 'latin1'));
}
const readBytes = (file) => (fs.existsSync(file) ? fs.readFileSync(file) : Buffer.alloc(0));
const showBytes = (buf) => JSON.stringify(buf.toString('latin1'));
// The program turns every blank of a value into "&nbsp;", which the browser
// renders as U+00A0; a reader sees blanks.
const plainText = (text) => text.replace(/\u00a0/g, ' ');

// Twelve photos as a phone takes them: 4032x3024, detailed enough to weigh
// 3-4 MB each as a phone's do, lying on their side with the tag that turns
// them upright, and the place they were taken. One picture is made (the
// costly part) and moved about for the others.
async function makePhonePhotos(dir) {
  const started = Date.now();
  const files = Array.from({ length: 12 }, (_, i) => path.join(dir, `phone-${String(i + 1).padStart(2, '0')}.jpg`));
  const args = ['-seed', '28', '-size', '4032x3024', 'plasma:fractal', '-sampling-factor', '4:2:0', '-quality', '95'];
  files.slice(1).forEach((file, i) => args.push('(', '+clone', '-roll', `+${(i + 1) * 336}+${(i + 1) * 252}`,
    '-write', file, '+delete', ')'));
  await execFileAsync('convert', [...args, files[0]]);
  await execFileAsync('exiftool', ['-q', '-overwrite_original', '-Orientation#=6', '-GPSLatitude=35.6586',
    '-GPSLatitudeRef=N', '-GPSLongitude=139.7454', '-GPSLongitudeRef=E', ...files]);
  const mb = files.reduce((sum, file) => sum + fs.statSync(file).size, 0) / 1e6;
  figures.push(`twelve 4032x3024 phone photos, ${mb.toFixed(1)} MB in all, made in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  return files;
}

// Lighthouse, once, as it sees a phone on a slow network by default; its
// figures for the page at URL, or its error.
async function lighthouseFigures(url, reportFile) {
  const started = Date.now();
  await execFileAsync(process.execPath, [requireHere.resolve('lighthouse/cli/index.js'), url, '--quiet',
    '--only-categories=performance,accessibility,best-practices,seo', '--output=json', `--output-path=${reportFile}`,
    '--chrome-flags=--headless=new --no-sandbox'], { env: { ...process.env, CHROME_PATH: CHROMIUM }, timeout: 120000 });
  const report = JSON.parse(fs.readFileSync(reportFile, 'utf8'));
  const score = (id) => report.categories[id]?.score ?? null;
  const audit = (id) => report.audits[id]?.numericValue ?? null;
  return {
    url,
    lighthouse: report.lighthouseVersion,
    formFactor: report.configSettings.formFactor,
    throttling: report.configSettings.throttlingMethod,
    runtimeError: report.runtimeError?.message ?? null,
    runSeconds: (Date.now() - started) / 1000,
    performance: score('performance'),
    accessibility: score('accessibility'),
    bestPractices: score('best-practices'),
    seo: score('seo'),
    lcpMs: audit('largest-contentful-paint'),
    cls: audit('cumulative-layout-shift'),
    tbtMs: audit('total-blocking-time'),
    totalByteWeight: audit('total-byte-weight'),
    // What it would mend first, for whoever reads the figures.
    belowPar: Object.values(report.audits).filter((a) => a.score !== null && a.score < 0.9 &&
      ['binary', 'numeric', 'metricSavings'].includes(a.scoreDisplayMode)).map((a) => `${a.id}: ${a.displayValue ?? a.score}`),
  };
}

async function run(work) {
  // Made while the walk goes on; wanted only at its end.
  const phonePhotos = makePhonePhotos(work);
  phonePhotos.catch(() => {});
  const site = await startSite(exePath, work);
  const base = `http://127.0.0.1:${site.port}`;
  const record = (id) => path.join(site.dir, 'data', 'members', `${id}.txt`);
  let browser;
  let modern;
  try {
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      timeout: 60000,
      // Our own handlers stop the server too; the browser goes when we exit.
      handleSIGINT: false,
      handleSIGTERM: false,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await (await browser.newContext({ viewport: { width: 1000, height: 700 } })).newPage();
    page.setDefaultTimeout(STEP_TIMEOUT_MS);
    page.setDefaultNavigationTimeout(STEP_TIMEOUT_MS);

    const id = 'alice';
    const pw = 'secret1';
    const registered = Buffer.from(
      `id=${id}\r\npw=${pw}\r\nrealname=Alice&nbsp;Liddell\r\ncountry=UK\r\nmail=alice@example.com\r\n`, 'latin1');

    // 1. Registration through the site's page.
    await checkAsync('index page is read as Shift_JIS', async () => {
      await page.goto(`${base}/`);
      const charset = await page.evaluate(() => document.characterSet);
      const heading = await page.locator('h1').innerText();
      return (charset === 'Shift_JIS' && heading.startsWith('ようこそ')) ||
        `charset ${charset}, heading ${JSON.stringify(heading)}`;
    });
    await checkAsync('registration through the form is accepted', async () => {
      await page.goto(`${base}/register.html`);
      const form = formWith(page, 'input[name=command][value=registration]');
      await form.locator('input[name=id]').fill(id);
      await form.locator('input[name=pw]').fill(pw);
      await form.locator('input[name=pw2]').fill(pw);
      await form.locator('input[name=realname]').fill('Alice Liddell');
      await form.locator('input[name=mail]').fill('alice@example.com');
      await form.locator('input[name=country]').fill('UK');
      await submitWith(page, form.locator('[type=submit]'));
      return (await page.title()) === 'Registration acceptance' || `title ${JSON.stringify(await page.title())}`;
    });
    check('record holds the five lines, each ended by CR LF', readBytes(record(id)).equals(registered),
      showBytes(readBytes(record(id))));

    // 2. The Japanese profile form round trip.
    async function openProfileForm(command) {
      await page.goto(`${base}/profile.html`);
      const form = formWith(page, `input[name=command][value=${command}]`);
      await form.locator('input[name=id]').fill(id);
      await form.locator('input[name=pw]').fill(pw);
      await submitWith(page, form.locator('[type=submit]'));
    }
    const profileForm = () => formWith(page, 'input[name=command][value=changeprof2]');

    await checkAsync('Japanese profile form is pre-filled from the record', async () => {
      await openProfileForm('changeprof1');
      const value = await profileForm().locator('input[name=realname]').inputValue();
      return value === 'Alice\u00a0Liddell' || `realname input holds ${JSON.stringify(value)}`;
    });
    await checkAsync('unchanged profile form submits to the profile page', async () => {
      await submitWith(page, profileForm().locator('input[type=submit]'));
      return (await page.title()) === 'Profile <#filename>' || `title ${JSON.stringify(await page.title())}`;
    });
    check('unchanged save leaves the record as it was (no "&amp;#160;")', readBytes(record(id)).equals(registered),
      showBytes(readBytes(record(id))));
    // Without this the check above would pass for a browser that never sent
    // the reference, and the mend would go untested.
    check('browser posted the pre-filled U+00A0 as "&#160;"', dumpsOf(site.dir).some((body) =>
      body.includes('changeprof2') && body.includes('Alice&#160;Liddell')), 'no dumped body holds it');

    const comment = 'I like <b>bold</b> tea & cake';
    const escapedComment = 'I&nbsp;like&nbsp;&lt;b&gt;bold&lt;/b&gt;&nbsp;tea&nbsp;&amp;&nbsp;cake';
    await checkAsync('profile page shows the saved comment literally', async () => {
      await openProfileForm('changeprof1');
      await profileForm().locator('input[name=comment]').fill(comment);
      await submitWith(page, profileForm().locator('input[type=submit]'));
      const text = plainText(await page.locator('body').innerText());
      if (!text.includes(comment)) return `page text ${JSON.stringify(text)}`;
      const bold = await page.locator('b', { hasText: 'bold' }).count();
      return bold === 0 || 'the comment was rendered as markup';
    });
    check('record holds the escaped comment', readBytes(record(id)).equals(
      Buffer.concat([registered, Buffer.from(`comment=${escapedComment}\r\n`, 'latin1')])),
    showBytes(readBytes(record(id))));

    // 3. The English form keeps the Japanese page's language and charset.
    await checkAsync('English form opens', async () => {
      await openProfileForm('changeprof1e');
      const heading = await page.locator('h4').innerText();
      return heading === 'Your Profile' || `heading ${JSON.stringify(heading)}`;
    });
    await checkAsync('English form declares lang ja', async () => {
      const lang = await page.evaluate(() => document.documentElement.lang);
      return lang === 'ja' || `lang ${JSON.stringify(lang)}`;
    });
    await checkAsync('browser reads the English form as Shift_JIS', async () => {
      const charset = await page.evaluate(() => document.characterSet);
      return charset === 'Shift_JIS' || `document.characterSet ${JSON.stringify(charset)}`;
    });
    await checkAsync('English form pre-fills the saved comment', async () => {
      const value = plainText(await profileForm().locator('input[name=comment]').inputValue());
      return value === comment || `comment input holds ${JSON.stringify(value)}`;
    });
    // Characters Shift_JIS lacks reach the program as "&#N;"; they must come
    // back as themselves, not as the reference's text.
    const worldComment = '紅茶とケーキ 😀 ő';
    await checkAsync('English form saves a comment with characters Shift_JIS lacks', async () => {
      await profileForm().locator('input[name=comment]').fill(worldComment);
      await submitWith(page, profileForm().locator('input[type=submit]'));
      return (await page.title()) === 'Profile <#filename>' || `title ${JSON.stringify(await page.title())}`;
    });

    // 4. A JPEG chosen in the file input.
    const jpeg = path.join(work, 'cat.jpg');
    const jpegBytes = Buffer.concat([
      Buffer.from([0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10]), Buffer.from('JFIF\0', 'latin1'),
      Buffer.from([0x0d, 0x0a, 0x2d, 0x2d, 0x00, 0x80, 0xfe, 0x0d]), Buffer.from('browser-bytes', 'latin1'),
      Buffer.from([0xff, 0xd9])]);
    fs.writeFileSync(jpeg, jpegBytes);
    const stored = path.join(site.dir, 'data', 'upload', 'img0001.jpg');
    const post = (file, title, shot) => checkAsync(`posted ${path.basename(file)} is accepted`, async () => {
      await page.goto(`${base}/post.html`);
      const form = formWith(page, 'input[name=command][value=postleaf]');
      await form.locator('input[name=id]').fill(id);
      await form.locator('input[name=pw]').fill(pw);
      await form.locator('input[name=leaf]').setInputFiles(file);
      await form.locator('input[name=blank-title]').fill(title);
      if (shot) await page.screenshot({ path: screenshot(shot), fullPage: true });
      await submitWith(page, form.locator('[type=submit]'));
      return (await page.title()) === 'File acceptance' || `title ${JSON.stringify(await page.title())}`;
    });
    await post(jpeg, '猫 Cat', 'post-form.png');
    check('stored image is byte-identical to the chosen file', readBytes(stored).equals(jpegBytes),
      `${readBytes(stored).length} bytes stored, ${jpegBytes.length} posted`);

    // A phone photo with its location, turned by its orientation tag, where
    // the demo's StripLocation is set: stored without any GPS tag, shown
    // upright (64x48 turned to 48x64). The profile lists no posts, so the
    // stored image is opened by its address.
    fs.appendFileSync(path.join(site.dir, 'data', 'sessions', 'demo.txt'), 'StripLocation=1\r\n');
    const photo = path.join(work, 'phone.jpg');
    execFileSync('convert', ['-size', '64x48', 'gradient:navy-orange', photo]);
    execFileSync('exiftool', ['-q', '-overwrite_original', '-Orientation#=6', '-GPSLatitude=35.6586',
      '-GPSLatitudeRef=N', '-GPSLongitude=139.7454', '-GPSLongitudeRef=E', photo]);
    await post(photo, 'Home');
    const storedPhoto = path.join(site.dir, 'data', 'upload', 'img0002.jpg');
    const tags = fs.existsSync(storedPhoto) ? execFileSync('exiftool', ['-a', '-G1', '-s', storedPhoto], { encoding: 'latin1' }) : '';
    check('stored photo keeps its orientation and no GPS tag', /Orientation/.test(tags) && !/GPS/i.test(tags), tags);
    await checkAsync('stored photo is shown upright', async () => {
      await page.goto(`${base}/upload/img0002.jpg`);
      const size = await page.locator('img').evaluate((img) => `${img.naturalWidth}x${img.naturalHeight}`);
      return size === '48x64' || `shown ${size}`;
    });

    // 5. The public profile page as a reader sees it, opened from the index.
    await checkAsync('public profile page shows the table rows', async () => {
      await page.goto(`${base}/`);
      const form = formWith(page, 'input[name=showuser]');
      await form.locator('input[name=showuser]').fill(id);
      await submitWith(page, form.locator('[type=submit]'));
      await page.locator('table').screenshot({ path: screenshot('profile.png') });
      const rows = await page.locator('tr').evaluateAll((trs) => trs.map((tr) =>
        Array.from(tr.cells, (td) => td.innerText.replace(/\u00a0/g, ' ').trim())));
      const row = (label) => rows.find((cells) => cells[0] === label)?.[1];
      if (rows.length !== 7) return `${rows.length} rows: ${JSON.stringify(rows)}`;
      if (row('id') !== id) return `id row ${JSON.stringify(row('id'))}`;
      if (row('name') !== 'Alice Liddell') return `name row ${JSON.stringify(row('name'))}`;
      if (row('country') !== 'UK') return `country row ${JSON.stringify(row('country'))}`;
      if (row('profile') !== worldComment) return `profile row ${JSON.stringify(row('profile'))}`;
      const text = await page.locator('body').innerText();
      return !text.includes(pw) || 'the password is shown';
    });
    for (const name of ['post-form.png', 'profile.png']) {
      check(`screenshot ${name} written`, fs.existsSync(screenshot(name)) && fs.statSync(screenshot(name)).size > 0, screenshot(name));
    }

    // 6. The walk.
    const views = await Promise.all(VIEWS.map(async ({ width, options }) => {
      const view = await (await browser.newContext(options)).newPage();
      view.setDefaultTimeout(STEP_TIMEOUT_MS);
      return { width, page: view };
    }));
    for (const file of fs.readdirSync(path.join(site.dir, 'htdocs')).filter((name) => name.endsWith('.html')).sort()) {
      await walkPage(views, `site-${path.basename(file, '.html')}`, (view) => view.goto(`${base}/${file}`));
    }

    // 7. The modern page set on a demo site of its own, where members sign
    // in as on the demo (the ID-and-password forms of site/ work there too):
    // the profile form, a photo posted, the profile showing it, an error; as
    // a phone shows them, they are the documented screenshots modern-*.png.
    modern = await startSite(exePath, path.join(work, 'modern'),
      { PAGES: 'modern', SIGNIN: '1', STRIP_LOCATION: '1', KEEP_MAIL: '1', HASH_PASSWORDS: '1' });
    const modernBase = `http://127.0.0.1:${modern.port}`;
    const member = { id: 'hanako', pw: 'hanako123' };
    const shot = (name) => (width) => (width === 390 ? screenshot(`modern-${name}.png`) : walkShot(`modern-${name}-${width}.png`));
    // A site/ form sent as the member; "leaf" names the file to choose.
    const submitSitePage = (file, command, fields = {}) => async (view) => {
      await view.goto(`${modernBase}/${file}`);
      const form = formWith(view, `input[name=command][value=${command}]`);
      for (const [name, value] of Object.entries({ id: member.id, pw: member.pw, ...fields })) {
        const input = form.locator(`input[name=${name}]`);
        await (name === 'leaf' ? input.setInputFiles(value) : input.fill(value));
      }
      await submitWith(view, form.locator('[type=submit]'));
    };
    await checkAsync('registration in the modern set is accepted', async () => {
      await submitSitePage('register.html', 'registration',
        { pw2: member.pw, realname: '山田 花子', mail: 'hanako@example.com', country: '日本' })(page);
      return fs.existsSync(path.join(modern.dir, 'data', 'members', `${member.id}.txt`)) ||
        `no record; page title ${JSON.stringify(await page.title())}`;
    });
    await walkPage(views, 'modern-form', submitSitePage('profile.html', 'changeprof1'), shot('form'));
    const sunrise = path.join(work, 'sunrise.jpg');
    // Taken by a phone held upright: the sensor's picture lies on its side,
    // with the tag that turns it, and the place it was taken.
    execFileSync('convert', ['-size', '480x640', 'gradient:#4a86c8-#f3dfae', '-rotate', '-90', sunrise]);
    execFileSync('exiftool', ['-q', '-overwrite_original', '-Orientation#=6', '-GPSLatitude=35.6586',
      '-GPSLatitudeRef=N', '-GPSLongitude=139.7454', '-GPSLongitudeRef=E', sunrise]);
    await walkPage(views, 'modern-success', submitSitePage('post.html', 'postleaf', { leaf: sunrise, 'blank-title': '日の出 Sunrise' }), shot('success'));
    const profileUrl = `${modernBase}/cgi/orvalengate.exe?session=demo&showuser=${member.id}`;
    await walkPage(views, 'modern-profile', (view) => view.goto(profileUrl), shot('profile'));
    for (const { width, page: view } of views) {
      await checkAsync(`profile at ${width} px shows the posted photo`, async () => {
        const img = view.locator('main img').first();
        await img.scrollIntoViewIfNeeded();
        await view.waitForFunction((el) => el.complete, await img.elementHandle());
        // Whichever size the view picked (its natural size is then the one
        // it is laid out at, rounded), the 480x640 photo stands upright.
        const [w, h] = await img.evaluate((el) => [el.naturalWidth, el.naturalHeight]);
        return (w > 0 && Math.abs(w * 4 - h * 3) <= 4) || `the newest post's image is ${w}x${h}, not upright`;
      });
    }
    const uploads = path.join(modern.dir, 'data', 'upload');
    const posted = fs.readdirSync(uploads).filter((name) => name.endsWith('.jpg')).map((name) => path.join(uploads, name));
    const postedTags = posted.map((file) => execFileSync('exiftool', ['-a', '-G1', '-s', file], { encoding: 'latin1' })).join('');
    check('the modern site stored the photos without their location', posted.length > 0 && !/GPS/i.test(postedTags) &&
      /Orientation/.test(postedTags), `${posted.length} photos: ${postedTags}`);
    await walkPage(views, 'modern-error', (view) => view.goto(`${modernBase}/cgi/orvalengate.exe?session=demo&showuser=nobody`), shot('error'));
    // A signed-in member's day on the phone: from the home page on, every
    // page reached by a click on the page before, walked as above, and
    // offering the way on (NEXT); FILL is what the member types on the way.
    // Saved as walk/modern-signin-NN-*.png.
    {
      const p = await (await browser.newContext(VIEWS[0].options)).newPage();
      p.setDefaultTimeout(STEP_TIMEOUT_MS);
      const link = (name) => p.getByRole('link', { name }).first();
      const button = (name, within = p) => within.getByRole('button', { name }).first();
      // The profile form offers the password only for a new mail address.
      const noPassword = ['asks for no password', async () => (await p.locator('input[type=password][required]').count()) === 0 || 'a password required'];
      let way = null;
      let n = 0;
      const step = async (name, { fill, next, want } = {}) => {
        const taken = way;
        n += 1;
        await walkPage([{ width: 390, page: p }], `modern-signin-${name}`, async () => {
          if (!taken) return p.goto(`${modernBase}/`);
          if (fill) await fill();
          await submitWith(p, taken);
        }, () => walkShot(`modern-signin-${String(n).padStart(2, '0')}-${name}.png`));
        if (want) await checkAsync(`signed-in day, ${name}: ${want[0]}`, want[1]);
        way = next;
        if (next) await checkAsync(`signed-in day, ${name}: offers the way on`, async () => (await next.isVisible()) || `no ${next}`);
      };
      const [title, note, about] = ['夕焼け Sunset', '屋上から From the roof', 'ログインしたまま Signed in'];
      let photo = '-';
      let csrf = '';
      const ours = () => p.locator('main .posts li').filter({ has: p.locator(`a[href$="photo=${photo}"]`) });
      const leftOf = () => fs.readdirSync(uploads, { recursive: true }).filter((name) => path.basename(name).startsWith(path.parse(photo).name));
      await step('home', { next: link('ログイン') });
      await step('form', { next: button('ログインする') });
      await step('in', { fill: async () => { await p.fill('#id', member.id); await p.fill('#pw', member.pw); },
        next: link('写真を投稿する'), want: ['signed in', async () => (await p.title()).includes('You are signed in') || await p.title()] });
      await step('post', { next: button('投稿する'), want: ['asks for no password', async () => {
        csrf = await p.locator('input[name=csrf]').inputValue();
        return noPassword[1]();
      }] });
      await step('posted', { fill: async () => { await p.setInputFiles('#leaf', sunrise); await p.fill('#title', '朝 Morning'); },
        next: link('投稿した写真を見る'), want: ['the photo is stored', async () => {
          photo = new URL(await link('投稿した写真を見る').getAttribute('href'), modernBase).searchParams.get('photo');
          return fs.existsSync(path.join(uploads, photo)) || `no ${photo}`;
        }] });
      await step('photo', { next: p.locator('#retitle button') });
      await step('retitled', { fill: async () => {
        await p.locator('#retitle input[name=title]').fill(title);
        await p.locator('#retitle input[name=note]').fill(note);
      }, next: link('プロフィールを見る') });
      await step('profile', { next: button('削除', ours()), want: ['the new title, the note under the photo, a way to change them', async () => {
        const shown = await ours().evaluate((li) => ({ text: li.innerText, note: li.querySelector('p.note')?.innerText,
          under: li.querySelector('p.note')?.getBoundingClientRect().top >= li.querySelector('img')?.getBoundingClientRect().bottom,
          retitle: [...li.querySelectorAll('a')].some((a) => a.href.endsWith('#retitle') && a.innerText.startsWith('題名とメモを変更する')) }));
        return (plainText(shown.text).includes(title) && plainText(shown.note ?? '') === note && shown.under && shown.retitle) || JSON.stringify(shown);
      }] });
      await step('removed', { next: link('プロフィールを見る'), want: ['the photo, its copies and record are gone from data/upload',
        async () => leftOf().length === 0 || leftOf().join(' ')] });
      await step('profile-less', { next: link('プロフィールを変更する'), want: ['lists the older post, not the removed one', async () => {
        const hrefs = await p.locator('main .posts a').evaluateAll((as) => as.map((a) => a.getAttribute('href')));
        return (hrefs.length > 0 && !hrefs.some((href) => href.includes(`photo=${photo}`))) || JSON.stringify(hrefs);
      }] });
      await step('edit', { next: button('保存'), want: noPassword });
      await step('saved', { fill: () => p.fill('#comment', about), next: link('プロフィールを見る') });
      await step('profile-edited', { next: link('ログアウト'), want: ['shows the change', async () =>
        plainText(await p.locator('main dl').innerText()).includes(about) || await p.locator('main dl').innerText()] });
      // The post form's fields, its form token among them, sent with COOKIE
      // from outside the browser: first with the live sign-in, as a control.
      const oldCookie = (await p.context().cookies()).map((c) => `${c.name}=${c.value}`).join('; ');
      const resend = async (cookie) => {
        const body = new FormData();
        for (const [name, value] of Object.entries({ session: 'demo', command: 'postleaf', csrf, 'blank-title': 'late' })) body.append(name, value);
        body.append('leaf', new Blob([fs.readFileSync(sunrise)], { type: 'image/jpeg' }), 'sunrise.jpg');
        const res = await fetch(`${modernBase}/cgi/orvalengate.exe?session=demo`, { method: 'POST', body, headers: { cookie } });
        return `${res.status} ${new TextDecoder('shift_jis').decode(await res.arrayBuffer()).match(/<title>([^<]*)/)?.[1]}`;
      };
      await checkAsync('signed-in day: the post form sent again with the cookie posts', async () => {
        const answer = await resend(oldCookie);
        return answer.startsWith('200 写真を投稿しました') || answer;
      });
      await step('signout', { next: button('ログアウト') });
      await step('out', { next: link('ホーム'), want: ['the cookie is cleared', async () =>
        (await p.context().cookies()).length === 0 || JSON.stringify(await p.context().cookies())] });
      await step('home-again', { next: button('表示') });
      await step('profile-out', { fill: () => p.fill('input[name=showuser]', member.id), next: link('ログイン'),
        want: ['offers no sign-out and no remove button', async () =>
          (await p.getByRole('link', { name: 'ログアウト' }).count()) + (await p.getByRole('button', { name: '削除' }).count()) === 0 ||
          'signed-in controls shown'] });
      await checkAsync('signed-in day: the post form sent with the signed-out cookie posts nothing', async () => {
        const before = fs.readdirSync(uploads).length;
        const answer = await resend(oldCookie);
        return (!answer.includes('写真を投稿しました') && fs.readdirSync(uploads).length === before) || answer;
      });
      await p.context().close();
    }
    // 8. A forgotten password, as in the demo: the mail kept in the site's
    // mail folder (data/mail, the folder the demo's banner names), its link
    // read from the plain-text copy and opened, the new password set as a
    // phone does. (tests/mail walks the same through a real mail server.)
    {
      const post = (fields) => fetch(`${modernBase}/cgi/orvalengate.exe`, { method: 'POST', body: new URLSearchParams({ session: 'demo', ...fields }) });
      await post({ command: 'registration', id: 'forgetful', pw: 'forget12', pw2: 'forget12', realname: 'F', mail: 'forgetful@example.com' });
      await post({ command: 'forgotpw', id: 'forgetful', lang: 'en' });
      // The answer comes at once; a process of its own hands the mail over.
      const mailDir = path.join(modern.dir, 'data', 'mail');
      let link;
      for (let i = 0; i < 100 && link === undefined; i += 1) {
        for (const name of fs.readdirSync(mailDir).filter((n) => n.endsWith('.txt'))) {
          const text = fs.readFileSync(path.join(mailDir, name), 'utf8');
          if (text.includes('To: forgetful@example.com')) link = text.match(/http\S*resetid=forgetful&token=[0-9a-f]{40}\S*/)?.[0];
        }
        if (link === undefined) await new Promise((resolve) => setTimeout(resolve, 100));
      }
      check('the reset mail, kept in the mail folder as .eml and as text, holds a link', link !== undefined &&
        fs.readdirSync(mailDir).some((n) => n.endsWith('.eml')), fs.readdirSync(mailDir).join(' '));
      await walkPage(views, 'modern-reset', (view) => view.goto(link), shot('reset'));
      await walkPage([views[0]], 'modern-reset-done', async (view) => {
        for (const name of ['pw1', 'pw2']) await view.locator(`input[name=${name}]`).fill('remember1');
        await submitWith(view, view.locator('form [type=submit]'));
      }, shot('reset-done'));
      check('the reset gives the success page', (await views[0].page.title()).includes('Your password is changed'), await views[0].page.title());
    }
    // 9. A day's phone photos, twelve at 12 megapixels, posted from the
    // phone, and the member's profile as a phone gets it: each photo in a
    // copy sized for the screen, leading to its own page and the original
    // from there, and a first view that a slow network carries.
    {
      const taro = { id: 'taro', pw: 'taro1234' };
      await fetch(`${modernBase}/cgi/orvalengate.exe`, { method: 'POST', body: new URLSearchParams({ session: 'demo',
        command: 'registration', id: taro.id, pw: taro.pw, pw2: taro.pw, realname: 'Taro', mail: 'taro@example.com' }) });
      await checkAsync('twelve 12-megapixel phone photos are posted through the form', async () => {
        const files = await phonePhotos;
        const started = Date.now();
        let accepted = 0;
        for (const [i, file] of files.entries()) {
          await submitSitePage('post.html', 'postleaf', { id: taro.id, pw: taro.pw, leaf: file, 'blank-title': `Photo ${i + 1}` })(views[0].page);
          if ((await views[0].page.title()).includes('Your photo is posted')) accepted += 1;
        }
        figures.push(`twelve photos posted through the form in ${((Date.now() - started) / 1000).toFixed(1)} s`);
        return accepted === files.length || `${accepted} of ${files.length} accepted`;
      });
      const profile = `${modernBase}/cgi/orvalengate.exe?session=demo&showuser=${taro.id}`;

      // The first view: a phone with nothing cached, before any scrolling;
      // every response's bytes as they came over the wire.
      let firstBytes = null;
      await checkAsync(`first view of the profile at 390 px weighs at most ${FIRST_VIEW_BUDGET_BYTES} bytes`, async () => {
        const context = await browser.newContext(VIEWS[0].options);
        try {
          const page = await context.newPage();
          const cdp = await context.newCDPSession(page);
          const urls = new Map();
          let bytes = 0;
          cdp.on('Network.responseReceived', (e) => urls.set(e.requestId, new URL(e.response.url).pathname));
          cdp.on('Network.loadingFinished', (e) => { bytes += e.encodedDataLength; });
          await cdp.send('Network.enable');
          await page.goto(profile, { waitUntil: 'networkidle', timeout: STEP_TIMEOUT_MS });
          firstBytes = bytes;
          figures.push(`first view of the twelve photos' profile at 390 px: ${bytes} bytes in ${urls.size} responses`);
          return bytes <= FIRST_VIEW_BUDGET_BYTES || `${bytes} bytes: ${[...urls.values()].join(' ')}`;
        } finally {
          await context.close();
        }
      });

      // Every picture scrolled to and loaded, so each view's choice shows.
      // A page of photos is saved as a photo: a JPEG.
      const photos = (view) => view.locator('main .posts img');
      await walkPage(views, 'modern-photos', async (view) => {
        await view.goto(profile);
        for (let i = 0; i < await photos(view).count(); i += 1) {
          const img = photos(view).nth(i);
          await img.scrollIntoViewIfNeeded();
          await view.waitForFunction((el) => el.complete && el.naturalWidth > 0, await img.elementHandle());
        }
      }, (width) => walkShot(`modern-photos-${width}.jpg`));
      const listed = await photos(views[0].page).evaluateAll((imgs) => imgs.map((img) => ({
        href: img.closest('a')?.getAttribute('href') ?? '', width: img.getAttribute('width'), height: img.getAttribute('height'),
        natural: [img.naturalWidth, img.naturalHeight], loading: img.getAttribute('loading') })));
      // The photo's own page a post's link leads to (where members sign in),
      // and the name its copies share.
      const stem = (href) => href.match(/^\/cgi\/orvalengate\.exe\?session=demo&photo=([^/&]+)\.jpg$/)?.[1];
      check('the profile lists the twelve photos, each inside a link to its own page',
        listed.length === 12 && listed.every((img) => stem(img.href)), JSON.stringify(listed.map((img) => img.href)));
      // A phone of 390 px at one device pixel a CSS pixel wants the 480-px
      // copy; the desktop's wider column (592 px) a larger one: the 880-px
      // copy of a photo taken upright is 660 wide.
      for (const [i, { width, page: view }] of views.entries()) {
        const copy = ['480', '880'][i];
        await checkAsync(`at ${width} px each photo is loaded from its own ${copy}-px copy`, async () => {
          const shown = await photos(view).evaluateAll((imgs) => imgs.map((img) =>
            [img.closest('a')?.getAttribute('href') ?? '', img.currentSrc]));
          const wrong = shown.filter(([href, src]) => !stem(href) ||
            (src && new URL(src).pathname) !== `/upload/sized/${stem(href)}-${copy}.jpg`);
          return (shown.length === 12 && wrong.length === 0) || `${shown.length} photos; loaded: ${JSON.stringify(wrong)}`;
        });
      }
      // Width and height keep the page from jumping as pictures arrive, so
      // they must give the upright shape; the first picture is the one in view
      // at once, never left to load late.
      const badBox = listed.filter(({ width, height, natural: [w, h] }) => !(Number(width) > 0 && Number(height) > 0 &&
        Math.abs(Number(width) / Number(height) - w / h) < 0.01));
      check('every photo has width and height of its upright shape', listed.length > 0 && badBox.length === 0, JSON.stringify(badBox));
      check('the first photo loads at once, the others when scrolled near', listed.length > 1 &&
        listed[0].loading !== 'lazy' && listed.slice(1).every((img) => img.loading === 'lazy'),
      JSON.stringify(listed.map((img) => img.loading)));
      await checkAsync('each photo\'s page links to the original, which answers 200 as image/jpeg', async () => {
        const answers = await Promise.all(listed.map(async ({ href }) => {
          const original = `/upload/${stem(href)}.jpg`;
          if (!(await (await fetch(new URL(href, modernBase))).text()).includes(`<a href="${original}">`)) return `${href}: no link to ${original}`;
          const res = await fetch(new URL(original, modernBase), { method: 'HEAD' });
          return `${original} ${res.status} ${res.headers.get('content-type')}`;
        }));
        const wrong = answers.filter((answer) => !answer.endsWith(' 200 image/jpeg'));
        return (answers.length > 0 && wrong.length === 0) || wrong.join('\n  ');
      });

      // The copies as stored: nothing of the phone's tags (the place, the
      // camera, a colour profile), the pixels turned upright, long side at most
      // the copy's size.
      const sized = path.join(modern.dir, 'data', 'upload', 'sized');
      const copies = listed.filter((img) => stem(img.href)).flatMap(({ href }) =>
        ['480', '880', '1080'].map((size) => ({ size: Number(size), file: path.join(sized, `${stem(href)}-${size}.jpg`) })));
      const present = copies.filter(({ file }) => fs.existsSync(file));
      check('every listed photo has its three sized copies stored', copies.length === 36 && present.length === copies.length,
        `${present.length} of ${copies.length} in ${sized}`);
      const tagsOf = present.map(({ size, file }) => ({ size, file,
        tags: execFileSync('exiftool', ['-a', '-G1', '-s', file], { encoding: 'latin1' }) }));
      const withTags = tagsOf.map(({ file, tags }) => [path.basename(file), [...new Set(tags.match(/^\[[^\]]+\]/gm))]
        .filter((group) => !['[ExifTool]', '[System]', '[File]', '[JFIF]', '[Composite]'].includes(group))])
        .filter(([, groups]) => groups.length > 0);
      check('the sized copies carry no metadata: no Exif, GPS, XMP or ICC', present.length > 0 && withTags.length === 0,
        JSON.stringify(withTags));
      const pixels = (tags, tag) => Number(tags.match(new RegExp(`^\\[File\\]\\s+${tag}\\s+: (\\d+)`, 'm'))?.[1]);
      const notUpright = tagsOf.map(({ size, file, tags }) => ({ size, file, w: pixels(tags, 'ImageWidth'), h: pixels(tags, 'ImageHeight') }))
        .filter(({ size, w, h }) => !(w < h && h <= size && Math.abs(w * 4 - h * 3) <= 4));
      check('the sized copies stand upright, 3:4, the long side within their size', present.length > 0 && notUpright.length === 0,
        notUpright.map(({ file, w, h }) => `${path.basename(file)} ${w}x${h}`).join(', '));

      // Lighthouse's own view of the page, for the record.
      await checkAsync('Lighthouse reports on the profile of twelve photos', async () => {
        const lh = await lighthouseFigures(profile, path.join(work, 'lighthouse-report.json'));
        fs.writeFileSync(screenshot('lighthouse.json'), `${JSON.stringify({ ...lh, firstViewBytes390: firstBytes }, null, 2)}\n`);
        figures.push(`Lighthouse ${lh.lighthouse} (${lh.formFactor}, ${lh.throttling}) on that profile in ${lh.runSeconds.toFixed(0)} s: ` +
          `performance ${lh.performance}, LCP ${Math.round(lh.lcpMs)} ms, CLS ${lh.cls?.toFixed(3)}, TBT ${Math.round(lh.tbtMs)} ms, ` +
          `${lh.totalByteWeight} bytes; accessibility ${lh.accessibility}, best practices ${lh.bestPractices}, SEO ${lh.seo}`);
        return (lh.runtimeError === null && lh.performance !== null) || `Lighthouse: ${lh.runtimeError}`;
      });
    }
  } finally {
    if (browser) await browser.close().catch(() => {});
    await stopServer(site.server);
    await stopServer(modern?.server);
  }
}

let exitCode = 1;
try {
  if (!fs.existsSync(CHROMIUM)) throw new Error(`${CHROMIUM} is missing (scripts/install-deps.sh installs it)`);
  await run(work);
  exitCode = failed === 0 && passed > 0 ? 0 : 1;
} catch (err) {
  failed += 1;
  console.log(`FAILED: ${String(err?.stack ?? err)}`);
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(`axe-core violations, rule x elements (${JSON.stringify(AXE_OPTIONS)}):\n  ${axeFigures.join('\n  ')}`);
if (figures.length > 0) console.log(`Measured:\n  ${figures.join('\n  ')}`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(exitCode);
