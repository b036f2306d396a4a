// The page around the engine: it draws the state the engine's side decides
// (Module.tarvikView), forwards the buttons, the timers and the bytes read to it, guides the
// operator step by step, checks a chosen file before anything is sent, keeps the line
// settings in the browser's storage, and says plainly where the browser cannot serve.
// Loaded after texts.js and line.js and before tarvik.js, which picks up the Module defined
// here.
'use strict';

const kSettingsKey = 'tarvik.settings';
const kSelectIds = ['parity', 'databits', 'stopbits'];
const kImageFolder = '/image';
// The lamp's pictures show this colour (RGB 0, 255, 0) where the page's background shows;
// the pictures as drawn for the window fill their background with the window's grey.
const kLampBackgrounds = [[0, 255, 0], [240, 240, 240]];
const kLampPictures = {on: 'lamp_on.bmp', off: 'lamp_off.bmp'};
// Web Serial has no 1.5 stop bits: that item of the window's list is not offered.
const kStopBitsUnavailable = '1.5';
// A search this long without an answer brings up the checklist; the search goes on.
const kSearchHintMs = 15000;
// Status announcements for screen readers: at these fractions of the blocks.
const kAnnounceSteps = 4;
// The USB-serial chips a person knows an adapter by, by vendor and product id.
const kUsbChips = {
    '1a86:7523': 'CH340', '1a86:5523': 'CH341', '1a86:7522': 'CH340K', '1a86:55d4': 'CH9102',
    '1a86:55d3': 'CH343', '0403:6001': 'FT232R', '0403:6010': 'FT2232', '0403:6011': 'FT4232',
    '0403:6014': 'FT232H', '0403:6015': 'FT231X', '10c4:ea60': 'CP210x', '10c4:ea70': 'CP2105',
    '10c4:ea71': 'CP2108', '067b:2303': 'PL2303', '067b:23a3': 'PL2303GC', '067b:23c3': 'PL2303GT',
    '0483:5740': 'STM32 CDC', '2341:0043': 'Arduino Uno',
};

const byId = (id) => document.getElementById(id);
const hooks = window.tarvikTestHooks || {};

// ---- words: the page's own (texts.js) and those shared with the window (the engine's) ----
const language = pageLanguage(navigator.languages);
let sharedTexts = {};
function t(key, values = {}) {
    const own = kPageTexts[language];
    let text = language === 'zh' ? (sharedTexts[key] ?? own[key]) : (own[key] ?? sharedTexts[key]);
    if (text === undefined) text = kPageTexts.zh[key] ?? key;
    return text.replace(/\{(\w+)\}/g, (match, name) => String(values[name] ?? match));
}
function applyTexts() {
    document.documentElement.lang = language === 'zh' ? 'zh-CN' : 'en';
    document.title = t('title');
    for (const element of document.querySelectorAll('[data-t]')) {
        element.textContent = t(element.dataset.t);
    }
    byId('start').textContent = t('start');
    byId('stop').textContent = t('stop');
    byId('message-ok').textContent = t('ok');
    byId('info-label').textContent = `${t('infoLabel')}${language === 'zh' ? '：' : ':'}`;
    byId('progress').setAttribute('aria-label', t('progressLabel'));
}

// ---- what the page knows of the operator's progress ----
const ui = {
    usable: false,     // the engine has loaded and the browser can reach a serial port
    portChosen: false,
    portOpen: false,
    file: null,        // the chosen file, checked; null while none (or a refused one)
    running: false,
    starting: false,   // the file is being read for a start
    outcome: null,     // 'succeeded' | 'failed' | 'stopped' of the last upgrade
};

