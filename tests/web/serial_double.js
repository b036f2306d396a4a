// A test double of navigator.serial, installed before the page's scripts run. Its one port
// carries the page's bytes and line settings over a WebSocket to the bridge
// (tests/web/bridge.mjs), which holds the pseudo-terminal of the simulated board, and hands
// what the board sends back to the page through the port's readable stream, as Web Serial
// does. window.serialDouble lets a test unplug the port and read what the port was asked.
// The bridge's address is window.__tarvikBridge, set just before this runs.
(() => {
    const bridgeUrl = window.__tarvikBridge;
    const socket = new WebSocket(bridgeUrl);
    socket.binaryType = 'arraybuffer';
    const connected = new Promise((resolve, reject) => {
        socket.addEventListener('open', resolve, {once: true});
        socket.addEventListener('error', () => reject(new Error('no bridge')), {once: true});
    });

    const log = [];  // every open (with its settings), write (its length) and close the page asked for

    class DoublePort extends EventTarget {
        constructor() {
            super();
            this.readable = null;
            this.writable = null;
            this.receive = null;  // the readable stream's controller while open
            this.gone = false;
            socket.addEventListener('message', (event) => {
                if (this.receive && event.data instanceof ArrayBuffer) {
                    this.receive.enqueue(new Uint8Array(event.data));
                }
            });
        }

        getInfo() { return {usbVendorId: 0x1a86, usbProductId: 0x7523}; }

        async open(options) {
            if (this.gone) throw new DOMException('The device has been lost.', 'NetworkError');
            if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
            if (!options || !options.baudRate) throw new TypeError('baudRate is required');
            await connected;
            const settings = {
                baudRate: options.baudRate,
                dataBits: options.dataBits ?? 8,
                parity: options.parity ?? 'none',
                stopBits: options.stopBits ?? 1,
                bufferSize: options.bufferSize ?? 255,
            };
            log.push({op: 'open', ...settings});
            socket.send(JSON.stringify({op: 'open', ...settings}));
            this.readable = new ReadableStream({
                start: (controller) => { this.receive = controller; },
                cancel: () => { this.receive = null; },
            });
            this.writable = new WritableStream({
                start: (controller) => { this.sendError = controller; },
                write: (chunk) => {
                    if (this.gone) throw new DOMException('The device has been lost.', 'NetworkError');
                    log.push({op: 'write', length: chunk.length});
                    socket.send(chunk);
                },
            });
        }

        async close() {
            if (!this.readable) throw new DOMException('The port is already closed.', 'InvalidStateError');
            if (this.readable.locked || this.writable.locked) {
                throw new TypeError('Cannot close a port whose streams are locked.');
            }
            log.push({op: 'close'});
            if (!this.gone) socket.send(JSON.stringify({op: 'close'}));
            this.readable = null;
            this.writable = null;
            this.receive = null;
        }

        // The adapter pulled out: the streams error, the port fires 'disconnect'.
        unplug() {
            this.gone = true;
            const lost = new DOMException('The device has been lost.', 'NetworkError');
            if (this.receive) {
                this.receive.error(lost);
                this.receive = null;
            }
            if (this.sendError) this.sendError.error(lost);
            log.push({op: 'unplug'});
            socket.send(JSON.stringify({op: 'close'}));
            this.dispatchEvent(new Event('disconnect'));
        }
    }

    const port = new DoublePort();
    const serial = new EventTarget();
    serial.requestPort = async () => port;
    serial.getPorts = async () => [port];
    Object.defineProperty(navigator, 'serial', {value: serial, configurable: true});
    window.serialDouble = {port, log, unplug: () => port.unplug()};
})();
