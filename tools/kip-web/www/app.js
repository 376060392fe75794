'use strict';

// The configurator page. It speaks kipd's host protocol through kip-web's WebSocket: one JSON
// request per message, one reply or device report per message.

const SEARCH_STEP_MS = 800;     // a search has ended when no report came for this long
const ANSWER_LIMIT_MS = 30000;  // longest wait for the answer to one request
const SHORT_LIMIT_MS = 4000;    // kipd says nothing when it does not know this box's IP settings
const RECONNECT_MS = [1000, 2000, 5000, 10000];
const CHAIN_POLL_MS = 2000;     // how often the page asks kip-web how kipd's links stand
const RETRY_LOST_POLLS = 8;     // while the daemon is lost, a search every so many polls

const $ = (id) => document.getElementById(id);
const reportTypes = new Set(['new_corvanet_info', 'new_tessora_info', 'new_ip_device_info']);

let socket = null;
let reconnects = 0;
let answered = false;
let current = null;  // kipd names a reply after the last request, so one request at a time
const waiting = [];
let reportCount = 0;
const deviceRows = new Map();  // by MAC address: a daemon's text never becomes a selector
const box = { system: null, systemName: '', mac: '', changeAllowed: null };
const link = { state: 'connecting', text: 'Connecting to kipd…', daemonLost: null };
let watchingChain = false;

// ---------------------------------------------------------------- connection

// Served beyond loopback, kip-web wants its token: the page asks for it once and kip-web hands
// it back as a cookie the browser keeps and the page's script cannot read.
async function connect() {
  setLink('connecting', 'Connecting to kipd…');
  answered = false;
  const session = await fetch('/session', { cache: 'no-store' }).catch(() => null);
  if (session && session.status === 401)
    return askToken();
  if (session && !session.ok)
    return connectionLost((await session.text()).trim().replace(/\.$/, ''));
  socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  socket.onopen = () => { setLink('connecting', 'Asking kipd…'); loadAll(); watchChain(); };
  socket.onmessage = (event) => receive(event.data);
  socket.onclose = (event) => connectionLost(event.reason);
}

function askToken(problem) {
  setLink('down', 'kip-web wants its token');
  const form = $('token-form');
  form.hidden = false;
  showError(form.querySelector('.error'), problem ? 'token' : null, problem);
  form.elements.token.focus();
}

$('token-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const form = event.target;
  const headers = { Authorization: `Bearer ${form.elements.token.value.trim()}` };
  const answer = await fetch('/session', { cache: 'no-store', headers }).catch(() => null);
  if (!answer || !answer.ok)
    return askToken(answer ? (await answer.text()).trim() : 'kip-web cannot be reached');
  form.hidden = true;
  form.reset();
  connect();
});

function connectionLost(reason) {
  socket = null;
  abandonRequests();
  const delay = RECONNECT_MS[Math.min(reconnects++, RECONNECT_MS.length - 1)];
  const why = reason || (answered ? 'The connection to kip-web was lost' : 'kip-web cannot be reached');
  setLink('down', `${why}. Trying again in ${delay / 1000} s…`);
  setTimeout(connect, delay);
}

function setLink(state, text) {
  Object.assign(link, { state, text });
  showLink();
}

// With kipd reached, the top says whether kipd has the configuration daemon.
function showLink() {
  const lost = link.state === 'up' && link.daemonLost;
  const element = $('link');
  element.className = `link ${lost ? 'lost' : link.state}`;
  element.textContent = lost ? daemonLostText(link.daemonLost.since) : link.text;
}

function daemonLostText(since) {
  if (typeof since !== 'number')
    return 'kipd has not reached the configuration daemon yet; reconnecting';
  const at = new Date(since * 1000);
  const time = [at.getHours(), at.getMinutes(), at.getSeconds()].map((n) => String(n).padStart(2, '0')).join(':');
  return `kipd has lost the configuration daemon at ${time}; reconnecting`;
}