function updateControls() {
    const idle = !ui.running && !ui.starting;
    byId('port-choose').disabled = !ui.usable || ui.portOpen || !idle;
    byId('port-open').disabled = !ui.usable || !ui.portChosen;
    for (const id of kSelectIds) byId(id).disabled = !ui.usable;
    byId('image-choose').disabled = !ui.usable || !idle;
    byId('start').disabled = !ui.usable || !ui.portOpen || !ui.file || !idle;
    byId('stop').disabled = !ui.running;
    byId('port-open').textContent = t(ui.portOpen ? 'close' : 'open');

    const step = !ui.portChosen ? 1 : !ui.portOpen ? 2 : !ui.file ? 3 : 4;
    for (const item of byId('steps').children) {
        const n = Number(item.dataset.step);
        item.classList.toggle('done', n < step);
        if (n === step) item.setAttribute('aria-current', 'step');
        else item.removeAttribute('aria-current');
    }
    let hint = '';
    if (ui.usable) {
        if (ui.running) hint = t('hintRunning');
        else if (step < 4) hint = t(`hint${step}`);
        else if (ui.outcome === 'succeeded') hint = t('hintDone');
        else if (ui.outcome === 'failed') hint = t('hintFailed');
        else hint = t('hint4');
    }
    byId('hint').textContent = hint;
}

// ---- the message box: one at a time, in order, never blocking the engine ----
const messages = [];
function showNextMessage() {
    const box = byId('message');
    if (box.open || messages.length === 0) return;
    byId('message-text').textContent = messages.shift();
    box.showModal();
}

// ---- the lamp: the pictures with their transparent colour keyed out, both one size ----
const lampImages = {};
function loadImage(url) {
    return new Promise((resolve) => {
        const image = new Image();
        image.onload = () => resolve(image);
        image.onerror = () => resolve(null);
        image.src = url;
    });
}
// Makes the picture's background transparent: the background colours reachable from its
// edge (a grey inside the lamp stays).
function clearBackground(pixels) {
    const {width, height, data} = pixels;
    const isBackground = (i) => kLampBackgrounds.some(
        ([r, g, b]) => data[i] === r && data[i + 1] === g && data[i + 2] === b && data[i + 3] !== 0);
    const stack = [];
    for (let x = 0; x < width; x++) stack.push([x, 0], [x, height - 1]);
    for (let y = 0; y < height; y++) stack.push([0, y], [width - 1, y]);
    while (stack.length) {
        const [x, y] = stack.pop();
        if (x < 0 || y < 0 || x >= width || y >= height) continue;
        const i = (y * width + x) * 4;
        if (data[i + 3] === 0 || !isBackground(i)) continue;
        data[i + 3] = 0;
        stack.push([x + 1, y], [x - 1, y], [x, y + 1], [x, y - 1]);
    }
}
async function prepareLamp() {
    const on = await loadImage(kLampPictures.on);
    const off = await loadImage(kLampPictures.off);
    const loaded = [on, off].filter(Boolean);
    if (!loaded.length) return;
    const width = Math.max(...loaded.map((image) => image.naturalWidth));
    const height = Math.max(...loaded.map((image) => image.naturalHeight));
    for (const [name, image] of [['on', on], ['off', off]]) {
        if (!image) continue;
        const canvas = document.createElement('canvas');
        canvas.width = width;
        canvas.height = height;
        const context = canvas.getContext('2d');
        // Centred on a transparent canvas of the larger picture's size.
        const x = Math.floor((width - image.naturalWidth) / 2);
        const y = Math.floor((height - image.naturalHeight) / 2);
        context.drawImage(image, x, y);
        const pixels = context.getImageData(0, 0, width, height);
        clearBackground(pixels);
        context.putImageData(pixels, 0, 0);
        lampImages[name] = {url: canvas.toDataURL('image/png'), width, height};
    }
}
function drawLamp() {
    const lamp = byId('lamp');
    lamp.alt = t(ui.portOpen ? 'lampOn' : 'lampOff');
    const picture = lampImages[ui.portOpen ? 'on' : 'off'];
    if (!picture) return;
    lamp.src = picture.url;
    lamp.width = picture.width;
    lamp.height = picture.height;
}

