// Serves a folder of static files over HTTP on 127.0.0.1 (a page that uses Web Serial must
// come from https:// or from localhost). Used by ./run --web and by the browser tests.
//   node web/serve.mjs FOLDER [PORT]     PORT 0 takes a free one; prints the address
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import {pathToFileURL} from 'node:url';

const kTypes = {
    '.html': 'text/html; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.wasm': 'application/wasm',
    '.bmp': 'image/bmp',
    '.png': 'image/png',
    '.svg': 'image/svg+xml',
};

// Starts serving `folder`; resolves to the server once it listens.
export function serveFolder(folder, port = 0, host = '127.0.0.1') {
    const root = path.resolve(folder);
    const server = http.createServer((request, response) => {
        let name;
        try {
            name = decodeURIComponent(new URL(request.url, 'http://host').pathname);
        } catch (error) {
            response.writeHead(400).end();
            return;
        }
        if (name.endsWith('/')) name += 'index.html';
        const file = path.resolve(root, '.' + name);
        if (!file.startsWith(root + path.sep)) {
            response.writeHead(403).end();
            return;
        }
        fs.readFile(file, (error, data) => {
            if (error) {
                response.writeHead(404, {'Content-Type': 'text/plain'}).end('not found\n');
                return;
            }
            response.writeHead(200, {
                'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream',
                'Cache-Control': 'no-cache',
            });
            response.end(data);
        });
    });
    return new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, host, () => resolve(server));
    });
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
    const [folder, port = '8000'] = process.argv.slice(2);
    if (!folder || !fs.existsSync(path.join(folder, 'index.html'))) {
        console.error('usage: node web/serve.mjs FOLDER [PORT] (FOLDER holds index.html)');
        process.exit(2);
    }
    serveFolder(folder, Number(port)).then((server) => {
        const {port: bound} = server.address();
        console.log(`tarvik page: http://127.0.0.1:${bound}/ (Ctrl-C ends)`);
    }, (error) => {
        console.error(`serve: ${error.message}`);
        process.exit(1);
    });
}
