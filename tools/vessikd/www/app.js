// SPDX-License-Identifier: LGPL-2.1-or-later
// The vessikd page: the readers' state, and every card as it is read.
'use strict';

const READ_DEADLINE_MS = 15000;
const MAX_CARDS_SHOWN = 10;
const TOKEN_KEY = 'vessikd-token';

const state = {
  token: sessionStorage.getItem(TOKEN_KEY) || '',
  decoder: 'stand-in',
  events: null,
};

const CARD_TYPES = {
  'resident': 'Resident identity card',
  'foreign-permanent': 'Foreign permanent resident card',
  'hmt-permit': 'Hong Kong / Macau / Taiwan residence permit',
  'unknown': 'Card of a type this kit does not know',
};
const SEXES = {'1': 'male', '2': 'female'};

function $(id) {
  return document.getElementById(id);
}

function authHeaders(extra) {
  const headers = Object.assign({}, extra);
  if (state.token) headers.Authorization = 'Bearer ' + state.token;
  return headers;
}

function setBadge(id, text, kind) {
  const badge = $(id);
  badge.textContent = text;
  badge.className = 'badge ' + kind;
}

function showMessage(text, kind) {
  const message = $('message');
  message.textContent = text;
  message.className = kind || '';
}

function showStatus(status) {
  showReader(status.reader_present);
  $('reader-state').title = `${status.readers || 0} reader(s)`;
  state.decoder = status.photo_decoder;
  setBadge('decoder-state', status.photo_decoder === 'installed' ? 'installed' : 'none (stand-in)',
           status.photo_decoder === 'installed' ? 'good' : 'warn');
}

function showReader(present) {
  setBadge('reader-state', present ? 'present' : 'absent', present ? 'good' : 'bad');
  if (!present) setBadge('card-state', 'none', 'unknown');
}

function askForToken() {
  $('token-form').hidden = false;
  setBadge('stream-state', 'needs token', 'bad');
  showMessage('Enter the service token to go on.', 'bad');
}

// YYYYMMDD -> YYYY-MM-DD; anything else (a "long-term" text) as it is.
function date(text) {
  return /^\d{8}$/.test(text) ? `${text.slice(0, 4)}-${text.slice(4, 6)}-${text.slice(6)}` : text;
}

function cardFields(card) {
  const nationality = card.nation_name ? `${card.nation_name} (${card.nation_code})`
                                       : card.nation_code;
  const checks = {'ok': 'check character correct', 'wrong': 'check character WRONG'};
  const id = card.id_check in checks ? `${card.id_number} (${checks[card.id_check]})`
                                     : card.id_number;
  return [
    ['Name (English)', card.name_en],
    ['Sex', SEXES[card.sex] || card.sex],
    ['Nationality', nationality],
    ['Birth', date(card.birth)],
    ['Address', card.address],
    ['Number', id],
    ['Issued by', card.authority],
    ['Valid', card.valid_from || card.valid_to ? `${date(card.valid_from)} – ${date(card.valid_to)}` : ''],
    ['Pass number', card.pass_number],
    ['Issue count', card.issue_count],
    ['Card version', card.version],
    ['Appended address', card.appended_address],
    // A card of a type the kit does not know has no field decoded: only
    // its marker tells what it is.
    ['Type marker', card.type === 'unknown' ? card.type_marker || '(none)' : ''],
  ].filter(([, value]) => value);
}

async function showPhoto(card, box) {
  if (state.decoder !== 'installed') {
    box.classList.add('placeholder');
    box.textContent = 'No photo decoder installed';
    return;
  }
  try {
    const res = await fetch('/v1/photo', {
      method: 'POST',
      headers: authHeaders({'Content-Type': 'application/json'}),
      body: JSON.stringify({photo: card.photo}),
    });
    if (!res.ok) throw new Error((await res.json()).message);
    const img = document.createElement('img');
    img.alt = 'Card photo';
    img.src = URL.createObjectURL(await res.blob());
    box.replaceChildren(img);
  } catch (err) {
    box.classList.add('placeholder');
    box.textContent = 'Photo not decoded: ' + err.message;
  }
}

