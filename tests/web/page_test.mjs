// The page in a real browser: headless Chromium (Debian's) drives the page, whose Web Serial
// is the double of tests/web/serial_double.js, connected through tests/web/bridge.mjs to
// tarvik-sim on a pseudo-terminal: page -> WASM engine -> Web Serial double -> bridge ->
// simulated board, taking a real line's time (--pace).
//   node tests/web/page_test.mjs --page DIR --sim EXE --case NAME [--screenshot FILE]
// DIR holds the built page (build-web/web/page). Each case starts its own board, bridge,
// server and browser, and ends them all.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';
import {Bridge} from './bridge.mjs';
import {serveFolder} from '../../web/serve.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const kChromium = process.env.TARVIK_CHROMIUM || '/usr/bin/chromium';
// A closed network makes Chromium wait on its background services unless they are off.
const kChromiumFlags = [
    '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-dev-shm-usage',
];
// Generous bounds for a loaded two-core machine; nothing here asserts speed.
const kLaunchMs = 60000;
const kStepMs = 30000;
const kUpgradeMs = 90000;
const kPollMs = 50;
// How long the line is watched for bytes that must not come (longer than the first scan
// step's delay, 1 s, and a resend period, 1 s).
const kQuietMs = 2500;
// The firmware capacity of the engine (upgrade/image.h, kFirmwareCapacity).
const kFirmwareCapacity = 0xA00000;
const kBlock = 128;

const kTexts = {
    searching: '正在寻找设备',
    found: '已找到设备，正在升级',
    succeeded: '升级成功',
    failed: '升级失败',
    stopped: '停止升级',
    portClosed: '串口已关闭，升级中断',
    portLost: '串口已断开',
    refusedMarker: '这不是固件文件：文件里没有固件的标记。',
    refusedHuge: '文件大于 10 MB，不是固件文件。',
    refusedEmpty: '文件是空的，不是固件文件。',
    fileChanged: '文件已更改，请重新选择',
};
// The search hint's delay for the tests (the page's own is 15 s).
const kSearchHintTestMs = 1500;

function parseArguments(argv) {
    const options = {};
    for (let i = 0; i < argv.length; i += 2) {
        const name = argv[i].replace(/^--/, '');
        options[name] = argv[i + 1];
    }
    for (const needed of ['page', 'sim', 'case']) {
        if (!options[needed]) throw new Error(`missing --${needed}`);
    }
    return options;
}

// An image with the marker at offset 1 and a pattern after it.
function makeImage(length, {marker = true} = {}) {
    const bytes = Buffer.alloc(length);
    for (let i = 0; i < length; i++) bytes[i] = (i * 37 + 11) & 0xff;
    bytes[0] = 0x7f;
    if (marker) {
        bytes.write('IO-', 1, 'latin1');
    } else {
        // Make sure the pattern holds no marker by chance.
        for (let i = 0; i + 3 <= length; i++) {
            if (bytes.toString('latin1', i, i + 3) === 'IO-') bytes[i] = 0;
        }
    }
    return bytes;
}

// One run: a board with `simArgs`, its bridge, the page served, a browser on it.
class Session {
    constructor(options) {
        this.options = options;
        this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvik-web-'));
    }

