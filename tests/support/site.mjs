// A fresh site (scripts/make-site.sh) served by lighttpd on a free loopback
// port, for the tests that drive the program through a real web server.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const START_TIMEOUT_MS = 15000;

export const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host: '127.0.0.1' });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

const runningServers = new Set();

// A fresh scratch directory for one run. A run stopped from outside (CTest's
// timeout, ^C) must not leave a server behind on its port, nor the
// directory.
export function scratchDir(prefix) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  for (const signal of ['SIGTERM', 'SIGINT']) {
    process.once(signal, () => {
      for (const server of runningServers) server.kill('SIGKILL');
      fs.rmSync(work, { recursive: true, force: true });
      console.log(`stopped by ${signal}`);
      process.exit(1);
    });
  }
  return work;
}

export async function stopServer(server) {
  if (!server || server.pid === undefined || server.exitCode !== null || server.signalCode !== null) return;
  const gone = new Promise((resolve) => server.once('exit', resolve));
  server.kill('SIGTERM');
  const timer = setTimeout(() => server.kill('SIGKILL'), 5000);
  await gone;
  clearTimeout(timer);
}

// Lays out a fresh site under WORK for the program EXE (ENV adds to
// make-site.sh's environment, e.g. PAGES) and starts lighttpd on it. The free port is only free when asked, so a server that dies at
// once (the port taken meanwhile) is started again on another one.
export async function startSite(exePath, work, env = {}) {
  for (let attempt = 1; attempt <= 3; attempt += 1) {
    const port = await freePort();
    const dir = path.join(work, `site${attempt}`);
    execFileSync('bash', [path.join(repo, 'scripts', 'make-site.sh'), exePath, dir, String(port)], { stdio: 'ignore', env: { ...process.env, WITH_DUMPS: '1', ...env } });
    const server = spawn('lighttpd', ['-D', '-f', path.join(dir, 'lighttpd.conf')], { stdio: 'inherit' });
    runningServers.add(server);
    let exited = false;
    server.once('exit', () => { exited = true; });
    server.once('error', () => { exited = true; });
    const deadline = Date.now() + START_TIMEOUT_MS;
    while (!exited && Date.now() < deadline) {
      if (await canConnect(port)) return { server, dir, port };
      await delay(50);
    }
    await stopServer(server);
  }
  throw new Error('lighttpd did not start (scripts/install-deps.sh installs it)');
}
