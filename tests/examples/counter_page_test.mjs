// SPDX-License-Identifier: LGPL-2.1-or-later
// examples/counter.html in chromium, served from an origin of its own that
// vessikd allows: the button fills the guest form from the card on the
// virtual reader, and a read with no reader says so.
//
//   node counter_page_test.mjs --launcher L --vessikd V --decoder D --cards DIR --out DIR
//                              [--chromium C] --page counter.html
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { check, fixtureOptions, launchChromium, runScenarios, serviceFixture,
  startOtherOrigin } from './service_fixture.mjs';

const FILL_LIMIT_MS = 15000;

const opts = fixtureOptions({ page: { type: 'string' } });
const { startService, stopService } = serviceFixture(opts);
const counterHtml = readFileSync(opts.page, 'utf8');

// The page on its origin, pointed at a vessikd that allows that origin.
async function withCounterPage(browser, readerArgs, run) {
  const site = await startOtherOrigin('counter.example.test', counterHtml);
  const service = await startService(readerArgs, [`--allow-origin=${site.origin}`]);
  try {
    const page = await browser.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(e.message));
    await page.goto(`${site.origin}/?vessikd=${encodeURIComponent(service.url.slice(0, -1))}`);
    await run(page);
    check(problems.length === 0, problems.join('\n'));
  } finally {
    await stopService(service);
    site.server.close();
  }
}

async function buttonFillsTheForm(browser) {
  await withCounterPage(browser, [], async (page) => {
    await page.locator('#reader-state', { hasText: 'ready' }).waitFor({ timeout: FILL_LIMIT_MS });
    await page.click('#read-card');
    await page.waitForFunction(() => document.forms.guest.elements.id_number.value !== '',
                               null, { timeout: FILL_LIMIT_MS });
    const form = await page.evaluate(() => Object.fromEntries(new FormData(document.forms.guest)));
    check(JSON.stringify(form) === JSON.stringify({
      name: '测试样卡', id_number: '990000199003070013',
      address: '虚拟省示例市模拟区测试路1号', valid_to: '2040-01-01' }),
    `the form holds the card: ${JSON.stringify(form)}`);
    check((await page.textContent('#message')) === '', 'no message after a read');
    await page.screenshot({ path: join(opts.out, 'counter-page.png'), fullPage: true });
  });
}

async function noReaderIsSaid(browser) {
  await withCounterPage(browser, ['--no-reader=1'], async (page) => {
    await page.locator('#reader-state', { hasText: 'not plugged in' })
      .waitFor({ timeout: FILL_LIMIT_MS });
    await page.click('#read-card');
    await page.locator('#message', { hasText: 'No reader is plugged in.' })
      .waitFor({ timeout: FILL_LIMIT_MS });
    check(await page.inputValue('[name=name]') === '', 'the form stays empty');
  });
}

const browser = await launchChromium(opts.chromium);
const failed = await runScenarios(browser,
                                  [['CounterPage.ButtonFillsTheGuestForm', buttonFillsTheForm],
                                   ['CounterPage.NoReaderIsSaid', noReaderIsSaid]]);
await browser.close();
process.exit(failed ? 1 : 0);