// Card texts go in through textContent only: a card is data, never markup.
function showCard(card) {
  const node = $('card-template').content.firstElementChild.cloneNode(true);
  node.dataset.idNumber = card.id_number;
  node.querySelector('.card-name').textContent =
      card.type === 'unknown' ? 'Unknown card' : card.name || card.name_en;
  const where = card.reader ? ` · reader ${card.reader}` : '';
  node.querySelector('.card-meta').textContent =
      `${CARD_TYPES[card.type] || card.type} · read ${new Date().toLocaleTimeString()}${where}`;
  const list = node.querySelector('.fields');
  for (const [label, value] of cardFields(card)) {
    const dt = document.createElement('dt');
    dt.textContent = label;
    const dd = document.createElement('dd');
    dd.textContent = value;
    list.append(dt, dd);
  }
  showPhoto(card, node.querySelector('.photo'));
  const cards = $('cards');
  cards.prepend(node);
  setBadge('card-state', 'on the reader', 'good');
  while (cards.children.length > MAX_CARDS_SHOWN) cards.lastElementChild.remove();
}

// The card shown last has been lifted off the reader.
function showCardRemoved() {
  setBadge('card-state', 'lifted', 'warn');
  const newest = $('cards').firstElementChild;
  if (newest) newest.classList.add('lifted');
}

function connectEvents() {
  if (state.events) state.events.close();
  const query = state.token ? '?access_token=' + encodeURIComponent(state.token) : '';
  const events = new EventSource('/v1/events' + query);
  state.events = events;
  events.onopen = () => setBadge('stream-state', 'live', 'good');
  events.onerror = () => setBadge('stream-state', 'reconnecting', 'warn');
  events.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
  // One reader plugged in or out: the status says whether any is left.
  events.addEventListener('reader', refreshStatus);
  events.addEventListener('card', (e) => showCard(JSON.parse(e.data)));
  // A card is there, its data kept back: a page that is not sent cards may
  // ask for it with a read.
  events.addEventListener('card-present', () => setBadge('card-state', 'on the reader', 'good'));
  events.addEventListener('card-removed', showCardRemoved);
}

async function readCard() {
  const button = $('read-button');
  button.disabled = true;
  showMessage('Waiting for a card…', 'wait');
  try {
    const res = await fetch('/v1/read', {
      method: 'POST',
      headers: authHeaders({'Content-Type': 'application/json'}),
      body: JSON.stringify({deadline_ms: READ_DEADLINE_MS, appended_address: true}),
    });
    const body = await res.json();
    if (res.status === 401) {
      askForToken();
    } else if (res.ok) {
      showMessage('', '');
      // The card read on request comes back here alone, never on the stream.
      showCard(body);
    } else {
      showMessage(`${body.message} (${res.status} ${body.error})`, 'bad');
    }
  } catch (err) {
    showMessage('The service cannot be reached: ' + err.message, 'bad');
  } finally {
    button.disabled = false;
  }
}

async function refreshStatus() {
  try {
    const res = await fetch('/v1/status', {headers: authHeaders({})});
    if (res.ok) showStatus(await res.json());
  } catch (err) {
    setBadge('reader-state', 'unknown', 'unknown');
  }
}

async function start() {
  try {
    const res = await fetch('/v1/status', {headers: authHeaders({})});
    if (res.status === 401) {
      askForToken();
      return;
    }
    showStatus(await res.json());
    $('token-form').hidden = true;
    showMessage('', '');
    connectEvents();
  } catch (err) {
    setBadge('stream-state', 'offline', 'bad');
    showMessage('The service cannot be reached: ' + err.message, 'bad');
  }
}

$('read-button').addEventListener('click', readCard);
$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  state.token = $('token').value.trim();
  sessionStorage.setItem(TOKEN_KEY, state.token);
  start();
});
start();
