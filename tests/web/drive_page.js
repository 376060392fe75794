// Drives kip-web's page in Debian's chromium: gives the token the page asks for (a wrong one
// first), lists every device of the network, adds a router to the system with a level, gives
// a router a host name another device has and expects kipd's error beside the form, sends
// the bridge a message that is not JSON, and shows a crafted MAC address in a row of its own.
// Last it has the test stop the simulator ("stop-simulator" on standard output, "done" back on
// standard input), expects the top to say when kipd lost the configuration daemon in the
// browser's time zone, has it started again, and expects the top back to normal after a search.
// With --post-to-kipd it loads instead a page of another site (served here on a port of its
// own) whose script posts REQUEST, framed as kipd's clients frame it, to kipd's port.
// Usage: KIP_WEB_TOKEN=TOKEN node drive_page.js URL HOSTNAME...   (KIP_WEB_SCREENSHOT=FILE also saves a screenshot)
//        node drive_page.js --post-to-kipd REQUEST
'use strict';

const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');
const readline = require('readline');

const ROUTER = '00:1E:C0:20:00:13';
const TAKEN_HOSTNAME = 'tr-video-1';
const LIMIT_MS = 20000;
const TIME_ZONE = 'Pacific/Chatham';  // +12:45 or +13:45: a time shown in UTC or the test's zone would differ

const row = `#devices tr[data-mac="${ROUTER}"]`;

async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kip-web-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  return { browser, profile };
}

function textOf(page, selector) {
  return page.$eval(selector, (element) => element.textContent);
}

async function giveToken(page, token) {
  const input = '#token-form input[name="token"]';
  for (const given of [`${token}0`, token]) {
    await page.waitForSelector(input, { visible: true, timeout: LIMIT_MS });
    await page.$eval(input, (element) => { element.value = ''; });
    await page.type(input, given);
    await page.click('#token-form button[type="submit"]');
    if (given !== token)
      await page.waitForSelector('#token-form .error:not([hidden])', { timeout: LIMIT_MS });
  }
  await page.waitForSelector('#token-form', { hidden: true, timeout: LIMIT_MS });
  if (await page.evaluate(() => document.cookie) !== '')
    throw new Error('the page\'s script can read the token cookie');
}

async function searchEnded(page) {
  await page.waitForFunction(() => /\d+ devices/.test(document.getElementById('search-state').textContent),
                             { timeout: LIMIT_MS });
}

async function everyDeviceIsListed(page, hostnames) {
  const listed = await page.$$eval('#devices td.hostname', (cells) => cells.map((cell) => cell.textContent));
  const missing = hostnames.filter((hostname) => !listed.includes(hostname));
  if (missing.length)
    throw new Error(`not listed: ${missing.join(', ')}`);
}

async function addRouterWithLevel(page) {
  await page.click(`${row} button[data-action="add"]`);
  await page.type('tr.editor input[name="no"]', '7');
  await page.type('tr.editor input[name="name"]', 'Data A');
  await page.type('tr.editor input[name="description"]', 'Studio A data');
  await page.click('tr.editor button[type="submit"]');
  await page.waitForFunction((selector) => {
    const element = document.querySelector(selector);
    return element && element.classList.contains('member') && !document.querySelector('tr.editor');
  }, { timeout: LIMIT_MS }, row);
  await searchEnded(page);
  const system = await textOf(page, `${row} td.system`);
  if (!system.includes('kdrtn-studio-a') || !system.includes('level 7 “Data A”'))
    throw new Error(`the router's system cell reads "${system}"`);
}

async function conflictingHostnameIsRefused(page) {
  await page.click(`${row} button[data-action="ip"]`);
  const hostname = 'tr.editor input[name="hostname"]';
  await page.$eval(hostname, (input) => { input.value = ''; });
  await page.type(hostname, TAKEN_HOSTNAME);
  await page.click('tr.editor button[type="submit"]');
  const error = 'tr.editor .error:not([hidden])';
  await page.waitForSelector(error, { timeout: LIMIT_MS });
  const text = await textOf(page, error);
  if (text !== 'hostname_conflict: Set corvanet ip settings error')
    throw new Error(`the form shows "${text}"`);
  const kept = await textOf(page, `${row} td.hostname`);
  if (kept !== 'tr-data-1')
    throw new Error(`the router's host name reads "${kept}"`);
}