// ---- the lists, from the window's tables; the settings the browser keeps ----
// An option's value is the item's index in the window's list, which is the code the engine
// reads (the page leaves out what Web Serial lacks).
function fillLists(tables) {
    const defaults = {parity: 'NONE', databits: '8', stopbits: '1'};
    for (const id of kSelectIds) {
        const select = byId(id);
        select.textContent = '';
        tables[id].forEach((item, index) => {
            if (id === 'stopbits' && item === kStopBitsUnavailable) return;
            const option = new Option(item, String(index));
            option.selected = item === defaults[id];
            select.add(option);
        });
    }
}
function restoreSettings() {
    let stored = null;
    try {
        stored = JSON.parse(localStorage.getItem(kSettingsKey) || 'null');
    } catch (error) {
        stored = null;  // unreadable: the defaults stay
    }
    if (!stored) return;
    for (const id of kSelectIds) {
        const code = stored[id];
        const select = byId(id);
        if (Number.isInteger(code) && [...select.options].some((o) => o.value === String(code))) {
            select.value = String(code);
        }
    }
}
function saveSettings() {
    const settings = {};
    for (const id of kSelectIds) settings[id] = Number(byId(id).value);
    try {
        localStorage.setItem(kSettingsKey, JSON.stringify(settings));
    } catch (error) {
        // Storage refused (private mode, full): the choices last for this visit only.
    }
}

// ---- timers by the event loop, by the engine's ids ----
const timers = new Map();

// ---- the upgrade's state as the engine's side decides it ----
let searchHintTimer = null;
let announcedQuarter = 0;
function announce(text) { byId('announce').textContent = text; }
function stopSearchHint() {
    clearTimeout(searchHintTimer);
    searchHintTimer = null;
    byId('checklist').hidden = true;
}
function reasonText(reason, block) {
    if (reason === 'rejected' && block > 0) return t('reason-rejected-block', {n: block});
    return t(`reason-${reason}`, {n: block});
}
function setProgress(done, total) {
    const bar = byId('progress');
    bar.max = Math.max(1, total);
    bar.value = Math.min(done, bar.max);
    bar.setAttribute('aria-valuetext', t('progressValue', {k: done, n: total}));
}
function showOutcome(outcome) {
    const phase = byId('phase');
    phase.classList.toggle('outcome-succeeded', outcome === 'succeeded');
    phase.classList.toggle('outcome-failed', outcome === 'failed');
}

function drawState(stage, reason, block, done, total) {
    const phase = byId('phase');
    const info = byId('info');
    const bar = byId('progress');
    if (stage !== 'searching') stopSearchHint();
    switch (stage) {
        case 'searching':
            if (!ui.running) {
                ui.running = true;
                ui.outcome = null;
                announcedQuarter = 0;
                showOutcome(null);
                phase.textContent = t('searching');
                info.textContent = '';
                bar.removeAttribute('value');  // indeterminate while searching
                bar.setAttribute('aria-valuetext', t('progressSearching'));
                announce(t('searching'));
                const delay = hooks.searchHintMs ?? kSearchHintMs;
                searchHintTimer = setTimeout(() => {
                    info.textContent = t('hintSearchLong');
                    byId('checklist').hidden = false;
                }, delay);
            }
            break;
        case 'upgrading': {
            if (announcedQuarter === 0) {
                announcedQuarter = 1;  // the board answered
                announce(t('found'));
            }
            phase.textContent = `${done}/${total}`;
            info.textContent = t('found');
            setProgress(done, total);
            const quarter = total ? Math.floor((done * kAnnounceSteps) / total) : 0;
            if (quarter > 0 && quarter < kAnnounceSteps && quarter + 1 > announcedQuarter) {
                announcedQuarter = quarter + 1;
                announce(t('announceQuarter', {p: (quarter * 100) / kAnnounceSteps}));
            }
            break;
        }
        case 'succeeded':
            ui.running = false;
            ui.outcome = 'succeeded';
            phase.textContent = t('succeeded');
            info.textContent = t('succeeded');
            setProgress(total, total);
            showOutcome('succeeded');
            announce(t('succeeded'));
            break;
        case 'failed':
            ui.running = false;
            ui.outcome = 'failed';
            phase.textContent = t('failed');
            info.textContent = reasonText(reason, block);
            if (!bar.hasAttribute('value')) setProgress(0, total);
            showOutcome('failed');
            announce(`${t('failed')}：${reasonText(reason, block)}`);
            break;
        case 'stopped':
            ui.running = false;
            ui.outcome = 'stopped';
            phase.textContent = t('stopped');
            info.textContent = total ? t('progressValue', {k: done, n: total}) : '';
            if (!bar.hasAttribute('value')) setProgress(0, total);
            showOutcome(null);
            announce(t('stopped'));
            break;
        default:  // idle: a start refused, or the port lost while nothing ran
            if (reason === 'bad-image') refuseFile(t('refusedMarker'));
            else if (reason === 'too-big') refuseFile(t('refusedHuge'));
            else if (reason === 'read-failed') refuseFile(t('fileChanged'));
            else if (reason === 'port-lost') info.textContent = t('reason-port-lost');
            else if (reason === 'port-not-open') info.textContent = t('openPortFirst');
            else if (reason === 'no-file') info.textContent = t('chooseFileFirst');
            break;
    }
    updateControls();
}

