// The browser companion's page. It trades the address's token for a session,
// follows the agent's event stream, ticks the shot clock between events, and
// asks the agent for the pace of the day against the viewer's target. It
// reconnects by itself whenever the stream breaks, and says why when it cannot.
'use strict';

const $ = (id) => document.getElementById(id);
const TOKEN_KEY = 'vantle-token';
const PLAN_KEY = 'vantle-plan';
const STALE_AFTER = 40000;  // the agent pings every 15 s; silence this long means a dead stream

let stream = null;
let view = null;
let viewReceivedAt = 0;
let lastMessageAt = 0;
let retryDelay = 1000;
let retryTimer = null;
let lost = false;  // the token no longer opens the shoot

// ---- Words and numbers -----------------------------------------------------------

function duration(seconds) {
  if (seconds == null || !isFinite(seconds)) return '–';
  const whole = Math.max(0, Math.floor(seconds));
  const h = Math.floor(whole / 3600), m = Math.floor((whole % 3600) / 60), s = whole % 60;
  const mm = h > 0 ? String(m).padStart(2, '0') : String(m);
  return (h > 0 ? h + ':' : '') + mm + ':' + String(s).padStart(2, '0');
}

function minutes(seconds) {
  if (seconds == null || !isFinite(seconds)) return '–';
  const sign = seconds < 0 ? '−' : '';
  const m = Math.round(Math.abs(seconds) / 60);
  return m >= 60 ? sign + Math.floor(m / 60) + ' h ' + String(m % 60).padStart(2, '0') + ' min' : sign + m + ' min';
}

function timeOfDay(millis) {
  if (millis == null) return '–';
  return new Date(millis).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit'});
}

function setLink(text, kind) {
  const link = $('link');
  link.textContent = text;
  link.className = 'link' + (kind ? ' ' + kind : '');
}

// ---- The live view -------------------------------------------------------------------

function showView(next) {
  view = next;
  viewReceivedAt = Date.now();
  $('session').textContent = next.sessionName || 'Orvane Vantle';
  $('count').textContent = String(next.frameCount);
  $('shot').textContent = next.shotName || 'No shot open';
  $('folder').textContent = next.folder || '';
  const trouble = next.status !== 'ok' || next.remedy || next.warning;
  $('status').hidden = !trouble;
  $('status-line').textContent = next.warning && next.status === 'ok' ? next.warning : next.statusLine;
  $('remedy').textContent = next.remedy || '';
  const t = next.totals;
  $('looks').textContent = String(t.shotsCompleted);
  $('frames-today').textContent = String(t.framesThisShoot);
  $('shot-time').textContent = duration(t.shotTime);
  $('setup-time').textContent = duration(t.betweenTime);
  $('per-look').textContent = t.averageShotCost == null ? '–' : minutes(t.averageShotCost);
  tickClock();
}

function tickClock() {
  if (!view) return;
  const c = view.clock;
  let elapsed = c.elapsed;
  const ticking = c.running && !c.waiting;
  if (ticking) elapsed += Math.min(Date.now() - viewReceivedAt, c.runsFor * 1000) / 1000;
  const stopped = ticking && Date.now() - viewReceivedAt >= c.runsFor * 1000;
  $('clock').textContent = duration(elapsed);
  const state = $('clock-state');
  if (!c.running) { state.textContent = 'no shot'; state.className = 'clock-state'; }
  else if (c.waiting || stopped) { state.textContent = 'idle'; state.className = 'clock-state'; }
  else { state.textContent = 'running'; state.className = 'clock-state running'; }
}

function showFrame(frame) {
  const img = $('frame');
  if (frame.fileName == null) {
    img.hidden = true;
    img.removeAttribute('src');
    $('frame-name').textContent = '';
    return;
  }
  img.src = '/frame.jpg?v=' + encodeURIComponent(frame.version);
  img.hidden = false;
  $('frame-name').textContent = frame.fileName;
}

