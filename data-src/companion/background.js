"use strict";
// Veilport's companion: one script for Firefox and the Chromium family. It talks to the running
// Veilport through the native messaging host and does only what Veilport asks: point this browser's
// own proxy at the applied proxy, keep WebRTC off every path but the proxy's, give the user's settings
// back, clear browsing data, say who it is. Whenever the connection ends (Veilport stopped, crashed or
// was never there) the user's own proxy and WebRTC settings are back in force.

const HOST_NAME = "org.veilport.companion";
const RECONNECT_ALARM = "veilport-reconnect";
const isFirefox = typeof browser !== "undefined" && typeof browser.runtime.getBrowserInfo === "function";
const api = isFirefox ? browser : chrome;

let port = null;
// The per-request proxy used where Firefox refuses proxy.settings (it wants the private-window
// permission for that); removing the listener hands every request back to the user's setting.
let requestProxy = null;

// The Chromium family answers through callbacks and lastError, Firefox through promises.
function call(fn, thisArg, ...args) {
    if (isFirefox)
        return fn.apply(thisArg, args);
    return new Promise((resolve, reject) => {
        fn.call(thisArg, ...args, (result) => {
            const error = chrome.runtime.lastError;
            if (error)
                reject(new Error(error.message));
            else
                resolve(result);
        });
    });
}

function browserName() {
    if (isFirefox)
        return "firefox";
    const brands = (navigator.userAgentData && navigator.userAgentData.brands) || [];
    for (const known of ["Google Chrome", "Brave", "Vivaldi", "Microsoft Edge"]) {
        if (brands.some((b) => b.brand === known))
            return known.toLowerCase().replace(/ /g, "-");
    }
    return "chromium";
}

function send(message) {
    if (!port)
        return;
    try {
        port.postMessage(message);
    } catch (e) {
        // The port died between the check and the send; onDisconnect restores the user's setting.
    }
}

function validProxy(command) {
    const host = command.host;
    const portNumber = command.port;
    return typeof host === "string" && /^[A-Za-z0-9.\-:\[\]]{1,253}$/.test(host) && Number.isInteger(portNumber) &&
           portNumber > 0 && portNumber < 65536;
}

function dropRequestProxy() {
    if (requestProxy && isFirefox) {
        browser.proxy.onRequest.removeListener(requestProxy);
    }
    requestProxy = null;
}

// A SOCKS5 proxy carries every page and is handed the site's name, so that no lookup of this machine's
// tells where the browser goes: Firefox's proxyDNS, and the Chromium family's "socks5" scheme.
async function setSocksProxy(host, portNumber) {
    dropRequestProxy();
    if (isFirefox) {
        const address = host.includes(":") && !host.startsWith("[") ? `[${host}]:${portNumber}` : `${host}:${portNumber}`;
        try {
            const accepted = await browser.proxy.settings.set({
                value: {proxyType: "manual", http: "", ssl: "", socks: address, socksVersion: 5, proxyDNS: true,
                        httpProxyAll: false, passthrough: ""},
            });
            if (accepted)
                return "settings";
        } catch (e) {
            // Falls through to the per-request proxy below.
        }
        requestProxy = () => ({type: "socks", host: host, port: portNumber, proxyDNS: true});
        browser.proxy.onRequest.addListener(requestProxy, {urls: ["<all_urls>"]});
        return "requests";
    }
    await call(chrome.proxy.settings.set, chrome.proxy.settings, {
        scope: "regular",
        value: {mode: "fixed_servers", rules: {singleProxy: {scheme: "socks5", host: host, port: portNumber}}},
    });
    return "settings";
}

// Secure pages go through the proxy too unless Veilport says otherwise (its user chose to hide only plain
// pages): then they go direct, as on the desktop.
async function setProxy(host, portNumber, https) {
    dropRequestProxy();
    if (isFirefox) {
        const address = host.includes(":") && !host.startsWith("[") ? `[${host}]:${portNumber}` : `${host}:${portNumber}`;
        try {
            const accepted = await browser.proxy.settings.set({
                value: {proxyType: "manual", http: address, ssl: https ? address : "", httpProxyAll: false,
                        passthrough: ""},
            });
            if (accepted)
                return "settings";
        } catch (e) {
            // Falls through to the per-request proxy below.
        }
        requestProxy = (request) => {
            if (!https && /^(https|wss):/i.test(request.url))
                return {type: "direct"};
            return {type: "http", host: host, port: portNumber};
        };
        browser.proxy.onRequest.addListener(requestProxy, {urls: ["<all_urls>"]});
        return "requests";
    }
    const server = {scheme: "http", host: host, port: portNumber};
    // A scheme without a rule of its own goes direct.
    const rules = https ? {proxyForHttp: server, proxyForHttps: server} : {proxyForHttp: server};
    await call(chrome.proxy.settings.set, chrome.proxy.settings, {
        scope: "regular",
        value: {mode: "fixed_servers", rules: rules},
    });
    return "settings";
}