// kipd opens a lost link again only when a request needs it: while the daemon is lost, a page in
// view searches now and then, as its operator would, so that it comes back by itself. Each try
// holds kipd's worker for its 1 s reconnect wait, so tries are some 16 s apart.
async function watchChain() {
  if (watchingChain)
    return;
  watchingChain = true;
  const never = new AbortController();
  for (let polls = 0; ; ++polls) {
    const answer = await fetch('/status', { cache: 'no-store' }).catch(() => null);
    const status = answer && answer.ok ? await answer.json().catch(() => null) : null;
    link.daemonLost = status && status.kipd_status ? lostLink(status.links || {}) : null;
    showLink();
    if (!link.daemonLost)
      polls = 0;
    else if (polls % RETRY_LOST_POLLS === RETRY_LOST_POLLS - 1 && link.state === 'up' && !current &&
             !waiting.length && document.visibilityState === 'visible')
      ask({ type: 'get_devices', refresh: true }, { search: true, errorAt: $('search-error') });
    await realDelay(CHAIN_POLL_MS, never.signal);
  }
}

// The link that is down, the one lost first when both are; null when both are up.
function lostLink(links) {
  const down = [links.main, links.direct].filter((one) => one && one.connected === false);
  down.sort((a, b) => (a.since || 0) - (b.since || 0));
  return down[0] || null;
}

function receive(text) {
  const message = JSON.parse(text);
  if (!answered) {
    answered = true;
    reconnects = 0;
    setLink('up', 'Connected to kipd');
  }
  if (reportTypes.has(message.type)) {
    reportCount++;
    showDevice(message);
  }
  if (current && (message.type === 'error_info' || current.done(message)))
    finish(current, message);
}

// ---------------------------------------------------------------- requests

// Queues a request. `done(message)` tells its answer; `errorAt` is where an error is shown;
// `then(message, failed)` runs after the answer.
function ask(request, { done = () => false, errorAt, then, search = false, limit = ANSWER_LIMIT_MS }) {
  waiting.push({ request, done, errorAt, then, search, limit });
  if (!current)
    sendNext();
}

function sendNext() {
  current = waiting.shift() || null;
  if (!current || !socket)
    return;
  showError(current.errorAt, null);
  current.stop = new AbortController();
  socket.send(JSON.stringify(current.request));
  watch(current);
}

function finish(request, message, failure) {
  if (current !== request)
    return;
  current = null;
  request.stop.abort();
  const error = message && message.error;
  if (error)
    showError(request.errorAt, error.id, error.message);
  else if (failure)
    showError(request.errorAt, 'no_answer', failure);
  if (request.then)
    request.then(message, Boolean(error || failure));
  if (!current)
    sendNext();
}

function abandonRequests() {
  if (current)
    current.stop.abort();
  current = null;
  waiting.length = 0;
}

// Waits in real time through kip-web: browsers slow down or fast-forward their own timers.
async function realDelay(ms, signal) {
  try {
    const answer = await fetch(`/quiet?ms=${ms}`, { cache: 'no-store', signal });
    if (answer.ok)
      return;
  } catch (error) {
    if (signal.aborted)
      return;
  }
  await new Promise((resolve) => setTimeout(resolve, ms));
}

// Ends a search once reports stop coming, and any request that gets no answer in time.
async function watch(request) {
  const step = request.search ? SEARCH_STEP_MS : Math.min(request.limit, 5000);
  let waited = 0;
  let before = reportCount;
  while (current === request) {
    const seen = reportCount;
    await realDelay(step, request.stop.signal);
    waited += step;
    if (current !== request)
      return;
    if (request.search && reportCount > before && reportCount === seen)
      return finish(request, null);
    if (waited >= request.limit)
      return finish(request, null, request.search ? null : 'No answer from kipd in time');
  }
}

// ---------------------------------------------------------------- this box

function loadAll() {
  loadBox(() => { if (box.system) search(); });
}