// The bridge never passes on a message that is not JSON text: it closes with 1007.
async function notJsonIsRefused(page) {
  const code = await page.evaluate(() => new Promise((resolve) => {
    const socket = new WebSocket(`ws://${location.host}/ws`);
    socket.onopen = () => socket.send('{"type": "has_corvanet_system"');
    socket.onclose = (event) => resolve(event.code);
  }));
  if (code !== 1007)
    throw new Error(`the bridge closed with ${code}`);
}

// A MAC from the network stays data: a crafted one gets a row of its own, never another's.
async function craftedMacGetsItsOwnRow(page) {
  await page.evaluate((router) => showDevice({ type: 'new_ip_device_info',
    ip_settings: { mac_address: `x"], tr[data-mac="${router}`, hostname: 'crafted' } }), ROUTER);
  const hostnames = await page.$$eval('#devices td.hostname', (cells) => cells.map((cell) => cell.textContent));
  if (await textOf(page, `${row} td.hostname`) !== 'tr-data-1' || !hostnames.includes('crafted'))
    throw new Error(`a crafted MAC address changed the rows: ${hostnames.join(', ')}`);
}

// Asks the test to act on the network, and waits until it has.
const answers = readline.createInterface({ input: process.stdin });
function ask(what) {
  process.stdout.write(`${what}\n`);
  return new Promise((resolve) => answers.once('line', resolve));
}

// Each second from `from` to `to` as the page shows a time in TIME_ZONE.
function localTimes(from, to) {
  const format = new Intl.DateTimeFormat('en-GB', { timeZone: TIME_ZONE, hour: '2-digit', minute: '2-digit',
                                                    second: '2-digit', hourCycle: 'h23' });
  const times = [];
  for (let at = from - 1000; at <= to + 1000; at += 1000)
    times.push(format.format(new Date(at)));
  return times;
}

// kipd reconnects only when a request needs the daemon: the page searches again by itself.
async function lostDaemonShownThenBack(page) {
  const lost = /^kipd has lost the configuration daemon at (\d\d:\d\d:\d\d); reconnecting$/;
  const before = Date.now();
  await ask('stop-simulator');
  const after = Date.now();
  await page.waitForFunction((pattern) => new RegExp(pattern).test(document.getElementById('link').textContent),
                             { timeout: LIMIT_MS }, lost.source);
  const shown = (await textOf(page, '#link')).match(lost)[1];
  if (!localTimes(before, after).includes(shown))
    throw new Error(`the page says the daemon was lost at ${shown}, not in ${TIME_ZONE} local time`);
  await ask('start-simulator');
  await page.waitForFunction(() => document.getElementById('link').textContent === 'Connected to kipd',
                             { timeout: LIMIT_MS + 8 * 2000 });
  await searchEnded(page);
}

// What any web site could do: a no-cors POST needs no permission, and its body is sent as it is.
async function postToKipdFromAnotherSite(browser, request) {
  const script = `fetch('http://127.0.0.1:3971/', { method: 'POST', mode: 'no-cors', body: '\\0' + ${JSON.stringify(request)}
    + '\\0' }).finally(() => { document.title = 'sent'; });`;
  const site = http.createServer((_, answer) => {
    answer.setHeader('Content-Type', 'text/html; charset=utf-8');
    answer.end(`<!DOCTYPE html><title>another site</title><script>${script}</script>`);
  });
  await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${site.address().port}/`);
    await page.waitForFunction(() => document.title === 'sent', { timeout: LIMIT_MS });
  } finally {
    site.close();
  }
}

async function drive(browser) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  await page.emulateTimezone(TIME_ZONE);
  await page.goto(process.argv[2]);
  await giveToken(page, process.env.KIP_WEB_TOKEN);
  await page.waitForSelector(`${row} button[data-action="add"]`, { timeout: LIMIT_MS });
  await searchEnded(page);
  await everyDeviceIsListed(page, process.argv.slice(3));
  await addRouterWithLevel(page);
  if (process.env.KIP_WEB_SCREENSHOT)
    await page.screenshot({ path: process.env.KIP_WEB_SCREENSHOT, fullPage: true });
  await conflictingHostnameIsRefused(page);
  await notJsonIsRefused(page);
  await craftedMacGetsItsOwnRow(page);
  await lostDaemonShownThenBack(page);
}

async function main() {
  const { browser, profile } = await launch();
  try {
    if (process.argv[2] === '--post-to-kipd')
      await postToKipdFromAnotherSite(browser, process.argv[3]);
    else
      await drive(browser);
  } finally {
    await browser.close();
    answers.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
