// Applies the command in the page's query: "?ssl=&proxy=HOST&port=PORT" sets the HTTP proxy,
// "?clear" returns to a direct connection, "?cc" removes every cookie. The window then closes.
async function run() {
  const query = location.search.substring(1);
  const params = new URLSearchParams(query);
  if (params.has("proxy")) {
    await browser.proxy.settings.set({ value: {
      proxyType: "manual", http: params.get("proxy") + ":" + params.get("port"), httpProxyAll: false } });
  } else if (query === "clear") {
    await browser.proxy.settings.set({ value: { proxyType: "none" } });
  } else if (query === "cc") {
    await browser.browsingData.removeCookies({});
  }
  window.close();
}
document.addEventListener("DOMContentLoaded", () => { run().catch(() => window.close()); });