function loadBox(next) {
  const errorAt = $('box-error');
  const reply = (type) => (message) => message.type === `${type}_response`;
  ask({ type: 'has_corvanet_system' }, {
    done: reply('has_corvanet_system'), errorAt,
    then: (message) => showSystem(message && message.system_exists === 'true'),
  });
  ask({ type: 'get_corvanet_ip_settings' }, {
    done: reply('get_corvanet_ip_settings'), errorAt, limit: SHORT_LIMIT_MS,
    then: (message) => showBoxSettings(message || {}),
  });
  ask({ type: 'may_change_corvanet_ip_settings' }, {
    done: reply('may_change_corvanet_ip_settings'), errorAt,
    then: (message) => showYesNo('box-may-change', message && message.change_allowed),
  });
  ask({ type: 'may_use_builder' }, {
    done: reply('may_use_builder'), errorAt,
    then: (message) => { showYesNo('box-builder', message && message.use_allowed); if (next) next(); },
  });
}

function showSystem(exists) {
  box.system = exists;
  $('box-system').textContent = exists ? (box.systemName || 'yes') : 'none';
  $('create-system').hidden = exists;
  $('search-state').textContent = exists ? '' : 'This box has no system yet: create one to search for devices.';
}

function showBoxSettings(settings) {
  box.mac = settings.mac_address || box.mac;
  const show = (id, value) => { if (value) $(id).textContent = value; };
  show('box-mac', settings.mac_address);
  show('box-ip', settings.ip_address);
  show('box-mask', settings.subnet_mask);
  show('box-gateway', settings.default_gateway);
  show('box-hostname', settings.hostname);
  fillForm($('create-system'), settings);
}

function showYesNo(id, value) {
  $(id).textContent = value === 'true' ? 'yes' : value === 'false' ? 'no' : '…';
}

$('create-system').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  const note = form.querySelector('.note');
  note.hidden = true;
  ask({ type: 'set_corvanet_ip_settings', ...formValues(form) }, {
    done: (message) => message.type === 'set_corvanet_ip_settings_response',
    errorAt: form.querySelector('.error'),
    then: (message, failed) => {
      if (failed)
        return;
      note.textContent = message.reboot === 'true' ? 'Accepted: the box reboots to apply its new settings.'
                                                    : 'Accepted.';
      note.hidden = false;
      loadAll();
    },
  });
});

// ---------------------------------------------------------------- devices

function search() {
  ask({ type: 'get_devices', refresh: true }, { search: true, errorAt: $('search-error') });
  listKnownDevices('Searching…');
}

// Other controller boxes and controller cards answer a search without being reported: the
// known devices, listed without a new search, include them. Then the controllers of the system.
function listKnownDevices(state = 'Updating…') {
  $('search-state').textContent = state;
  $('search').disabled = true;
  ask({ type: 'get_devices', refresh: false }, { search: true, errorAt: $('search-error') });
  ask({ type: 'get_corvanets' }, {
    done: (message) => message.type === 'get_corvanets_response',
    errorAt: $('corvanets-error'),
    then: (message) => {
      showCorvanets((message && message.corvanets) || []);
      $('search-state').textContent = `${$('devices').tBodies[0].rows.length} devices`;
      $('search').disabled = false;
    },
  });
}

$('search').addEventListener('click', () => {
  if (box.system === false) {
    // kipd explains why there is nothing to search.
    ask({ type: 'get_devices', refresh: true }, { search: true, errorAt: $('search-error') });
    return;
  }
  search();
});

function macOf(report) {
  return (report.ip_settings && report.ip_settings.mac_address) || '';
}

