// The front panel page: draws what kelpanel reports and sends the keys,
// the temperature and the actions back. Two long polls run side by side:
// /frame for the LCD pixels, /state for everything else; each passes the
// number of what it has and gets an answer when something changed.
'use strict';

const W = 320, H = 240;
const $ = (id) => document.getElementById(id);
const lcd = $('lcd');
const ctx = lcd.getContext('2d');
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Frames drawn: in all, and those of the last second; seq is kelpanel's
// frame number, one per change of the frame buffer it saw (read by tests).
const stats = { frames: 0, fps: 0, stamps: [], seq: 0 };
window.panelStats = stats;

function countFrame() {
  const now = performance.now();
  stats.frames++;
  stats.stamps.push(now);
  pruneStamps(now);
}

function pruneStamps(now) {
  while (stats.stamps.length && stats.stamps[0] < now - 1000) stats.stamps.shift();
  stats.fps = stats.stamps.length;
}

setInterval(() => {
  pruneStamps(performance.now());
  $('fps').textContent = stats.fps + ' frames/s (' + stats.frames + ' drawn)';
}, 500);

function note(text) {
  $('action').textContent = text;
}

async function frameLoop() {
  let seq = '0';
  for (;;) {
    try {
      const r = await fetch('/frame?after=' + seq, { cache: 'no-store' });
      seq = r.headers.get('X-Frame-Seq') || seq;
      stats.seq = Number(seq);
      if (r.status === 200) {
        const buf = await r.arrayBuffer();
        if (buf.byteLength === W * H * 4) {
          ctx.putImageData(new ImageData(new Uint8ClampedArray(buf), W, H), 0, 0);
          countFrame();
        }
      } else if (r.status !== 204) {
        await sleep(500);
      }
    } catch (e) {
      note('the panel does not answer (kelpanel stopped?)');
      await sleep(1000);
    }
  }
}

// LEDs on the kernel's timer trigger blink by themselves; the page blinks
// them with the trigger's delays when these are slow enough to see (a
// faster blink looks steady to the eye, and is shown so).
const VISIBLE_BLINK_MS = 50;
const ledTimers = {};

function showLed(name, led) {
  const lamp = $('led-' + name);
  clearTimeout(ledTimers[name]);
  const lit = led.lit === 1;
  if (lit && led.timer === 1 && led.on >= VISIBLE_BLINK_MS && led.off >= VISIBLE_BLINK_MS) {
    const phase = (on) => {
      lamp.classList.toggle('on', on);
      ledTimers[name] = setTimeout(() => phase(!on), on ? led.on : led.off);
    };
    phase(true);
    return;
  }
  lamp.classList.toggle('on', lit);
}

let sliderBusy = false;

function showState(s) {
  for (const name of ['green', 'red', 'alarm']) showLed(name, s.leds[name]);
  $('mode').textContent = s.mode >= 0 ? s.modeName : 'unknown (control daemon not up)';
  $('backlight').textContent = s.backlight >= 0
    ? s.backlight + ' of ' + (s.backlightMax > 0 ? s.backlightMax : 100) : '-';
  $('temp').textContent = s.tempOk ? (s.temp / 1000).toFixed(1) + ' \u00b0C' : 'sensor off the board';
  if (s.tempOk && !sliderBusy) {
    $('temp-slider').value = s.temp / 1000;
    $('temp-set').textContent = (s.temp / 1000).toFixed(1) + ' \u00b0C';
  }
  const links = $('links');
  links.textContent = '';
  if (!s.meter) {
    links.textContent = 'meter address unknown';
  } else {
    for (const [key, label] of [['startup', 'startup'], ['screen', 'screen'], ['nonscreen', 'non-screen']]) {
      const span = document.createElement('span');
      const up = s.links[key] === 1;
      span.className = up ? 'up' : 'down-link';
      span.id = 'link-' + key;
      span.textContent = label + (up ? ' up' : ' down');
      if (links.childNodes.length) links.appendChild(document.createTextNode(', '));
      links.appendChild(span);
    }
    links.appendChild(document.createTextNode(' (meter ' + s.meter + ')'));
  }
  $('journal').textContent = s.journal || '(empty)';
  $('errors').textContent = s.errors || '(empty)';
  if (s.action) note(s.action);
  const out = $('station-out');
  out.hidden = !s.station.output && !s.station.running;
  out.textContent = s.station.output;
}

