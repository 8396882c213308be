// SPDX-License-Identifier: LGPL-2.1-or-later
// What the browser tests share: vessikd under the virtual reader, another
// origin's page server, and chromium as they launch it.
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { createServer } from 'node:http';
import { userInfo } from 'node:os';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const START_LIMIT_MS = 15000;

// The options every page test takes (and `extra`), its --out folder made.
export function fixtureOptions(extra = {}) {
  const { values } = parseArgs({
    options: {
      launcher: { type: 'string' },
      vessikd: { type: 'string' },
      decoder: { type: 'string' },
      cards: { type: 'string' },
      out: { type: 'string' },
      chromium: { type: 'string', default: '/usr/bin/chromium' },
      ...extra,
    },
  });
  mkdirSync(values.out, { recursive: true });
  return values;
}

export function check(condition, message) {
  if (!condition) throw new Error(message);
}

// Runs each [name, run] scenario in the browser, in gtest's words; true
// when any failed.
export async function runScenarios(browser, scenarios) {
  let failed = false;
  for (const [name, run] of scenarios) {
    process.stdout.write(`[ RUN      ] ${name}\n`);
    const started = Date.now();
    try {
      await run(browser);
      process.stdout.write(`[       OK ] ${name} (${Date.now() - started} ms)\n`);
    } catch (err) {
      failed = true;
      process.stdout.write(`${err.stack}\n[  FAILED  ] ${name}\n`);
    }
  }
  return failed;
}

// startService and stopService for the launcher and vessikd given.
export function serviceFixture({ launcher, vessikd }) {
  // vessikd under the virtual reader; resolves once it listens. The user
  // running the test receives cards on its streams, as the user at the seat
  // does (there is no seat here).
  function startService(readerArgs, serviceArgs = [], env = {}) {
    const args = [...readerArgs, '--', vessikd, '--config=/dev/null', '--port=0',
                  '--listen=127.0.0.1', `--events-allow-users=${userInfo().username}`,
                  ...serviceArgs];
    const proc = spawn(launcher, args, { env: { ...process.env, ...env } });
    let output = '';
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('vessikd did not listen: ' + output)),
                               START_LIMIT_MS);
      const take = (chunk) => {
        output += chunk;
        const m = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(output);
        if (m) {
          clearTimeout(timer);
          resolve({ proc, url: `http://127.0.0.1:${m[1]}/`, output: () => output });
        }
      };
      proc.stdout.on('data', take);
      proc.stderr.on('data', take);
      proc.on('exit', (code) => reject(new Error(`vessikd ended (${code}): ${output}`)));
    });
  }

  function stopService(service) {
    return new Promise((resolve) => {
      service.proc.removeAllListeners('exit');
      service.proc.on('exit', (code) => resolve(code));
      service.proc.kill('SIGTERM');
    });
  }

  return { startService, stopService };
}

// An integrator's page on another origin, served here on a port of its own
// under a name of its own (chromium maps the name to 127.0.0.1): vessikd
// refuses pages on the loopback other than its own, whoever lists them.
export function startOtherOrigin(name,
                                 html = '<!DOCTYPE html><title>counter</title><p>counter page</p>') {
  const server = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(html);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      resolve({ server, origin: `http://${name}:${server.address().port}` });
    });
  });
}

export function launchChromium(executablePath) {
  return chromium.launch({
    executablePath,
    // The network here is closed: chromium's own calls home would only be
    // refused (and slow the start), so they are switched off.
    args: ['--no-sandbox', '--font-render-hinting=none', '--disable-gpu', '--disable-quic',
           '--no-first-run', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--host-resolver-rules=MAP *.example.test 127.0.0.1'],
  });
}