function showDevice(report) {
  const mac = macOf(report);
  if (!mac)
    return;
  if (report.type === 'new_corvanet_info' && report.system) {
    box.systemName = report.system.name || '';
    if (box.system !== false)
      $('box-system').textContent = box.systemName || 'yes';
  }
  const body = $('devices').tBodies[0];
  let row = deviceRows.get(mac);
  if (!row) {
    row = document.createElement('tr');
    row.dataset.mac = mac;
    deviceRows.set(mac, row);
    if (report.type === 'new_corvanet_info')
      body.prepend(row);
    else
      body.append(row);
  }
  fillRow(row, report);
}

function kindOf(report) {
  if (report.type === 'new_corvanet_info')
    return 'Corvanet (this box)';
  if (report.type === 'new_ip_device_info')
    return 'Device';
  const tessora = report.tessora || {};
  return tessora.router ? 'Tessora router' : tessora.panel ? 'Tessora panel' : 'Tessora device';
}

function isMember(report) {
  return Boolean(report.system && report.system.name && report.system.name === box.systemName);
}

function fillRow(row, report) {
  const ip = report.ip_settings || {};
  row.className = report.type === 'new_corvanet_info' ? 'this-box' : isMember(report) ? 'member' : '';
  row.replaceChildren(
    cell('Kind', kindOf(report)),
    cell('MAC', ip.mac_address, 'mac'),
    cell('IP address', ip.ip_address, 'ip'),
    cell('Host name', ip.hostname, 'hostname'),
    systemCell(report),
    detailsCell(report),
    actionsCell(row, report));
}

function cell(label, content, className) {
  const td = document.createElement('td');
  td.dataset.label = label;
  if (className)
    td.className = className;
  if (content instanceof Node)
    td.append(content);
  else
    td.textContent = content || '—';
  return td;
}

function badge(text, className) {
  const span = document.createElement('span');
  span.className = `badge ${className || ''}`;
  span.textContent = text;
  return span;
}

function systemCell(report) {
  const system = report.system || {};
  const td = cell('System', system.name ? '' : '—', 'system');
  if (!system.name)
    return td;
  td.textContent = '';
  td.append(badge(system.name, isMember(report) || report.type === 'new_corvanet_info' ? 'member' : ''));
  if (system.level) {
    const level = system.level;
    td.append(' ', badge(`level ${level.no}${level.name ? ` “${level.name}”` : ''}`, 'level'));
  }
  return td;
}

function detailsCell(report) {
  const parts = [];
  const tessora = report.tessora || {};
  const firmware = report.firmware || {};
  if (tessora.router)
    parts.push(`router ${tessora.router.inputs || '?'}×${tessora.router.outputs || '?'} ${tessora.router.format || ''}`);
  if (tessora.panel)
    parts.push(`${tessora.panel.buttons} panel buttons`);
  if (tessora.rack_unit_size)
    parts.push(`${tessora.rack_unit_size} RU`);
  if (tessora.dip !== undefined)
    parts.push(`DIP ${tessora.dip}`);
  if (report.system && report.system.router)
    parts.push(`router no. ${report.system.router.no}`);
  if (report.system && report.system.level && report.system.level.description)
    parts.push(report.system.level.description);
  if (report.corvanet)
    parts.push(`${report.corvanet.box || 'box'}${report.corvanet.address ? `, address ${report.corvanet.address}` : ''}`);
  if (firmware.version)
    parts.push(`firmware ${firmware.version}`);
  if (report.hardware && report.hardware.revision)
    parts.push(`hardware rev. ${report.hardware.revision}`);
  const details = document.createElement('div');
  details.className = 'details';
  for (const part of parts)
    details.append(Object.assign(document.createElement('span'), { textContent: part }));
  return cell('Details', parts.length ? details : '');
}