async function restoreUserProxy() {
    dropRequestProxy();
    try {
        if (isFirefox)
            await browser.proxy.settings.clear({});
        else
            await call(chrome.proxy.settings.clear, chrome.proxy.settings, {scope: "regular"});
    } catch (e) {
        // Nothing of ours was set (or Firefox would not have let us set it): nothing to give back.
    }
}

// A page's WebRTC gathers its candidates over UDP, which no proxy setting covers: while Veilport hides,
// WebRTC may use the proxied path or nothing. The browser keeps the user's own value beneath ours.
function webRtcSetting() {
    // Without the "privacy" permission (refused, or an older browser) the API is not there at all.
    if (!api.privacy || !api.privacy.network || !api.privacy.network.webRTCIPHandlingPolicy)
        throw new Error("no privacy permission");
    return api.privacy.network.webRTCIPHandlingPolicy;
}

async function protectWebRtc() {
    const setting = webRtcSetting();
    const accepted = await call(setting.set, setting, {value: "disable_non_proxied_udp"});
    // Firefox answers false, the Chromium family nothing, when a policy or another extension holds the setting.
    const now = await call(setting.get, setting, {});
    if (accepted === false || !now || now.levelOfControl !== "controlled_by_this_extension" ||
        now.value !== "disable_non_proxied_udp")
        throw new Error("WebRTC setting held by " + ((now && now.levelOfControl) || "the browser"));
}

async function restoreUserWebRtc() {
    try {
        const setting = webRtcSetting();
        await call(setting.clear, setting, {});
    } catch (e) {
        // Nothing of ours was set: nothing to give back.
    }
}

async function clearBrowsingData() {
    const kinds = {cookies: true, cache: true, history: true};
    if (isFirefox)
        await browser.browsingData.remove({since: 0}, kinds);
    else
        await call(chrome.browsingData.remove, chrome.browsingData, {since: 0}, kinds);
}

async function onCommand(command) {
    if (!command || typeof command !== "object" || typeof command.cmd !== "string")
        return;
    const id = Number.isInteger(command.id) ? command.id : 0;
    const reply = {type: "result", id: id, cmd: command.cmd, browser: browserName()};
    try {
        switch (command.cmd) {
        case "setProxy":
            if (!validProxy(command))
                throw new Error("malformed proxy");
            if (command.scheme === "socks5") {
                reply.via = await setSocksProxy(command.host, command.port);
                reply.scheme = "socks5";
                reply.proxyDNS = true;
            } else if (command.scheme === undefined || command.scheme === "http") {
                reply.via = await setProxy(command.host, command.port, command.https !== false);
            } else {
                throw new Error("unknown proxy scheme");
            }
            break;
        case "clearProxy":
            await restoreUserProxy();
            break;
        case "setWebRtc":
            if (command.protect === true)
                await protectWebRtc();
            else
                await restoreUserWebRtc();
            reply.protect = command.protect === true;
            break;
        case "clearData":
            await clearBrowsingData();
            reply.cleared = ["cookies", "cache", "history"];
            break;
        case "hello":
            reply.version = api.runtime.getManifest().version;
            break;
        default:
            throw new Error("unknown command");
        }
        reply.ok = true;
    } catch (e) {
        reply.ok = false;
        reply.error = String((e && e.message) || e);
    }
    send(reply);
}

function connect() {
    if (port)
        return;
    try {
        port = api.runtime.connectNative(HOST_NAME);
    } catch (e) {
        port = null;
        return;
    }
    port.onMessage.addListener(onCommand);
    port.onDisconnect.addListener(() => {
        port = null;
        restoreUserProxy();
        restoreUserWebRtc();
    });
    send({type: "hello", browser: browserName(), version: api.runtime.getManifest().version});
}

// A proxy or WebRTC policy left set by a browser that ended while hiding is given back before anything else.
Promise.all([restoreUserProxy(), restoreUserWebRtc()]).then(connect);
// Veilport may start after the browser: look for it again every half minute while not connected.
api.alarms.create(RECONNECT_ALARM, {periodInMinutes: 0.5});
api.alarms.onAlarm.addListener((alarm) => {
    if (alarm.name === RECONNECT_ALARM)
        connect();
});