    // lang: the browser's language; host: a name the page is reached by instead of
    // 127.0.0.1 (resolved to it); hooks: the page's test hooks; block: files the server
    // answers 404 for.
    async start(simArgs, {webSerial = true, width = 800, height = 720, lang = 'zh-CN',
        host = null, hooks = null, block = [], ready = 'true', copy = false} = {}) {
        this.bridge = new Bridge(this.options.sim, simArgs);
        await this.bridge.start();
        // A copy of the page, when the case changes its files.
        this.pageDir = this.options.page;
        if (copy) {
            this.pageDir = path.join(this.dir, 'page');
            fs.cpSync(this.options.page, this.pageDir, {recursive: true});
        }
        this.server = await serveFolder(this.pageDir, 0);
        const port = this.server.address().port;
        this.url = `http://${host || '127.0.0.1'}:${port}/`;
        const args = [...kChromiumFlags, `--lang=${lang}`, `--accept-lang=${lang}`];
        if (host) args.push(`--host-resolver-rules=MAP ${host} 127.0.0.1`);
        this.browser = await puppeteer.launch({
            executablePath: kChromium,
            headless: true,
            args,
            userDataDir: path.join(this.dir, 'profile'),
            timeout: kLaunchMs,
            protocolTimeout: kUpgradeMs,
        });
        this.page = await this.browser.newPage();
        this.page.on('pageerror', (error) => { this.pageError = error; });
        if (process.env.TARVIK_WEB_CONSOLE) {
            this.page.on('console', (message) => console.log(`page: ${message.text()}`));
            this.page.on('framenavigated', (frame) => console.log(`page: navigated ${frame.url()}`));
        }
        this.page.on('dialog', (dialog) => { this.leaveAsked = true; dialog.dismiss(); });
        if (block.length) {
            await this.page.setRequestInterception(true);
            this.page.on('request', (request) => {
                const name = new URL(request.url()).pathname.slice(1);
                if (block.includes(name)) request.respond({status: 404, body: 'not found'});
                else request.continue();
            });
        }
        await this.page.setViewport({width, height});
        if (hooks) {
            await this.page.evaluateOnNewDocument(
                `window.tarvikTestHooks = ${JSON.stringify(hooks)};`);
        }
        if (webSerial) {
            const double = fs.readFileSync(path.join(here, 'serial_double.js'), 'utf8');
            await this.page.evaluateOnNewDocument(
                `window.__tarvikBridge = ${JSON.stringify(this.bridge.url)};\n${double}`);
        } else {
            await this.page.evaluateOnNewDocument(() => { delete Navigator.prototype.serial; });
        }
        await this.load(ready);
    }

    async load(ready = 'true') {
        await this.page.goto(this.url, {waitUntil: 'load', timeout: kStepMs});
        await this.page.waitForSelector(`body[data-ready="${ready}"]`, {timeout: kStepMs});
    }

    async stop() {
        if (this.browser) await this.browser.close().catch(() => {});
        if (this.server) await this.stopServer();
        if (this.bridge) await this.bridge.stop();
        fs.rmSync(this.dir, {recursive: true, force: true});
    }

    async stopServer() {
        const server = this.server;
        this.server = null;
        server.closeAllConnections();
        await new Promise((resolve) => server.close(resolve));
    }

    text(id) { return this.page.$eval(`#${id}`, (e) => e.textContent); }
    click(id) { return this.page.click(`#${id}`); }
    disabled(id) { return this.page.$eval(`#${id}`, (e) => e.disabled); }
    shown(id) { return this.page.$eval(`#${id}`, (e) => !e.hidden); }

    async waitFor(what, predicate, argument, timeout = kStepMs) {
        try {
            await this.page.waitForFunction(predicate, {timeout, polling: kPollMs}, argument);
        } catch (error) {
            const state = await this.page.evaluate(() => ({
                phase: document.getElementById('phase').textContent,
                info: document.getElementById('info').textContent,
                refused: document.getElementById('image-refused').textContent,
                portOpen: document.getElementById('port-open').textContent,
                hint: document.getElementById('hint').textContent,
                timers: typeof timers === 'undefined' ? null : [...timers.keys()],
                lineLost: window.Module && Module.tarvikLine ? Module.tarvikLine.lost : null,
                log: window.serialDouble ? window.serialDouble.log.slice(-12) : null,
                message: document.getElementById('message').open
                    ? document.getElementById('message-text').textContent : null,
            }));
            throw new Error(`waiting for ${what}: ${error.message}; page: ${JSON.stringify(state)}`);
        }
    }
    waitForText(id, text, timeout) {
        return this.waitFor(`#${id} = ${text}`,
            ([i, t]) => document.getElementById(i).textContent === t, [id, text], timeout);
    }
    waitForEnabled(id, timeout) {
        return this.waitFor(`#${id} enabled`, (i) => !document.getElementById(i).disabled, id, timeout);
    }
    // The phase shows "k/n" with k at least `block`.
    waitForBlock(block) {
        return this.waitFor(`block ${block}`, (b) => {
            const m = /^(\d+)\/(\d+)$/.exec(document.getElementById('phase').textContent);
            return m !== null && Number(m[1]) >= b;
        }, block);
    }
    async message() {
        return this.page.evaluate(() => (document.getElementById('message').open
            ? document.getElementById('message-text').textContent : null));
    }