var Module = {
    tarvikView: {
        state: drawState,
        message(text) {
            messages.push(text);
            showNextMessage();
        },
        lamp(lit) {
            ui.portOpen = lit;
            drawLamp();
            updateControls();
        },
        // The code of the chosen item (its index in the window's list); -1 when none.
        selection(id) {
            const value = byId(id).value;
            return value === '' ? -1 : Number(value);
        },
        armTimer(id, ms) {
            this.stopTimer(id);
            timers.set(id, setInterval(() => Module._tarvik_page_timer(id), ms));
        },
        stopTimer(id) {
            if (timers.has(id)) {
                clearInterval(timers.get(id));
                timers.delete(id);
            }
        },
    },
    onRuntimeInitialized() {
        pageReady();
    },
    onAbort() {
        engineFailed();
    },
};

// The engine's script or its WebAssembly could not be loaded or started.
function engineFailed() {
    byId('loading').hidden = true;
    byId('engine-failed').hidden = false;
    ui.usable = false;
    updateControls();
    document.body.dataset.ready = 'failed';
}

// Received bytes go into the engine's memory through one buffer, grown when a chunk is larger.
let receiveBuffer = 0;
let receiveBufferSize = 0;
function deliverBytes(bytes, arrivalMs) {
    if (bytes.length > receiveBufferSize) {
        if (receiveBuffer) Module._free(receiveBuffer);
        receiveBufferSize = bytes.length;
        receiveBuffer = Module._malloc(receiveBufferSize);
    }
    Module.HEAPU8.set(bytes, receiveBuffer);
    Module._tarvik_page_received(receiveBuffer, bytes.length, arrivalMs);
}

Module.tarvikLine = new WebSerialLine(
    (bytes, arrivalMs) => deliverBytes(bytes, arrivalMs),
    () => Module._tarvik_page_line_lost(),
    () => Module._tarvik_page_line_reopened());

// ---- the port the operator chose, named as a person knows it ----
function describePort(port) {
    const info = port.getInfo ? port.getInfo() : {};
    if (info.usbVendorId === undefined) return t('serialPort');
    const hex = (n) => (n || 0).toString(16).padStart(4, '0');
    const ids = `${hex(info.usbVendorId)}:${hex(info.usbProductId)}`;
    const chip = kUsbChips[ids];
    return chip ? `${t('usbSerial')} ${chip} (${ids})` : `${t('usbSerial')} ${ids}`;
}
async function choosePort() {
    try {
        const port = await navigator.serial.requestPort();
        usePort(port);
    } catch (error) {
        // Cancelled by the operator (NotFoundError): the previous choice stays.
    }
}
function usePort(port) {
    Module.tarvikLine.setPort(port);
    ui.portChosen = true;
    byId('port-name').textContent = describePort(port);
    byId('port-name').removeAttribute('data-t');
    updateControls();
}

