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
    '--disable-dev-shm-usage', '--lang=zh-CN',
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
    found: '已找到设备，正在升级',
    succeeded: '升级成功',
    failed: '升级失败',
    stopped: '停止升级',
    portLost: '串口不存在或被其他程序占用',
    badImage: 'bin file is bad!!!',
    huge: 'file is huge!!!',
};

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

    async start(simArgs, {webSerial = true, width = 800, height = 720} = {}) {
        this.bridge = new Bridge(this.options.sim, simArgs);
        await this.bridge.start();
        this.server = await serveFolder(this.options.page, 0);
        this.url = `http://127.0.0.1:${this.server.address().port}/`;
        this.browser = await puppeteer.launch({
            executablePath: kChromium,
            headless: true,
            args: kChromiumFlags,
            userDataDir: path.join(this.dir, 'profile'),
            timeout: kLaunchMs,
            protocolTimeout: kUpgradeMs,
        });
        this.page = await this.browser.newPage();
        this.page.on('pageerror', (error) => { this.pageError = error; });
        await this.page.setViewport({width, height});
        if (webSerial) {
            const double = fs.readFileSync(path.join(here, 'serial_double.js'), 'utf8');
            await this.page.evaluateOnNewDocument(
                `window.__tarvikBridge = ${JSON.stringify(this.bridge.url)};\n${double}`);
        } else {
            await this.page.evaluateOnNewDocument(() => { delete Navigator.prototype.serial; });
        }
        await this.load();
    }

    async load() {
        await this.page.goto(this.url, {waitUntil: 'load', timeout: kStepMs});
        await this.page.waitForSelector('body[data-ready="true"]', {timeout: kStepMs});
    }

    async stop() {
        if (this.browser) await this.browser.close().catch(() => {});
        if (this.server) await new Promise((resolve) => this.server.close(resolve));
        if (this.bridge) await this.bridge.stop();
        fs.rmSync(this.dir, {recursive: true, force: true});
    }

    text(id) { return this.page.$eval(`#${id}`, (e) => e.textContent); }
    click(id) { return this.page.click(`#${id}`); }

    async waitFor(what, predicate, argument, timeout = kStepMs) {
        try {
            await this.page.waitForFunction(predicate, {timeout, polling: kPollMs}, argument);
        } catch (error) {
            const state = await this.page.evaluate(() => ({
                phase: document.getElementById('phase').textContent,
                info: document.getElementById('info').textContent,
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
    async closeMessage() { await this.click('message-ok'); }

    async chooseImage(bytes, name = 'firmware.bin') {
        const file = path.join(this.dir, name);
        fs.writeFileSync(file, bytes);
        const input = await this.page.$('#image-file');
        await input.uploadFile(file);
        return file;
    }

    // 选择串口 and 打开: the lamp lit, the caption 关闭.
    async openPort() {
        await this.click('port-choose');
        await this.waitFor('a chosen port',
            () => document.getElementById('port-name').textContent.startsWith('USB'));
        await this.click('port-open');
        await this.waitForText('port-open', '关闭');
    }
    async quiet(ms = kQuietMs) { await new Promise((resolve) => setTimeout(resolve, ms)); }
}

// ---- the cases ----

async function upgradeTo(session, image, simArgs, outcome) {
    await session.start(simArgs);
    await session.openPort();
    await session.chooseImage(image);
    await session.click('start');
    await session.waitForText('phase', outcome, kUpgradeMs);
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
        await s.waitForText('info', kTexts.stopped);
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

    // A whole upgrade: 升级成功, and the board holds the file, 0xFF after its end.
    async upgrade(s, options) {
        const image = makeImage(3000);
        const out = path.join(s.dir, 'received.bin');
        await upgradeTo(s, image, ['--baud', '9600', '--out', out, '--once'], kTexts.succeeded);
        assert.equal(await s.text('info'), kTexts.succeeded);
        const progress = await s.page.$eval('#progress', (p) => [p.value, p.max]);
        assert.equal(progress[0], progress[1], 'the bar is full');
        assert.equal(progress[1], Math.floor(image.length / kBlock) + 1);
        assert.equal(await s.page.$eval('#start', (b) => b.disabled), false);
        if (options.screenshot) {
            await s.page.screenshot({path: options.screenshot});
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

    // The board's sum does not match: 升级失败. Its checksum replies never come: after the
    // resends, 升级失败 naming the step that went unanswered (0x1d, the checksum request).
    async failures(s) {
        const rows = [
            {simArgs: ['--wrong-sum'], phase: kTexts.failed},
            {simArgs: ['--drop', '29@1x10'], phase: `${kTexts.failed}(0x1d)`},
        ];
        for (const row of rows) {
            const session = new Session(s.options);
            try {
                await upgradeTo(session, makeImage(1000), ['--baud', '115200', ...row.simArgs], row.phase);
                await session.quiet(1500);
                assert.equal(await session.text('phase'), row.phase, row.simArgs.join(' '));
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
        await s.waitForText('info', kTexts.stopped);
        assert.equal(await s.page.$eval('#start', (b) => b.disabled), false);
        await s.quiet(500);  // a frame already on its way may still arrive
        const sent = s.bridge.sentBytes().length;
        await s.quiet();
        assert.equal(s.bridge.sentBytes().length, sent, 'nothing sent after 停止');
        assert.match(await s.text('phase'), /^\d+\/469$/);
    },

    // The adapter unplugged mid-transfer: the streams error and the port fires 'disconnect'.
    // The page says so, shows the port closed, and stays usable: 停止 ends the upgrade.
    async 'port-lost'(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        await s.chooseImage(makeImage(60000));
        await s.click('start');
        await s.waitForBlock(5);
        await s.page.evaluate(() => window.serialDouble.unplug());
        await s.waitFor('the message', () => document.getElementById('message').open);
        assert.equal(await s.message(), kTexts.portLost);
        await s.waitForText('port-open', '打开');
        await s.closeMessage();
        await s.quiet();
        assert.equal(await s.message(), null, 'one message only');
        await s.click('stop');
        await s.waitForText('info', kTexts.stopped);
        assert.equal(await s.page.$eval('#start', (b) => b.disabled), false);
        if (s.pageError) throw s.pageError;
    },

    // Refused before anything is sent: a file without the marker, and one larger than the
    // firmware buffer.
    async refused(s) {
        await s.start(['--baud', '115200']);
        await s.openPort();
        const rows = [
            {name: 'no-marker.bin', bytes: makeImage(3000, {marker: false}), phase: kTexts.badImage},
            {name: 'huge.bin', bytes: makeImage(kFirmwareCapacity + 1), message: kTexts.huge},
        ];
        for (const row of rows) {
            await s.chooseImage(row.bytes, row.name);
            await s.click('start');
            if (row.phase) {
                await s.waitForText('phase', row.phase);
            } else {
                await s.waitFor('the message', () => document.getElementById('message').open);
                assert.equal(await s.message(), row.message);
                await s.closeMessage();
            }
            await s.quiet();
            assert.equal(s.bridge.sentBytes().length, 0, `nothing sent for ${row.name}`);
            assert.equal(await s.page.$eval('#start', (b) => b.disabled), false);
        }
    },

    // A browser without Web Serial: the note names the browsers that have it; the port's
    // buttons are off.
    async 'no-web-serial'(s) {
        await s.start(['--baud', '115200'], {webSerial: false});
        const note = await s.page.$eval('#no-serial', (e) => (e.hidden ? null : e.textContent));
        assert.ok(note !== null, 'the note shows');
        for (const browser of ['Chrome', 'Edge', 'Opera']) assert.ok(note.includes(browser), browser);
        assert.equal(await s.page.$eval('#port-open', (b) => b.disabled), true);
        assert.equal(await s.page.$eval('#port-choose', (b) => b.disabled), true);
    },

    // The line settings outlive a reload; a phone-wide screen needs no sideways scrolling.
    async 'settings-narrow'(s) {
        await s.start(['--baud', '9600'], {width: 360, height: 740});
        await s.page.select('#parity', 'EVEN');
        await s.page.select('#stopbits', '2');
        await s.page.select('#databits', '7');
        await s.load();
        const chosen = await s.page.evaluate(() => ['parity', 'databits', 'stopbits'].map(
            (id) => document.getElementById(id).value));
        assert.deepEqual(chosen, ['EVEN', '7', '2']);
        const widths = await s.page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
        assert.ok(widths[0] <= widths[1], `page ${widths[0]} px wide on a ${widths[1]} px screen`);
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