    // Puts the file on the page's chooser; waits until the page has checked it (开始升级
    // enabled, or the refusal shown) when the port is open.
    async chooseImage(bytes, name = 'firmware.bin', {checked = true} = {}) {
        const file = path.join(this.dir, name);
        fs.writeFileSync(file, bytes);
        await this.page.$eval('#image-refused', (e) => { e.hidden = true; });
        const input = await this.page.$('#image-file');
        await input.uploadFile(file);
        if (checked) {
            await this.waitFor(`${name} checked`, () => !document.getElementById('start').disabled ||
                !document.getElementById('image-refused').hidden);
        }
        return file;
    }

    // 选择串口 and 打开: the lamp lit, the caption 关闭.
    async openPort() {
        await this.waitForEnabled('port-choose');
        await this.click('port-choose');
        await this.waitFor('a chosen port',
            () => document.getElementById('port-name').textContent.startsWith('USB'));
        await this.waitForEnabled('port-open');
        await this.click('port-open');
        await this.waitForText('port-open', '关闭');
    }
    async quiet(ms = kQuietMs) { await new Promise((resolve) => setTimeout(resolve, ms)); }

    // The state the operator sees of an upgrade that has ended.
    async ended() {
        return this.page.evaluate(() => ({
            phase: document.getElementById('phase').textContent,
            info: document.getElementById('info').textContent,
            failedColour: document.getElementById('phase').classList.contains('outcome-failed'),
            start: !document.getElementById('start').disabled,
            stop: !document.getElementById('stop').disabled,
            message: document.getElementById('message').open,
        }));
    }
}

// The enter-upgrade frames the page wrote (each write is one frame: 'h' ':' command step).
function enterFrames(bridge) {
    return bridge.toBoard.filter((frame) =>
        frame[0] === 0x68 && frame[1] === 0x3a && frame[3] === 0x19).length;
}

// ---- the cases ----

async function upgradeTo(session, image, simArgs, outcome, startOptions = {}) {
    await session.start(simArgs, startOptions);
    await session.openPort();
    await session.chooseImage(image);
    await session.click('start');
    await session.waitFor('the outcome', ([done, failed]) => [done, failed].includes(
        document.getElementById('phase').textContent), [kTexts.succeeded, kTexts.failed], kUpgradeMs);
    const phase = await session.text('phase');
    if (phase !== outcome) {
        const log = await session.page.evaluate(() => window.serialDouble.log.slice(-16));
        assert.fail(`${phase} (${await session.text('info')}), not ${outcome}; the port's last ` +
            `operations: ${JSON.stringify(log)}`);
    }
}

// An upgrade that ended in 升级失败 is one state: both lines say so, the reason in Chinese,
// no box over it, 开始升级 usable (once the port is open) and 停止 not; and it stays so.
async function assertFailed(session, reason, what, {start = true} = {}) {
    const expected = {phase: kTexts.failed, info: reason, failedColour: true, start,
        stop: false, message: false};
    assert.deepEqual(await session.ended(), expected, what);
    await session.quiet(1500);
    assert.deepEqual(await session.ended(), expected, `${what}, a moment later`);
}

