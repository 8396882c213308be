// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's page in a real headless browser: the reader's state, a card the
// virtual reader presents, the read button, a photo from a decoder, and the
// token prompt. Screenshots go to --out.
//
//   node browser_test.mjs --launcher L --vessikd V --decoder FAKE.so --cards DIR --out DIR
//                         [--chromium C]
import { join } from 'node:path';
import { check, fixtureOptions, launchChromium, runScenarios, serviceFixture,
  startOtherOrigin } from './service_fixture.mjs';

const SAMPLE_NAME = '测试样卡';
const SAMPLE_ID = '990000199003070013';
const TOKEN = 'browser-test-token-0123456789';
const CARD_LIMIT_MS = 15000;

const opts = fixtureOptions();

const { startService, stopService } = serviceFixture(opts);

// A page that fails the run on any script error, console error or refused
// request (a CSP violation shows as one).
async function openPage(browser, url) {
  const page = await browser.newPage({ viewport: { width: 1100, height: 820 } });
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error') problems.push('console: ' + m.text());
  });
  await page.goto(url);
  return { page, problems };
}

async function text(page, selector) {
  return (await page.locator(selector).first().textContent()).trim();
}

async function waitForText(page, selector, expected) {
  await page.locator(selector).filter({ hasText: expected }).first()
      .waitFor({ timeout: CARD_LIMIT_MS });
}

// A card laid on the reader shows by itself; the button reads it again.
async function cardLaidDown(browser) {
  // Cards come a while after the start: one already lying there when the
  // page's stream opens is not news to it.
  const service = await startService(['--no-card', '--card-after', '3']);
  try {
    const { page, problems } = await openPage(browser, service.url);
    await waitForText(page, '#reader-state', 'present');
    await waitForText(page, '#stream-state', 'live');
    check((await text(page, '#decoder-state')).includes('stand-in'), 'decoder badge');

    const card = page.locator('article.card').first();
    await card.waitFor({ timeout: CARD_LIMIT_MS });
    const shown = await card.textContent();
    for (const expected of [SAMPLE_NAME, SAMPLE_ID, '汉 (01)', '1990-03-07', 'male',
                            '2020-01-01 – 2040-01-01', 'check character correct',
                            'Resident identity card']) {
      check(shown.includes(expected), `card shows "${expected}": ${shown}`);
    }
    check(await card.getAttribute('data-id-number') === SAMPLE_ID, 'data-id-number');
    check((await text(page, 'article.card .photo')) === 'No photo decoder installed',
          'no-decoder placeholder');

    await page.click('#read-button');
    await page.locator('article.card').nth(1).waitFor({ timeout: CARD_LIMIT_MS });
    check((await text(page, '#message')) === '', 'no error after reading');
    check(await page.locator('article.card').count() === 2, 'one card per read');

    await page.screenshot({ path: join(opts.out, 'vessikd-page.png'), fullPage: true });
    check(problems.length === 0, problems.join('\n'));
  } finally {
    const code = await stopService(service);
    check(code === 0, `vessikd exit status ${code}`);
  }
}

// A card lifted off the reader is marked so, and the badge says it.
async function cardLifted(browser) {
  const service = await startService(['--no-card', '--card-after', '3', '--remove-after', '6']);
  try {
    const { page, problems } = await openPage(browser, service.url);
    await waitForText(page, '#card-state', 'on the reader');
    check(!(await page.locator('article.card').first().getAttribute('class')).includes('lifted'),
          'a card lying on the reader is not marked lifted');
    await waitForText(page, '#card-state', 'lifted');
    await page.locator('article.card.lifted').first().waitFor({ timeout: CARD_LIMIT_MS });
    check(await page.locator('article.card').count() === 1, 'the lifted card is still shown');
    await page.screenshot({ path: join(opts.out, 'vessikd-page-lifted.png'), fullPage: true });
    check(problems.length === 0, problems.join('\n'));
  } finally {
    await stopService(service);
  }
}

// Two readers: the button reads the first with its appended address, and a
// card of a type the kit does not know, laid on the second, shows as such.
async function appendedAddressAndUnknownCard(browser) {
  const service = await startService(['--readers', '2',
                                      '--card', `1:${opts.cards}/sample-fingerprints.card`,
                                      '--card', `2:${opts.cards}/unknown-type.card`,
                                      '--no-card=2', '--card-after', '2:3']);
  try {
    const { page, problems } = await openPage(browser, service.url);
    await waitForText(page, '#stream-state', 'live');
    const unknown = page.locator('article.card', { hasText: 'Unknown card' }).first();
    await unknown.waitFor({ timeout: CARD_LIMIT_MS });
    const shownUnknown = await unknown.textContent();
    for (const expected of ['Card of a type this kit does not know', 'Type marker', 'reader usb:1-2']) {
      check(shownUnknown.includes(expected), `unknown card shows "${expected}": ${shownUnknown}`);
    }
    check(!shownUnknown.includes(SAMPLE_ID), 'no field decoded from the unknown card');

    await page.click('#read-button');
    const read = page.locator('article.card', { hasText: 'Appended address' }).first();
    await read.waitFor({ timeout: CARD_LIMIT_MS });
    const shown = await read.textContent();
    check(shown.includes('虚拟省示例市模拟区迁入路8号'), `appended address shown: ${shown}`);
    await page.screenshot({ path: join(opts.out, 'vessikd-page-two-readers.png'), fullPage: true });
    check(problems.length === 0, problems.join('\n'));
  } finally {
    await stopService(service);
  }
}