function shotItem(shot) {
  const li = document.createElement('li');
  li.dataset.seq = String(shot.seq);
  let picture;
  if (shot.thumbnail) {
    picture = document.createElement('img');
    picture.src = shot.thumbnail;
    picture.alt = shot.name;
    picture.loading = 'lazy';
  } else {
    picture = document.createElement('div');
    picture.className = 'no-picture';
  }
  const text = document.createElement('div');
  const name = document.createElement('p');
  name.className = 'name';
  name.textContent = shot.name + (shot.isRevisit ? ' (again)' : '');
  const facts = document.createElement('p');
  facts.className = 'facts';
  facts.textContent = timeOfDay(shot.openedAt) + '–' + timeOfDay(shot.closedAt) + ' · ' +
      shot.frames + (shot.frames === 1 ? ' frame' : ' frames') + ' · ' + duration(shot.duration);
  text.append(name, facts);
  li.append(picture, text);
  return li;
}

function showShots(shots) {
  $('shots').replaceChildren(...shots.map(shotItem));
}

function addShot(shot) {
  const list = $('shots');
  if (list.querySelector('li[data-seq="' + shot.seq + '"]')) return;
  list.prepend(shotItem(shot));
}

// ---- Connecting ------------------------------------------------------------------------

function currentToken() {
  const fromAddress = location.hash.slice(1);
  if (/^[0-9a-f]{32}$/.test(fromAddress)) {
    sessionStorage.setItem(TOKEN_KEY, fromAddress);
    // Out of sight: the token stays with this tab, not in the address bar.
    history.replaceState(null, '', location.pathname);
  }
  return sessionStorage.getItem(TOKEN_KEY);
}

function retryLater(text) {
  setLink(text, 'trouble');
  clearTimeout(retryTimer);
  retryTimer = setTimeout(connect, retryDelay);
  retryDelay = Math.min(retryDelay * 2, 10000);
}

async function connect() {
  clearTimeout(retryTimer);
  if (stream) { stream.close(); stream = null; }
  const token = currentToken();
  if (!token) {
    setLink('Open the address of the browser QR code the agent shows.', 'trouble');
    return;
  }
  let answer;
  try {
    answer = await fetch('/session', {method: 'POST', body: token, cache: 'no-store', credentials: 'same-origin'});
  } catch (error) {
    retryLater('Cannot reach the agent. Trying again…');
    return;
  }
  if (answer.status === 403) {
    lost = true;
    setLink('This address no longer opens the shoot: scan the browser QR code the agent shows now.', 'trouble');
    return;
  }
  if (!answer.ok) {
    retryLater('The agent did not let this page in (' + answer.status + '). Trying again…');
    return;
  }
  follow();
}

function follow() {
  const events = new EventSource('/events');
  stream = events;
  lastMessageAt = Date.now();
  const heard = () => { lastMessageAt = Date.now(); };
  events.onopen = () => {
    heard();
    retryDelay = 1000;
    setLink('Live', 'live');
  };
  events.onmessage = heard;
  events.addEventListener('view', (e) => { heard(); showView(JSON.parse(e.data)); });
  events.addEventListener('shots', (e) => { heard(); showShots(JSON.parse(e.data)); refreshPlan(); });
  events.addEventListener('shot', (e) => { heard(); addShot(JSON.parse(e.data)); refreshPlan(); });
  events.addEventListener('frame', (e) => { heard(); showFrame(JSON.parse(e.data)); });
  events.onerror = () => {
    if (stream !== events) return;
    if (events.readyState === EventSource.CLOSED) {
      // Refused (a restarted agent has forgotten the session): trade the token again.
      stream = null;
      retryLater('Reconnecting…');
    } else {
      setLink('Reconnecting…', 'trouble');
    }
  };
}

