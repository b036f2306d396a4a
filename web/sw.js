// Keeps the page's few files so that a computer that opened the page once can upgrade boards
// without the network. Every request goes to the network first and the answer replaces the
// kept copy, so a new version of the page is what the next visit keeps; only when the
// network fails is the kept copy served.
'use strict';

const kCacheName = 'tarvik-page';
const kFiles = [
    './', 'index.html', 'page.css', 'texts.js', 'line.js', 'page.js', 'tarvik.js', 'tarvik.wasm',
    'lamp_on.bmp', 'lamp_off.bmp', 'favicon.svg',
];

self.addEventListener('install', (event) => {
    event.waitUntil((async () => {
        const cache = await caches.open(kCacheName);
        await cache.addAll(kFiles);
        await self.skipWaiting();
    })());
});

self.addEventListener('activate', (event) => {
    event.waitUntil(self.clients.claim());
});

self.addEventListener('fetch', (event) => {
    const request = event.request;
    if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
    event.respondWith((async () => {
        const cache = await caches.open(kCacheName);
        try {
            const response = await fetch(request, {cache: 'no-store'});
            if (response.ok) await cache.put(request, response.clone());
            return response;
        } catch (error) {
            const kept = await cache.match(request, {ignoreSearch: true});
            if (kept) return kept;
            throw error;
        }
    })());
});
