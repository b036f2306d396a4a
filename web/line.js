// The page's serial line over Web Serial: the operations the port (serial/com_port_web.cpp)
// asks for, carried out one after the other in the order asked, since every Web Serial call
// is asynchronous and the engine goes on at once. A failure of any of them, a read that
// cannot go on, or the port's disconnect event loses the line: onLost is called once and
// what was still queued for that opening is dropped.
'use strict';

// Web Serial's default receive buffer (255 bytes) overflows and loses data while the page
// is busy; this is far more than a reply or a burst of them.
const kReceiveBufferBytes = 65536;
const kParityNames = ['none', 'odd', 'even'];
const kStopBitsOf = {0: 1, 2: 2};

class WebSerialLine {
    // onBytes(Uint8Array, arrivalMs) for every chunk read; onLost() when the line is lost;
    // onReopened() whenever it has been opened (again), before anything of it is read.
    constructor(onBytes, onLost, onReopened = () => {}) {
        this.onBytes = onBytes;
        this.onLost = onLost;
        this.onReopened = onReopened;
        this.port = null;
        this.queue = Promise.resolve();
        this.opening = 0;      // counts openings; the operations of an older one are dropped
        this.lost = false;     // the current opening failed
        this.reader = null;
        this.readLoop = null;
        this.onDisconnect = () => this.fail(this.opening, new Error('disconnected'));
    }

    hasPort() { return this.port !== null; }

    // The port the operator chose (or granted before). Only while nothing is open.
    setPort(port) {
        if (this.port) this.port.removeEventListener('disconnect', this.onDisconnect);
        this.port = port;
        if (port) port.addEventListener('disconnect', this.onDisconnect);
    }

    open(settings) {
        const opening = ++this.opening;
        this.lost = false;
        this.enqueue(opening, async () => {
            await this.openAt(opening, settings);
        });
    }

    // Web Serial fixes the line settings when a port opens: close, open again.
    reopen(settings) {
        const opening = this.opening;
        this.enqueue(opening, async () => {
            await this.closePort();
            await this.openAt(opening, settings);
        });
    }

    write(bytes) {
        this.enqueue(this.opening, async () => {
            const writer = this.port.writable.getWriter();
            try {
                await writer.write(bytes);
            } finally {
                writer.releaseLock();
            }
        });
    }

    pause(ms) {
        this.enqueue(this.opening, () => new Promise((resolve) => setTimeout(resolve, ms)));
    }

    close() {
        const opening = this.opening;
        this.enqueue(opening, () => this.closePort(), {always: true});
        this.opening++;  // nothing more for that opening; it is closed by the operator
    }

    enqueue(opening, operation, {always = false} = {}) {
        this.queue = this.queue.then(async () => {
            if (!always && (opening !== this.opening || this.lost)) return;
            try {
                await operation();
            } catch (error) {
                if (!always) this.fail(opening, error);
            }
        });
    }

    async openAt(opening, settings) {
        await this.port.open({
            baudRate: settings.baud,
            dataBits: settings.dataBits,
            parity: kParityNames[settings.parity],
            stopBits: kStopBitsOf[settings.stopBits],
            bufferSize: kReceiveBufferBytes,
            flowControl: 'none',
        });
        this.onReopened();
        this.readLoop = this.readAll(opening);
    }

    // Reads until the reader is cancelled. A line error (framing, parity, overrun, break:
    // likely while the scan talks at a wrong rate) ends one stream and Web Serial offers a
    // new one: reading goes on. A port without a stream is lost.
    async readAll(opening) {
        while (this.port && this.port.readable) {
            const reader = this.port.readable.getReader();
            this.reader = reader;
            try {
                for (;;) {
                    const {value, done} = await reader.read();
                    if (done) return;
                    if (value && value.length) this.onBytes(value, performance.now());
                }
            } catch (error) {
                if (this.reader !== reader) return;  // cancelled by closePort
                if (error && error.name === 'NetworkError') {
                    this.fail(opening, error);
                    return;
                }
            } finally {
                reader.releaseLock();
                if (this.reader === reader) this.reader = null;
            }
        }
        if (opening === this.opening && !this.lost) this.fail(opening, new Error('no stream'));
    }

    async closePort() {
        const reader = this.reader;
        this.reader = null;
        if (reader) {
            try { await reader.cancel(); } catch (error) { /* the port is going anyway */ }
        }
        if (this.readLoop) {
            await this.readLoop;
            this.readLoop = null;
        }
        try {
            await this.port.close();
        } catch (error) {
            // Closing a port that was never opened or is already gone.
            if (!(error && error.name === 'InvalidStateError')) throw error;
        }
    }

    fail(opening, error) {
        if (opening !== this.opening || this.lost) return;
        this.lost = true;
        console.warn('tarvik: the serial line is lost:', error && error.message);
        const reader = this.reader;
        this.reader = null;
        if (reader) reader.cancel().catch(() => {});
        this.onLost();
    }
}