// ---- the file: checked when chosen, read again at the start ----
function refuseFile(text) {
    ui.file = null;
    const refused = byId('image-refused');
    refused.textContent = text;
    refused.hidden = false;
    updateControls();
}
async function readFile(file) {
    return new Uint8Array(await file.arrayBuffer());
}
// True when the engine's image check takes `bytes` (the marker is there).
function imageLooksRight(bytes) {
    const at = Module._malloc(Math.max(1, bytes.length));
    try {
        Module.HEAPU8.set(bytes, at);
        return Module._tarvik_page_image_ok(at, bytes.length) !== 0;
    } finally {
        Module._free(at);
    }
}
async function fileChosen() {
    const file = byId('image-file').files[0];
    ui.file = null;
    byId('image-refused').hidden = true;
    byId('image-name').removeAttribute('data-t');
    byId('image-name').textContent = file ? file.name : t('noFile');
    if (!file) {
        updateControls();
        return;
    }
    if (file.size === 0) return refuseFile(t('refusedEmpty'));
    if (file.size > Module._tarvik_page_image_capacity()) return refuseFile(t('refusedHuge'));
    let bytes;
    try {
        bytes = await readFile(file);
    } catch (error) {
        return refuseFile(t('readFailed'));
    }
    if (byId('image-file').files[0] !== file) return;  // chosen again meanwhile
    if (!imageLooksRight(bytes)) return refuseFile(t('refusedMarker'));
    ui.file = file;
    updateControls();
}

// Writes the file where the engine's image loader reads it. The browser refuses to read a
// file that changed on disk since it was chosen; so does the page, rather than send a file
// the operator did not check.
async function stageImage(file) {
    const bytes = await readFile(file);
    const FS = Module.FS;
    try { FS.mkdir(kImageFolder); } catch (error) { /* already there */ }
    for (const old of FS.readdir(kImageFolder)) {
        if (old !== '.' && old !== '..') FS.unlink(`${kImageFolder}/${old}`);
    }
    const path = `${kImageFolder}/image.bin`;
    FS.writeFile(path, bytes);
    return path;
}

async function start() {
    if (byId('start').disabled) return;
    ui.starting = true;
    // The button is about to be disabled: the focus goes to the status line, which a key
    // press cannot act on, so a second Space does nothing (and never reaches 停止).
    byId('phase').focus();
    updateControls();
    let path;
    try {
        path = await stageImage(ui.file);
    } catch (error) {
        ui.starting = false;
        refuseFile(t('fileChanged'));
        return;
    }
    ui.starting = false;
    Module.ccall('tarvik_page_start', null, ['string', 'string'], [path, ui.file.name]);
    updateControls();
}

async function pageReady() {
    sharedTexts = JSON.parse(Module.UTF8ToString(Module._tarvik_page_tables()));
    fillLists(sharedTexts);
    sharedTexts = sharedTexts.texts;
    restoreSettings();
    applyTexts();
    await prepareLamp();
    drawLamp();
    byId('loading').hidden = true;
    ui.usable = canReachSerial();
    byId('port-open').addEventListener('click', () => Module._tarvik_page_open_close());
    byId('start').addEventListener('click', () => { start(); });
    byId('stop').addEventListener('click', () => Module._tarvik_page_stop());
    if (ui.usable) {
        // A port granted on an earlier visit is offered again without asking.
        navigator.serial.getPorts().then((ports) => {
            if (ports.length && !Module.tarvikLine.hasPort()) usePort(ports[0]);
        });
    }
    updateControls();
    document.body.dataset.ready = 'true';
}

// A page reaches a serial port only in a secure context (https, or localhost) of a browser
// with Web Serial; each lack has its own note.
function canReachSerial() {
    if (!window.isSecureContext) return false;
    return Boolean(navigator.serial);
}

function setUpPage() {
    applyTexts();
    updateControls();
    if (!window.isSecureContext) {
        byId('insecure').hidden = false;
    } else if (!navigator.serial) {
        byId('no-serial').hidden = false;
    }
    for (const id of kSelectIds) byId(id).addEventListener('change', saveSettings);
    byId('port-choose').addEventListener('click', choosePort);
    byId('image-choose').addEventListener('click', () => byId('image-file').click());
    byId('image-file').addEventListener('change', () => { fileChosen(); });
    byId('message').addEventListener('close', showNextMessage);
    window.addEventListener('beforeunload', (event) => {
        if (!ui.running) return;
        event.preventDefault();
        event.returnValue = '';  // older browsers ask only with a return value set
    });
    // Once opened, the page works without the network (sw.js keeps its files).
    if ('serviceWorker' in navigator && window.isSecureContext) {
        navigator.serviceWorker.register('sw.js').catch(() => {});
    }
}

setUpPage();