// A stream can die without an error (a laptop asleep, a network gone): the
// agent's pings stop, and the page starts over.
setInterval(() => {
  tickClock();
  if (stream && Date.now() - lastMessageAt > STALE_AFTER) {
    stream.close();
    stream = null;
    retryLater('The agent went quiet. Reconnecting…');
  }
}, 250);

// ---- Pace and wrap ---------------------------------------------------------------------

function savedPlan() {
  try { return JSON.parse(localStorage.getItem(PLAN_KEY)) || {}; } catch (error) { return {}; }
}

function wrapMillis(text) {
  const match = /^(\d{2}):(\d{2})$/.exec(text || '');
  if (!match) return null;
  const at = new Date();
  at.setHours(Number(match[1]), Number(match[2]), 0, 0);
  return at.getTime();
}

let planTimer = null;
async function refreshPlan() {
  clearTimeout(planTimer);
  planTimer = setTimeout(refreshPlan, 60000);
  const plan = savedPlan();
  const target = Number(plan.target);
  if (!Number.isInteger(target) || target < 1 || lost) {
    $('plan').hidden = true;
    $('plan-note').textContent = 'Enter the day\u2019s target to see the pace and the wrap.';
    return;
  }
  const query = new URLSearchParams();
  query.set(plan.unit === 'frames' ? 'frames' : 'looks', String(target));
  const wrap = wrapMillis(plan.wrap);
  if (wrap != null) query.set('wrap', String(wrap));
  let reply;
  try {
    const answer = await fetch('/plan?' + query, {cache: 'no-store', credentials: 'same-origin'});
    reply = await answer.json();
    if (!answer.ok) { $('plan-note').textContent = reply.error || 'The agent cannot work the plan out.'; return; }
  } catch (error) {
    return;  // the stream says what is wrong with the connection
  }
  showPlan(reply);
}

function showPlan(reply) {
  $('plan').hidden = false;
  $('wrap-label').textContent = reply.wrapLabel;
  $('wrap-time').textContent = timeOfDay(reply.wrapTime);
  $('wrap-range').textContent = reply.earliestWrapAt != null && reply.latestWrapAt != null &&
      reply.earliestWrapAt !== reply.latestWrapAt ?
      timeOfDay(reply.earliestWrapAt) + ' to ' + timeOfDay(reply.latestWrapAt) : '';
  $('looks-left').textContent = reply.shotsRemaining == null ? '–' : String(reply.shotsRemaining);
  $('pace').textContent = minutes(reply.averagePace);
  $('needed').textContent = minutes(reply.requiredPace);
  const slack = $('slack');
  slack.textContent = minutes(reply.slack);
  slack.className = 'value' + (reply.slack == null ? '' : reply.slack < 0 ? ' behind' : ' ahead');
  const notes = [];
  if (reply.looksEstimated) notes.push('About ' + reply.plannedLooks + ' looks at today\u2019s frames per look.');
  if (reply.framesRemaining != null) notes.push(reply.framesRemaining + ' frames to go.');
  if (reply.unit === 'frames' && reply.plannedLooks == null) notes.push('The pace shows once the first look is done.');
  if (reply.isOverPlan) notes.push('More looks done than planned.');
  if (reply.isPastTarget) notes.push('The wrap time has passed.');
  $('plan-note').textContent = notes.join(' ');
}

function setUpPlanForm() {
  const plan = savedPlan();
  if (plan.target) $('target').value = plan.target;
  if (plan.unit) $('unit').value = plan.unit;
  if (plan.wrap) $('wrap').value = plan.wrap;
  const save = () => {
    localStorage.setItem(PLAN_KEY, JSON.stringify({target: $('target').value, unit: $('unit').value, wrap: $('wrap').value}));
    refreshPlan();
  };
  $('plan-form').addEventListener('input', save);
  $('plan-form').addEventListener('submit', (e) => { e.preventDefault(); save(); });
}

setUpPlanForm();
connect();
