// The page around the engine: it draws what the engine decides (Module.tarvikView), forwards
// the buttons, the timers and the bytes read to it, keeps the line settings in the browser's
// storage, and shows a note where the browser has no Web Serial. Loaded before tarvik.js,
// which picks up the Module defined here.
'use strict';

const kSettingsKey = 'tarvik.settings';
const kSelectIds = ['parity', 'databits', 'stopbits'];
const kImageFolder = '/image';
// The lamp's pictures show this colour (RGB 0, 255, 0) where the page's background shows.
const kLampTransparent = [0, 255, 0];
const kLampPictures = {on: 'lamp_on.bmp', off: 'lamp_off.bmp'};

const byId = (id) => document.getElementById(id);
const hasWebSerial = () => Boolean(navigator.serial);

// ---- the message box: one at a time, in order, never blocking the engine ----
const messages = [];
function showNextMessage() {
    const box = byId('message');
    if (box.open || messages.length === 0) return;
    byId('message-text').textContent = messages.shift();
    box.showModal();
}

// ---- the lamp: the pictures with their transparent colour keyed out ----
const lampImages = {};
function keyOutTransparent(url) {
    return new Promise((resolve) => {
        const image = new Image();
        image.onload = () => {
            const canvas = document.createElement('canvas');
            canvas.width = image.naturalWidth;
            canvas.height = image.naturalHeight;
            const context = canvas.getContext('2d');
            context.drawImage(image, 0, 0);
            const pixels = context.getImageData(0, 0, canvas.width, canvas.height);
            const d = pixels.data;
            for (let i = 0; i < d.length; i += 4) {
                if (d[i] === kLampTransparent[0] && d[i + 1] === kLampTransparent[1] &&
                    d[i + 2] === kLampTransparent[2]) {
                    d[i + 3] = 0;
                }
            }
            context.putImageData(pixels, 0, 0);
            resolve({url: canvas.toDataURL('image/png'), width: canvas.width, height: canvas.height});
        };
        image.onerror = () => resolve({url, width: 0, height: 0});
        image.src = url;
    });
}
let lampLit = false;
function drawLamp() {
    const picture = lampImages[lampLit ? 'on' : 'off'];
    const lamp = byId('lamp');
    lamp.alt = lampLit ? '串口已打开' : '串口已关闭';
    if (!picture) return;
    lamp.src = picture.url;
    if (picture.width) {
        lamp.width = picture.width;
        lamp.height = picture.height;
    }
}

// ---- the settings the browser keeps ----
function restoreSettings() {
    let stored = null;
    try {
        stored = JSON.parse(localStorage.getItem(kSettingsKey) || 'null');
    } catch (error) {
        stored = null;  // unreadable: the defaults stay
    }
    if (!stored) return;
    for (const id of kSelectIds) {
        const index = stored[id];
        const select = byId(id);
        if (Number.isInteger(index) && index >= 0 && index < select.options.length) {
            select.selectedIndex = index;
        }
    }
}
function saveSettings() {
    const settings = {};
    for (const id of kSelectIds) settings[id] = byId(id).selectedIndex;
    try {
        localStorage.setItem(kSettingsKey, JSON.stringify(settings));
    } catch (error) {
        // Storage refused (private mode, full): the choices last for this visit only.
    }
}

// ---- timers by the event loop, by the engine's ids ----
const timers = new Map();

// ---- the port the operator chose ----
function describePort(port) {
    const info = port.getInfo ? port.getInfo() : {};
    const hex = (n) => n.toString(16).padStart(4, '0');
    if (info.usbVendorId !== undefined) {
        return `USB ${hex(info.usbVendorId)}:${hex(info.usbProductId || 0)}`;
    }
    return '串口';
}

var Module = {
    tarvikView: {
        setText(id, text) { byId(id).textContent = text; },
        enable(id, enabled) { byId(id).disabled = !enabled; },
        progressRange(minimum, maximum) {
            // A <progress> starts at 0; the engine's range starts at 0 too.
            byId('progress').max = Math.max(1, maximum - minimum);
        },
        progressPos(position) { byId('progress').value = position; },
        message(text) {
            messages.push(text);
            showNextMessage();
        },
        lamp(lit) {
            lampLit = lit;
            drawLamp();
            byId('port-choose').disabled = lit || !hasWebSerial();
        },
        selection(id) { return byId(id).selectedIndex; },
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
};

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
    () => Module._tarvik_page_line_lost());

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
    byId('port-name').textContent = describePort(port);
}

// Writes the chosen file where the engine's image loader reads it; '' when none is chosen.
async function stageImage() {
    const file = byId('image-file').files[0];
    if (!file) return {path: '', name: ''};
    const bytes = new Uint8Array(await file.arrayBuffer());
    const FS = Module.FS;
    try { FS.mkdir(kImageFolder); } catch (error) { /* already there */ }
    for (const old of FS.readdir(kImageFolder)) {
        if (old !== '.' && old !== '..') FS.unlink(`${kImageFolder}/${old}`);
    }
    const path = `${kImageFolder}/image.bin`;
    FS.writeFile(path, bytes);
    return {path, name: file.name};
}

// Reading the file takes a moment; a second press meanwhile is the same press.
let starting = false;
async function start() {
    if (starting) return;
    starting = true;
    try {
        const {path, name} = await stageImage();
        Module.ccall('tarvik_page_start', null, ['string', 'string'], [path, name]);
    } catch (error) {
        // The file could not be read (moved, no permission): as the window says for it.
        Module.tarvikView.message('打开文件失败');
    } finally {
        starting = false;
    }
}

async function pageReady() {
    lampImages.on = await keyOutTransparent(kLampPictures.on);
    lampImages.off = await keyOutTransparent(kLampPictures.off);
    drawLamp();
    byId('port-open').addEventListener('click', () => Module._tarvik_page_open_close());
    byId('start').addEventListener('click', () => { start(); });
    byId('stop').addEventListener('click', () => Module._tarvik_page_stop());
    byId('message').addEventListener('close', showNextMessage);
    document.body.dataset.ready = 'true';
}

function setUpPage() {
    restoreSettings();
    for (const id of kSelectIds) byId(id).addEventListener('change', saveSettings);
    if (!hasWebSerial()) {
        byId('no-serial').hidden = false;
        byId('port-choose').disabled = true;
        byId('port-open').disabled = true;
        byId('start').disabled = true;
        byId('stop').disabled = true;
        return;
    }
    byId('port-choose').addEventListener('click', choosePort);
    // A port granted on an earlier visit is offered again without asking.
    navigator.serial.getPorts().then((ports) => {
        if (ports.length && !Module.tarvikLine.hasPort()) usePort(ports[0]);
    });
}

setUpPage();
