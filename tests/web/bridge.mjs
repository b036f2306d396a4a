// The bridge between the page's Web Serial double (tests/web/serial_double.js) and the
// simulated board: tarvik-sim runs on a pseudo-terminal; the bridge holds the terminal's
// other end and speaks WebSocket to the page. A message {op:'open', baudRate, dataBits,
// parity, stopBits} sets the terminal's line as the page opened its port (the simulated board
// hears a frame only at its own rate); {op:'close'} closes it (what the board sends
// meanwhile is lost, as on a closed port); binary messages are bytes for the board. What the
// board sends while the port is open goes to the page as it comes.
import {spawn, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import readline from 'node:readline';
import tty from 'node:tty';
import {WebSocketServer} from 'ws';

// A rate no board listens at: the line is set to it when the terminal cannot take the rate
// the page asked for (stty knows only the standard ones), so the board hears a wrong rate.
const kUnusableRate = '50';
const kSimStartMs = 10000;
// The board ends itself after this long, should the test that started it not end it.
const kSimLifeSeconds = 600;

function sttyArguments(settings) {
    const args = ['raw', '-echo', 'clocal', settings.dataBits === 7 ? 'cs7' : 'cs8'];
    if (settings.parity === 'none') args.push('-parenb');
    else args.push('parenb', settings.parity === 'odd' ? 'parodd' : '-parodd');
    args.push(settings.stopBits === 2 ? 'cstopb' : '-cstopb');
    return args;
}

export class Bridge {
    // simExe: tarvik-sim; simArgs: its options beyond the line (--baud, faults, --out).
    constructor(simExe, simArgs) {
        this.simExe = simExe;
        this.simArgs = simArgs;
        this.toBoard = [];    // every chunk the page wrote, in order
        this.opens = [];      // the settings of every opening
        this.open = false;
        this.summary = null;  // tarvik-sim's summary, once it has ended
    }

    async start() {
        this.sim = spawn(this.simExe, ['--pace', '--timeout', String(kSimLifeSeconds), ...this.simArgs], {stdio: ['ignore', 'pipe', 'inherit']});
        const lines = readline.createInterface({input: this.sim.stdout});
        this.simEnded = new Promise((resolve) => this.sim.once('exit', resolve));
        this.ptyPath = await new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error('tarvik-sim did not start')), kSimStartMs);
            lines.once('line', (line) => { clearTimeout(timer); resolve(line.trim()); });
            this.sim.once('exit', (code) => reject(new Error(`tarvik-sim ended (${code})`)));
        });
        lines.on('line', (line) => {
            if (line.startsWith('{')) this.summary = JSON.parse(line);
        });
        this.stty(['raw', '-echo', 'clocal', '115200']);
        this.writeFd = fs.openSync(this.ptyPath, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
        const readFd = fs.openSync(this.ptyPath, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
        this.input = new tty.ReadStream(readFd);
        this.input.on('data', (bytes) => {
            if (this.open && this.client) this.client.send(bytes);
        });
        this.input.on('error', () => {});  // the board's end closed when it ended

        this.server = new WebSocketServer({host: '127.0.0.1', port: 0});
        await new Promise((resolve) => this.server.once('listening', resolve));
        this.server.on('connection', (client) => {
            this.client = client;
            client.on('message', (data, isBinary) => this.onMessage(data, isBinary));
        });
        this.url = `ws://127.0.0.1:${this.server.address().port}/`;
    }

    onMessage(data, isBinary) {
        if (isBinary) {
            if (!this.open) return;
            const bytes = Buffer.from(data);
            this.toBoard.push(bytes);
            fs.writeSync(this.writeFd, bytes);
            return;
        }
        const message = JSON.parse(data.toString());
        if (message.op === 'open') {
            this.opens.push(message);
            // A pseudo-terminal carries bytes whatever their framing and may refuse some of
            // it; the simulated board listens for the rate only.
            try {
                this.stty(sttyArguments(message));
            } catch (error) {
                // framing left as it was
            }
            try {
                this.stty([String(message.baudRate)]);
            } catch (error) {
                this.stty([kUnusableRate]);
            }
            this.open = true;
        } else if (message.op === 'close') {
            this.open = false;
        }
    }

    stty(args) {
        execFileSync('stty', ['-F', this.ptyPath, ...args], {stdio: ['ignore', 'ignore', 'pipe']});
    }

    // Everything the page wrote, as one buffer.
    sentBytes() { return Buffer.concat(this.toBoard); }

    // Ends the board (it prints its summary and writes --out) and the server.
    // Once; later calls wait for the first.
    stop() {
        this.stopped ??= this.end();
        return this.stopped;
    }

    async end() {
        if (this.sim && this.sim.exitCode === null) this.sim.kill('SIGTERM');
        await this.simEnded;
        if (this.input) this.input.destroy();
        if (this.writeFd !== undefined) fs.closeSync(this.writeFd);
        if (this.client) this.client.terminate();
        if (this.server) await new Promise((resolve) => this.server.close(resolve));
    }
}