const cases = {
    // The board listens at 9600: the scan closes and opens the port at each rate, 115200
    // first, then 9600, where the board answers.
    async scan(s) {
        await s.start(['--baud', '9600']);
        await s.openPort();
        await s.chooseImage(makeImage(3000));
        await s.click('start');
        await s.waitForText('info', kTexts.found);
        await s.click('stop');
        await s.waitForText('phase', kTexts.stopped);
        const log = await s.page.evaluate(() => window.serialDouble.log);
        const opens = log.filter((entry) => entry.op === 'open');
        const rates = opens.map((entry) => entry.baudRate);
        assert.equal(rates[0], 115200, 'the port opens at 115200 8N1');
        assert.ok(rates.indexOf(9600) > 0, `9600 tried after the opening: ${rates}`);
        // Every change of rate is a close and an open.
        for (let i = 1; i < log.length; i++) {
            if (log[i].op === 'open') assert.equal(log[i - 1].op, 'close', 'reopened after a close');
        }
        for (const open of opens) {
            assert.ok(open.bufferSize >= 65536, `receive buffer ${open.bufferSize}`);
            assert.equal(open.dataBits, 8);
            assert.equal(open.parity, 'none');
            assert.equal(open.stopBits, 1);
        }
        // After the board answered: the transfer's settings, 115200 8N1.
        assert.equal(rates[rates.length - 1], 115200);
    },

    // A whole upgrade: 升级成功 in both lines, marked, with what comes next; the board holds
    // the file, 0xFF after its end. The screenshots of the page (desktop and phone width).
    async upgrade(s, options) {
        const image = makeImage(3000);
        const out = path.join(s.dir, 'received.bin');
        await upgradeTo(s, image, ['--baud', '9600', '--out', out, '--once'], kTexts.succeeded);
        assert.equal(await s.text('info'), kTexts.succeeded);
        assert.equal(await s.page.$eval('#phase', (e) => e.classList.contains('outcome-succeeded')), true);
        assert.match(await s.text('hint'), /下一块电路板/);
        const progress = await s.page.$eval('#progress', (p) => [p.value, p.max]);
        assert.equal(progress[0], progress[1], 'the bar is full');
        assert.equal(progress[1], Math.floor(image.length / kBlock) + 1);
        assert.equal(await s.disabled('start'), false);
        assert.equal(await s.disabled('stop'), true);
        // The lamp, lit and unlit: one size, the background transparent (its corners and
        // the grey around the lamp), the lamp itself opaque.
        const lamps = await s.page.evaluate(async () => {
            const look = async (url) => {
                const image = new Image();
                image.src = url;
                await image.decode();
                const canvas = document.createElement('canvas');
                canvas.width = image.naturalWidth;
                canvas.height = image.naturalHeight;
                const context = canvas.getContext('2d');
                context.drawImage(image, 0, 0);
                const alpha = (x, y) => context.getImageData(x, y, 1, 1).data[3];
                const w = canvas.width;
                const h = canvas.height;
                const all = context.getImageData(0, 0, w, h).data;
                let opaque = 0;
                for (let i = 3; i < all.length; i += 4) opaque += all[i] === 255 ? 1 : 0;
                return {size: [w, h], corners: [alpha(0, 0), alpha(w - 1, h - 1)], opaque};
            };
            const lamp = document.getElementById('lamp');
            return {on: await look(lamp.src), off: await look(lampImages.off.url)};
        });
        assert.deepEqual(lamps.on.size, lamps.off.size, 'one size lit and unlit');
        for (const [name, lamp] of Object.entries(lamps)) {
            assert.deepEqual(lamp.corners, [0, 0], `${name}: transparent background`);
            assert.ok(lamp.opaque > 0, `${name}: the lamp itself shows`);
        }
        if (options.screenshot) {
            await s.page.screenshot({path: options.screenshot});
        }
        if (options['screenshot-phone']) {
            await s.page.setViewport({width: 390, height: 844, deviceScaleFactor: 2});
            await s.page.screenshot({path: options['screenshot-phone'], fullPage: true});
        }
        await s.bridge.stop();
        const received = fs.readFileSync(out);
        assert.ok(received.subarray(0, image.length).equals(image), 'the image as sent');
        assert.ok(received.subarray(image.length).every((b) => b === 0xff), 'fill after it');
    },

    // The reply to the third data block is lost: the engine resends it and goes on.
    async 'lost-reply'(s) {
        await upgradeTo(s, makeImage(3000), ['--baud', '115200', '--drop', '27@3'], kTexts.succeeded);
        await s.bridge.stop();
        assert.ok(s.bridge.summary.resends >= 1, JSON.stringify(s.bridge.summary));
        assert.equal(s.bridge.summary.finished, true);
    },

    // The answer to the begin-transfer frame comes twice (as after a resend that crossed
    // the first answer): the block is sent twice and acknowledged twice; the second
    // acknowledgement is of a block no longer in flight, which the page sits out until the
    // next block's acknowledgement, and the upgrade goes on to 升级成功.
    async duplicates(s) {
        await upgradeTo(s, makeImage(3000), ['--baud', '115200', '--dup', '26@1:30'],
            kTexts.succeeded);
    },

    // Every answer to the enter-upgrade frame comes with stray bytes before it (a line that
    // glitches, a board powering up): the page lines up on the reply's head, finds the board
    // at once and upgrades it.
    async 'stray-bytes'(s) {
        await upgradeTo(s, makeImage(1000), ['--baud', '115200', '--garbage', '25@1x1000'],
            kTexts.succeeded);
        assert.equal(enterFrames(s.bridge), 1, 'found by its first answer');
    },

    // The ways an upgrade fails, each one state with its reason; 开始升级 then starts anew.
    async failures(s) {
        const rows = [
            {simArgs: ['--wrong-sum'], reason: '校验和不符'},
            {simArgs: ['--fail', '27@3'], reason: '电路板拒绝了第 3 块'},
            {simArgs: ['--drop', '27@3x10'], reason: '第 3 块无应答'},
            {simArgs: ['--drop', '29@1x10'], reason: '电路板没有应答校验和请求'},
        ];
        for (const row of rows) {
            const session = new Session(s.options);
            const what = row.simArgs.join(' ');
            try {
                await upgradeTo(session, makeImage(1000), ['--baud', '115200', ...row.simArgs],
                    kTexts.failed);
                await assertFailed(session, row.reason, what);
                await session.click('start');
                await session.waitForEnabled('stop');
                assert.equal(await session.disabled('start'), true, `${what}: a new upgrade runs`);
                await session.click('stop');
                await session.waitForText('phase', kTexts.stopped);
                if (session.pageError) throw session.pageError;
            } finally {
                await session.stop();
            }
        }
    },

    // 停止 in the middle of the transfer: 停止升级, 开始升级 enabled, and nothing more goes out.
    async stop(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        await s.chooseImage(makeImage(60000));
        await s.click('start');
        await s.waitForBlock(5);
        await s.click('stop');
        await s.waitForText('phase', kTexts.stopped);
        assert.equal(await s.disabled('start'), false);
        assert.equal(await s.disabled('stop'), true);
        await s.quiet(500);  // a frame already on its way may still arrive
        const sent = s.bridge.sentBytes().length;
        await s.quiet();
        assert.equal(s.bridge.sentBytes().length, sent, 'nothing sent after 停止');
        assert.match(await s.text('info'), /^第 \d+ 块，共 469 块$/);
    },

    // 关闭 in the middle of the transfer ends the upgrade; opened again, 开始升级 starts a
    // new one, which the board completes.
    async 'close-mid'(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        await s.chooseImage(makeImage(6000));
        await s.click('start');
        await s.waitForBlock(5);
        await s.click('port-open');
        await s.waitForText('port-open', '打开');
        // 开始升级 waits for the port to be opened again.
        await assertFailed(s, kTexts.portClosed, '关闭 mid-transfer', {start: false});
        await s.click('port-open');
        await s.waitForText('port-open', '关闭');
        await s.waitForEnabled('start');
        await s.click('start');
        await s.waitForText('phase', kTexts.succeeded, kUpgradeMs);
    },

    // The adapter unplugged mid-transfer: the streams error and the port fires 'disconnect'.
    // The upgrade ends in 升级失败 (串口已断开) with no box over it, the port shows closed,
    // and a port can be chosen again.
    async 'port-lost'(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        await s.chooseImage(makeImage(60000));
        await s.click('start');
        await s.waitForBlock(5);
        await s.page.evaluate(() => window.serialDouble.unplug());
        await s.waitForText('port-open', '打开');
        await s.waitForText('phase', kTexts.failed);
        const state = await s.ended();
        assert.deepEqual([state.info, state.failedColour, state.stop, state.message],
            [kTexts.portLost, true, false, false]);
        assert.equal(await s.disabled('port-choose'), false);
        assert.equal(await s.page.$eval('#lamp', (e) => e.alt), '串口已关闭');
    },

    // A board that never answers: 正在寻找设备 at once with the bar indeterminate; after the
    // hint's delay the checklist, while the search goes on until 停止.
    async 'search-hint'(s) {
        await s.start(['--baud', '300'], {hooks: {searchHintMs: kSearchHintTestMs}});
        await s.openPort();
        await s.chooseImage(makeImage(1000));
        // What the page showed when the phase first said 正在寻找设备, and how many frames
        // the port had taken by then (the first goes out as the search starts).
        await s.page.evaluate((searching) => {
            const phase = document.getElementById('phase');
            const observer = new MutationObserver(() => {
                if (phase.textContent !== searching) return;
                observer.disconnect();
                window.searchShown = {
                    writes: window.serialDouble.log.filter((e) => e.op === 'write').length,
                    indeterminate: !document.getElementById('progress').hasAttribute('value'),
                    checklist: !document.getElementById('checklist').hidden,
                };
            });
            observer.observe(phase, {childList: true, characterData: true, subtree: true});
        }, kTexts.searching);
        await s.click('start');
        await s.waitFor('正在寻找设备', () => window.searchShown !== undefined);
        // Shown with the first frame, not a scan step (a second) later.
        assert.deepEqual(await s.page.evaluate(() => window.searchShown),
            {writes: 1, indeterminate: true, checklist: false}, 'shown at once');
        await s.waitFor('the checklist', () => !document.getElementById('checklist').hidden);
        assert.match(await s.text('info'), /仍未找到设备/);
        assert.match(await s.text('checklist'), /接线/);
        assert.match(await s.text('checklist'), /上电/);
        assert.equal(await s.text('phase'), kTexts.searching);
        const sent = enterFrames(s.bridge);
        await s.quiet();
        assert.ok(enterFrames(s.bridge) > sent, 'the search goes on');
        await s.click('stop');
        await s.waitForText('phase', kTexts.stopped);
        assert.equal(await s.shown('checklist'), false);
    },

    // Refused when chosen, said in Chinese, before anything is sent: no marker, larger than
    // the firmware buffer, empty; and a file changed on disk after it was chosen.
    async refused(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        const rows = [
            {name: 'no-marker.bin', bytes: makeImage(3000, {marker: false}), text: kTexts.refusedMarker},
            {name: 'huge.bin', bytes: makeImage(kFirmwareCapacity + 1), text: kTexts.refusedHuge},
            {name: 'empty.bin', bytes: Buffer.alloc(0), text: kTexts.refusedEmpty},
        ];
        for (const row of rows) {
            await s.chooseImage(row.bytes, row.name);
            assert.equal(await s.text('image-refused'), row.text, row.name);
            assert.equal(await s.text('image-name'), row.name);
            assert.equal(await s.disabled('start'), true, `${row.name}: 开始升级 off`);
        }
        // A good file, changed on disk before 开始升级.
        const file = await s.chooseImage(makeImage(3000), 'changing.bin');
        assert.equal(await s.disabled('start'), false);
        fs.writeFileSync(file, makeImage(3100));
        const later = new Date(Date.now() + 5000);
        fs.utimesSync(file, later, later);
        await s.click('start');
        await s.waitFor('the refusal', () => !document.getElementById('image-refused').hidden);
        assert.equal(await s.text('image-refused'), kTexts.fileChanged);
        assert.equal(await s.disabled('start'), true);
        await s.quiet();
        assert.equal(s.bridge.sentBytes().length, 0, 'nothing sent');
    },

    // A browser without Web Serial: the note names the browsers that have it; the port's
    // buttons are off.
    async 'no-web-serial'(s) {
        await s.start(['--baud', '115200'], {webSerial: false});
        const note = await s.page.$eval('#no-serial', (e) => (e.hidden ? null : e.textContent));
        assert.ok(note !== null, 'the note shows');
        for (const browser of ['Chrome', 'Edge', 'Opera']) assert.ok(note.includes(browser), browser);
        assert.equal(await s.disabled('port-open'), true);
        assert.equal(await s.disabled('port-choose'), true);
        assert.equal(await s.shown('insecure'), false);
    },

    // Plain http from another host: the page says it needs https or localhost, whatever
    // navigator.serial holds, and its controls stay off.
    async insecure(s) {
        await s.start(['--baud', '115200'], {host: 'workshop.test'});
        const note = await s.page.$eval('#insecure', (e) => (e.hidden ? null : e.textContent));
        assert.ok(note !== null, 'the note shows');
        assert.ok(note.includes('https://') && note.includes('localhost'), note);
        assert.equal(await s.shown('no-serial'), false);
        for (const id of ['port-choose', 'port-open', 'image-choose', 'start', 'stop']) {
            assert.equal(await s.disabled(id), true, id);
        }
    },

    // The engine cannot be loaded: the page says so and no control is usable.
    async 'engine-missing'(s) {
        await s.start(['--baud', '115200'], {block: ['tarvik.wasm'], ready: 'failed'});
        assert.equal(await s.shown('engine-failed'), true);
        assert.equal(await s.shown('loading'), false);
        for (const id of ['port-choose', 'port-open', 'image-choose', 'start', 'stop']) {
            assert.equal(await s.disabled(id), true, id);
        }
        s.pageError = null;  // the engine's own report of the failed load
    },

    // An English browser: the page in English, the same ids and list items.
    async english(s) {
        await s.start(['--baud', '115200'], {lang: 'en-US'});
        assert.equal(await s.page.$eval('html', (e) => e.lang), 'en');
        assert.equal(await s.text('start'), 'Start upgrade');
        assert.equal(await s.text('image-choose'), 'Choose firmware file');
        // The port granted before is taken again: the next step is to open it.
        await s.waitFor('a chosen port',
            () => document.getElementById('port-name').textContent.startsWith('USB'));
        assert.equal(await s.text('hint'), 'Step 2: press Open to open the port.');
        assert.equal(await s.text('port-name'), 'USB serial CH340 (1a86:7523)');
        const items = await s.page.$$eval('#parity option', (o) => o.map((e) => e.textContent));
        assert.deepEqual(items, ['NONE', 'ODD', 'EVEN']);
        await s.click('port-open');
        await s.waitForText('port-open', 'Close');
        await s.chooseImage(makeImage(3000, {marker: false}), 'other.bin');
        assert.equal(await s.text('image-refused'),
            'This is not a firmware file: the firmware marker is missing.');
    },

    // Opened once, the page works without its server: a whole upgrade from the kept files.
    // A new version served on a later visit replaces the kept one.
    async offline(s) {
        await s.start(['--baud', '115200', '--once'], {copy: true});
        await s.page.evaluate(async () => {
            await navigator.serviceWorker.ready;
            if (!navigator.serviceWorker.controller) {
                await new Promise((resolve) =>
                    navigator.serviceWorker.addEventListener('controllerchange', resolve, {once: true}));
            }
        });
        // The next version: its first step reads differently.
        const firstStep = () => s.page.$eval('#steps li', (e) => e.textContent);
        assert.equal(await firstStep(), '选择串口');
        fs.appendFileSync(path.join(s.pageDir, 'texts.js'), "\nkPageTexts.zh.step1 = '选择串口（新版）';\n");
        await s.load();
        assert.equal(await firstStep(), '选择串口（新版）', 'the new version online');
        await s.stopServer();
        await s.load();
        assert.equal(await firstStep(), '选择串口（新版）', 'the new version kept');
        await s.openPort();
        await s.chooseImage(makeImage(1000));
        await s.click('start');
        await s.waitForText('phase', kTexts.succeeded, kUpgradeMs);
    },

    // The keyboard path: Space on 开始升级 starts; the focus lands on the status line, so
    // two more Spaces do nothing; 离开 asks first while it runs; the screen reader hears the
    // milestones only; the bar has a name and a value text.
    async keyboard(s) {
        await s.start(['--baud', '115200']);
        await s.page.evaluate(() => {
            window.announced = [];
            new MutationObserver(() => window.announced.push(
                document.getElementById('announce').textContent))
                .observe(document.getElementById('announce'), {childList: true, characterData: true, subtree: true});
        });
        await s.openPort();
        await s.chooseImage(makeImage(6000));
        await s.page.focus('#start');
        await s.page.keyboard.press('Space');
        await s.waitForEnabled('stop');
        assert.equal(await s.page.evaluate(() => document.activeElement.id), 'phase');
        await s.page.keyboard.press('Space');
        await s.page.keyboard.press('Space');
        await s.waitForBlock(3);
        assert.equal(await s.disabled('stop'), false, 'still running after two Spaces');
        const bar = await s.page.$eval('#progress', (e) => [e.getAttribute('aria-label'),
            e.getAttribute('aria-valuetext')]);
        assert.equal(bar[0], '升级进度');
        assert.match(bar[1], /^第 \d+ 块，共 47 块$/);
        // Leaving mid-upgrade asks first (the test's answer: stay).
        await s.page.evaluate(() => { location.reload(); }).catch(() => {});
        await s.waitForText('phase', kTexts.succeeded, kUpgradeMs);
        assert.equal(s.leaveAsked, true, 'asked before leaving');
        const announced = await s.page.evaluate(() => window.announced.filter(Boolean));
        assert.deepEqual(announced, [kTexts.searching, kTexts.found, '已完成 25%', '已完成 50%',
            '已完成 75%', kTexts.succeeded]);
    },

    // The line settings outlive a reload; a phone-wide screen needs no sideways scrolling
    // and every control is big enough for a finger; 1.5 stop bits are not offered.
    async 'settings-narrow'(s) {
        await s.start(['--baud', '9600'], {width: 360, height: 740});
        const stopItems = await s.page.$$eval('#stopbits option', (o) => o.map((e) => e.textContent));
        assert.deepEqual(stopItems, ['1', '2']);
        await s.page.select('#parity', '2');
        await s.page.select('#stopbits', '2');
        await s.page.select('#databits', '0');
        await s.load();
        const chosen = await s.page.evaluate(() => ['parity', 'databits', 'stopbits'].map(
            (id) => document.getElementById(id).selectedOptions[0].textContent));
        assert.deepEqual(chosen, ['EVEN', '7', '2']);
        const widths = await s.page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
        assert.ok(widths[0] <= widths[1], `page ${widths[0]} px wide on a ${widths[1]} px screen`);
        const small = await s.page.evaluate(() => [...document.querySelectorAll('button, select')]
            .filter((e) => e.offsetParent !== null && e.getBoundingClientRect().height < 44)
            .map((e) => e.id));
        assert.deepEqual(small, [], 'controls under 44 px tall');
        // The scan opens at the chosen settings where Web Serial has them.
        await s.openPort();
        await s.chooseImage(makeImage(1000));
        await s.click('start');
        await s.waitFor('a scan step', () => window.serialDouble.log.filter((e) => e.op === 'open').length >= 2);
        await s.click('stop');
        const opens = await s.page.evaluate(() => window.serialDouble.log.filter((e) => e.op === 'open'));
        const step = opens[1];
        assert.deepEqual([step.dataBits, step.parity, step.stopBits], [7, 'even', 2]);
    },
};

async function main() {
    const options = parseArguments(process.argv.slice(2));
    const run = cases[options.case];
    if (!run) throw new Error(`no case ${options.case}; cases: ${Object.keys(cases).join(' ')}`);
    const session = new Session(options);
    try {
        await run(session, options);
        if (session.pageError) throw session.pageError;
    } finally {
        await session.stop();
    }
    console.log(`web ${options.case}: passed`);
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