// With a decoder in the stand-in's place the page shows the card's photo,
// as the PNG the service makes of it.
async function photoFromDecoder(browser) {
  const service = await startService(['--no-card', '--card-after', '3'], [],
                                     { LD_PRELOAD: opts.decoder });
  try {
    const { page, problems } = await openPage(browser, service.url);
    const photo = page.waitForResponse((r) => r.url().endsWith('/v1/photo'),
                                       { timeout: CARD_LIMIT_MS });
    await waitForText(page, '#decoder-state', 'installed');
    const img = page.locator('article.card .photo img');
    await img.waitFor({ timeout: CARD_LIMIT_MS });
    await page.waitForFunction(
        () => document.querySelector('article.card .photo img').complete);
    const width = await img.evaluate((el) => el.naturalWidth);
    check(width === 102, `decoded photo is 102 pixels wide, not ${width}`);
    const type = (await photo).headers()['content-type'];
    check(type === 'image/png', `the page shows a ${type}, not the service's PNG`);
    await page.screenshot({ path: join(opts.out, 'vessikd-page-photo.png'), fullPage: true });
    check(problems.length === 0, problems.join('\n'));
  } finally {
    await stopService(service);
  }
}

// The README's lines, run in a page of another origin: an allowed origin
// reads the card (preflight and all) and hears the event stream; another
// origin's fetch is refused by the browser.
async function otherOriginReads(browser) {
  const allowed = await startOtherOrigin('counter.example.test');
  const refused = await startOtherOrigin('other.example.test');
  const service = await startService([], [`--allow-origin=${allowed.origin}`]);
  const readCard = async (base) => {
    try {
      const res = await fetch(base + 'v1/read', {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ deadline_ms: 15000 }) });
      const card = await res.json();
      return { ok: res.ok, name: card.name, id: card.id_number };
    } catch (err) {
      return { failed: String(err) };
    }
  };
  try {
    const page = await browser.newPage();
    await page.goto(allowed.origin + '/');
    const read = await page.evaluate(readCard, service.url);
    check(read.ok === true && read.name === SAMPLE_NAME && read.id === SAMPLE_ID,
          `allowed origin reads the card: ${JSON.stringify(read)}`);
    const heard = await page.evaluate((base) => new Promise((resolve) => {
      const events = new EventSource(base + 'v1/events');
      events.addEventListener('status', (e) => {
        events.close();
        resolve(JSON.parse(e.data).reader_present);
      });
      events.onerror = () => resolve('error');
    }), service.url);
    check(heard === true, `allowed origin hears the stream: ${heard}`);

    const other = await browser.newPage();
    await other.goto(refused.origin + '/');
    const denied = await other.evaluate(readCard, service.url);
    check(typeof denied.failed === 'string', `other origin is refused: ${JSON.stringify(denied)}`);
  } finally {
    await stopService(service);
    allowed.server.close();
    refused.server.close();
  }
}

// A service with a token: the page asks for it, then works.
async function tokenPrompt(browser) {
  const service = await startService([], [`--token=${TOKEN}`]);
  try {
    const page = await browser.newPage();
    await page.goto(service.url);
    await page.locator('#token-form').waitFor({ state: 'visible', timeout: CARD_LIMIT_MS });
    check((await text(page, '#stream-state')) === 'needs token', 'stream waits for the token');
    await page.fill('#token', TOKEN);
    await page.click('#token-form button');
    await waitForText(page, '#stream-state', 'live');
    check(await page.locator('#token-form').isHidden(), 'token form hidden once accepted');
    await page.click('#read-button');
    await page.locator('article.card').first().waitFor({ timeout: CARD_LIMIT_MS });
  } finally {
    await stopService(service);
  }
}

const browser = await launchChromium(opts.chromium);
const failed = await runScenarios(browser,
                          [['ServicePage.CardLaidDownShowsAndReadButtonReads', cardLaidDown],
                           ['ServicePage.LiftedCardIsMarked', cardLifted],
                           ['ServicePage.PhotoFromAnInstalledDecoder', photoFromDecoder],
                           ['ServicePage.AppendedAddressAndAnUnknownCardOnTwoReaders',
                            appendedAddressAndUnknownCard],
                           ['ServicePage.TokenPromptThenCards', tokenPrompt],
                           ['ServicePage.AnotherOriginReadsWithTheReadmeLines',
                            otherOriginReads]]);
await browser.close();
process.stdout.write(`screenshots: ${opts.out}\n`);
process.exit(failed ? 1 : 0);