async function stateLoop() {
  let seq = '0';
  for (;;) {
    try {
      const r = await fetch('/state?after=' + seq, { cache: 'no-store' });
      seq = r.headers.get('X-State-Seq') || seq;
      if (r.status === 200) showState(await r.json());
      else if (r.status !== 204) await sleep(500);
    } catch (e) {
      note('the panel does not answer (kelpanel stopped?)');
      await sleep(1000);
    }
  }
}

async function post(url, body) {
  try {
    const r = await fetch(url, { method: 'POST', body: body });
    const text = (await r.text()).trim();
    if (!r.ok || text !== 'ok') note(text);
    return r.ok;
  } catch (e) {
    note('the panel does not answer (kelpanel stopped?)');
    return false;
  }
}

// Keys: press when a button or keyboard key goes down, release when it
// comes up; the repeats of a held key come from kelpanel, as from the
// board's keypad driver.
const held = new Set();

// Key requests go out one after the other: requests in flight together may
// reach kelpanel in any order, and a release that overtakes its press (or
// a combination whose keys arrive shuffled) is not what the user did.
let keyChain = Promise.resolve();
function postKey(url) {
  keyChain = keyChain.then(() => post(url));
  return keyChain;
}

function keyDown(name) {
  if (name === 'comb') return postKey('/key?name=comb&action=press');
  if (held.has(name)) return;
  held.add(name);
  $('key-' + name).classList.add('down');
  postKey('/key?name=' + name + '&action=press');
}

function keyUp(name) {
  if (!held.has(name)) return;
  held.delete(name);
  $('key-' + name).classList.remove('down');
  postKey('/key?name=' + name + '&action=release');
}

for (const button of document.querySelectorAll('.keys button')) {
  const name = button.dataset.key;
  button.addEventListener('pointerdown', (e) => {
    button.setPointerCapture(e.pointerId);
    keyDown(name);
  });
  for (const ev of ['pointerup', 'pointercancel', 'lostpointercapture']) {
    button.addEventListener(ev, () => keyUp(name));
  }
}

const keyboard = {
  ArrowUp: 'up', ArrowDown: 'down', ArrowLeft: 'left', ArrowRight: 'right',
  Home: 'home', Escape: 'comb',
};

document.addEventListener('keydown', (e) => {
  const name = keyboard[e.key];
  if (!name || e.target.tagName === 'INPUT') return;
  e.preventDefault();
  if (!e.repeat) keyDown(name);
});
document.addEventListener('keyup', (e) => {
  const name = keyboard[e.key];
  if (!name || e.target.tagName === 'INPUT') return;
  e.preventDefault();
  keyUp(name);
});
// A window that loses the focus gets no keyup: its keys come up now.
window.addEventListener('blur', () => { for (const name of [...held]) keyUp(name); });

const slider = $('temp-slider');
slider.addEventListener('input', () => {
  sliderBusy = true;
  $('temp-set').textContent = Number(slider.value).toFixed(1) + ' \u00b0C';
});
slider.addEventListener('change', async () => {
  await post('/temperature?milli=' + Math.round(Number(slider.value) * 1000));
  sliderBusy = false;
});

$('zoom').addEventListener('change', (e) => lcd.classList.toggle('zoom', e.target.checked));
$('drop-link').addEventListener('click', () => post('/link/drop'));
$('station').addEventListener('click', () => post('/station/run'));
$('upload').addEventListener('click', () => {
  const file = $('package').files[0];
  if (!file) {
    note('choose an upgrade package first');
    return;
  }
  post('/upload', file);
});

frameLoop();
stateLoop();