function actionsCell(row, report) {
  const td = cell('Actions', document.createDocumentFragment(), 'actions');
  const mac = macOf(report);
  const error = Object.assign(document.createElement('p'), { className: 'error', hidden: true });
  const button = (text, name, action, quiet) => {
    const b = Object.assign(document.createElement('button'), { type: 'button', textContent: text });
    b.dataset.action = name;
    if (quiet)
      b.className = 'quiet';
    b.addEventListener('click', action);
    td.append(b);
  };
  if (report.type === 'new_tessora_info' && box.system) {
    if (isMember(report))
      button('Take out', 'take-out', () => takeOut(mac, error), true);
    else
      button('Add to system…', 'add', () => openEditor(row, 'router-form', report, error));
  }
  button('IP settings…', 'ip', () => openEditor(row, 'ip-form', report, error), true);
  td.append(error);
  return td;
}

function openEditor(row, templateId, report, rowError) {
  closeEditors();
  const form = $(templateId).content.firstElementChild.cloneNode(true);
  const ip = report.ip_settings || {};
  form.querySelector('.target').textContent = ip.hostname || macOf(report);
  fillForm(form, ip);
  const editor = document.createElement('tr');
  editor.className = 'editor';
  const td = document.createElement('td');
  td.colSpan = 7;
  td.append(form);
  editor.append(td);
  row.after(editor);
  form.querySelector('.cancel').addEventListener('click', closeEditors);
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    showError(rowError, null);
    (templateId === 'router-form' ? addRouter : changeIp)(report, form);
  });
  form.querySelector('input').focus();
}

function closeEditors() {
  for (const editor of document.querySelectorAll('tr.editor'))
    editor.remove();
}

function reportFor(mac) {
  return (message) => reportTypes.has(message.type) && macOf(message) === mac;
}

function addRouter(report, form) {
  const mac = macOf(report);
  const level = formValues(form);
  ask({ type: 'set_tessora_info', ip_settings: { mac_address: mac }, system: { level } }, {
    done: reportFor(mac), errorAt: form.querySelector('.error'),
    then: (message, failed) => { if (!failed) afterChange(); },
  });
}

function takeOut(mac, errorAt) {
  ask({ type: 'set_tessora_info', ip_settings: { mac_address: mac }, system: { include: false } }, {
    done: reportFor(mac), errorAt,
    then: (message, failed) => { if (!failed) afterChange(); },
  });
}

function changeIp(report, form) {
  const request = { type: 'set_corvanet_ip_settings', ...formValues(form) };
  if (report.type !== 'new_corvanet_info')
    request.mac_address = macOf(report);
  const note = form.querySelector('.note');
  ask(request, {
    done: (message) => message.type === 'set_corvanet_ip_settings_response',
    errorAt: form.querySelector('.error'),
    then: (message, failed) => {
      if (failed)
        return;
      if (message.reboot === 'true') {
        note.textContent = 'Accepted: the box reboots to apply its new settings.';
        note.hidden = false;
        return;
      }
      afterChange();
    },
  });
}

function afterChange() {
  closeEditors();
  loadBox();
  listKnownDevices();
}

function showCorvanets(corvanets) {
  const body = $('corvanets').tBodies[0];
  body.replaceChildren(...corvanets.map((corvanet) => {
    const row = document.createElement('tr');
    row.append(cell('Host name', corvanet.hostname), cell('IP address', corvanet.ip_address, 'ip'),
               cell('', corvanet.current === 'true' ? badge('this box', 'member') : ''));
    return row;
  }));
  if (!corvanets.length)
    body.append(Object.assign(document.createElement('tr'), { innerHTML: '<td colspan="3">None</td>' }));
}

// ---------------------------------------------------------------- forms and errors

function formValues(form) {
  const values = {};
  for (const input of form.querySelectorAll('input[name]'))
    values[input.name] = input.value.trim();
  return values;
}

function fillForm(form, values) {
  for (const input of form.querySelectorAll('input[name]'))
    if (values[input.name] !== undefined && !input.value)
      input.value = values[input.name];
}

function showError(place, id, message) {
  if (!place)
    return;
  place.hidden = !id;
  place.replaceChildren();
  if (id)
    place.append(Object.assign(document.createElement('code'), { textContent: id }), `: ${message || ''}`);
}

connect();
