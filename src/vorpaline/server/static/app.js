"use strict";
// The search page: results as you type, grouped by file, and a file view; the URL's hash routes
// between them (#/?q=... and #/file?repository=...&path=...&line=N) so Back and reloads work.
(() => {
  const DEBOUNCE_MS = 120;
  const CONTEXT_LINES = 40;
  const RESULTS = 50;
  const TOKEN_KEY = "vorpaline-token";

  const $ = (id) => document.getElementById(id);
  const query = $("query"), pathGlob = $("path-glob"), language = $("language"), summary = $("summary");
  const results = $("results"), fileView = $("file-view"), fileTitle = $("file-title");
  const fileExtent = $("file-extent"), fileLines = $("file-lines");

  // The token comes once in the address (#token=...); it is kept for this tab, out of the address.
  const token = (() => {
    const given = /^#token=([^&]*)/.exec(location.hash);
    if (given) {
      sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(given[1]));
      history.replaceState(null, "", `${location.pathname}${location.search}#/`);
    }
    return sessionStorage.getItem(TOKEN_KEY);
  })();

  async function api(endpoint, params, signal) {
    const headers = token ? {Authorization: `Bearer ${token}`} : {};
    const reply = await fetch(`/api/${endpoint}?${new URLSearchParams(params)}`, {headers, signal});
    const body = await reply.json().catch(() => ({}));
    if (!reply.ok) throw new Error(body.error || `${reply.status} ${reply.statusText}`);
    return body;
  }

  // Server text only ever goes in through textContent or text nodes.
  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  // ------------------------------------------------------------------ highlighting

  // The query's words, and the parts of its identifiers (parse_config, parseConfig: parse, config),
  // matched case-insensitively anywhere, so they show inside longer identifiers too.
  function termsPattern(text) {
    const words = new Set();
    for (const word of text.split(/[^\p{L}\p{N}_]+/u)) {
      if (!word) continue;
      words.add(word.toLowerCase());
      for (const part of word.split(/_|(?<=\p{Ll})(?=\p{Lu})/u)) if (part.length > 1) words.add(part.toLowerCase());
    }
    if (!words.size) return null;
    const longestFirst = [...words].sort((a, b) => b.length - a.length);
    return new RegExp(longestFirst.map((word) => word.replace(/[.*+?^${}()|[\]\\]/g, "\\$&")).join("|"), "giu");
  }

  function highlighted(text, pattern) {
    const fragment = document.createDocumentFragment();
    let at = 0;
    if (pattern) {
      for (const match of text.matchAll(pattern)) {
        fragment.append(text.slice(at, match.index), element("mark", "", match[0]));
        at = match.index + match[0].length;
      }
    }
    fragment.append(text.slice(at));
    return fragment;
  }

  function codeLine(number, text, pattern) {
    const row = element("div", "line");
    const shown = element("span", "text");
    shown.append(highlighted(text, pattern));
    row.append(element("span", "number", String(number)), shown);
    return row;
  }

  // ------------------------------------------------------------------ results

  let hitItems = [];  // in the order shown, for the keyboard
  let selected = -1;
  let searching = null;  // the AbortController of the search in flight
  let searched = null;  // the inputs the results shown answer
  let debounce = 0;

  function inputs() {
    return {q: query.value.trim(), path: pathGlob.value.trim(), lang: language.value};
  }

  function searchHash(wanted = inputs()) {
    const given = Object.entries(wanted).filter(([, value]) => value);
    return given.length ? `#/?${new URLSearchParams(given)}` : "#/";
  }

  function fileHash(repository, path, line) {
    const params = new URLSearchParams(repository ? {repository, path, line} : {path, line});
    return `#/file?${params}`;
  }

  async function search() {
    clearTimeout(debounce);
    searching?.abort();
    const wanted = inputs();
    searched = JSON.stringify(wanted);
    if (fileView.hidden) history.replaceState(null, "", searchHash(wanted));
    if (!wanted.q) {
      searching = null;
      showResults({hits: []}, null);
      return showStatus();
    }
    const controller = searching = new AbortController();
    const params = {q: wanted.q, k: RESULTS};
    if (wanted.path) params.path = wanted.path;
    if (wanted.lang) params.lang = wanted.lang;
    try {
      const answer = await api("search", params, controller.signal);
      if (controller !== searching) return;
      showResults(answer, termsPattern(wanted.q));
      const count = answer.hits.length;
      summary.textContent = `${count} ${count === 1 ? "hit" : "hits"} in ${answer.took_ms.toFixed(1)} ms`;
    } catch (error) {
      if (controller === searching && error.name !== "AbortError") showError(error);
    }
  }

  function showError(error) {
    summary.textContent = "";
    showResults({hits: []}, null);
    results.append(element("p", "error", error.message));
  }

  async function showStatus() {
    try {
      const {repositories} = await api("status", {});
      if (query.value.trim()) return;
      const total = (field) => repositories.reduce((sum, repository) => sum + (repository[field] || 0), 0);
      const stale = total("stale_files");
      summary.textContent = `${repositories.length} ${repositories.length === 1 ? "repository" : "repositories"}: `
        + `${total("files")} files, ${total("chunks")} chunks indexed`
        + (stale ? `; ${stale} files changed since the last update` : "");
    } catch (error) {
      summary.textContent = error.message;
    }
  }

  function showResults(answer, pattern) {
    const groups = new Map();
    for (const hit of answer.hits) {
      const key = `${hit.repository ?? ""}\u0000${hit.path}`;
      if (!groups.has(key)) groups.set(key, fileGroup(hit, answer.several));
      groups.get(key).append(hitItem(hit, pattern));
    }
    results.replaceChildren(...groups.values());
    hitItems = [...results.querySelectorAll(".hit")];
    selected = -1;
  }

  function fileGroup(hit, several) {
    const group = element("section", "file-group");
    const heading = element("h3", "file-heading");
    if (several && hit.repository) heading.append(element("span", "repository", hit.repository));
    heading.append(element("span", "path", hit.path));
    group.append(heading);
    return group;
  }

  function hitItem(hit, pattern) {
    const item = element("article", "hit");
    const head = element("div", "hit-head");
    const link = element("a", "hit-link", `${hit.path}:${hit.line}`);
    link.href = fileHash(hit.repository, hit.path, hit.line);
    head.append(link);
    for (const defined of hit.definitions) {
      const badge = element("span", "badge", `${defined.kind} ${defined.name}`);
      badge.dataset.kind = defined.kind;
      badge.title = `defined at line ${defined.line}${defined.scope ? ` in ${defined.scope}` : ""}`;
      head.append(badge);
    }
    if (hit.stale) head.append(element("span", "badge stale", "changed since indexed"));
    const snippet = element("div", "code snippet");
    hit.snippet.forEach((text, i) => snippet.append(codeLine(hit.snippet_line + i, text, pattern)));
    item.append(head, snippet);
    item.addEventListener("click", () => select(hitItems.indexOf(item), false));
    return item;
  }

  function select(index, scroll = true) {
    if (!hitItems.length) return;
    hitItems[selected]?.classList.remove("selected");
    selected = Math.max(0, Math.min(hitItems.length - 1, index));
    hitItems[selected].classList.add("selected");
    if (scroll) hitItems[selected].scrollIntoView({block: "nearest"});
  }

  // ------------------------------------------------------------------ the file view

  let reading = null;  // the AbortController of the file read in flight
  let cameFromResults = false;

  async function openFile(params) {
    const line = Math.max(1, parseInt(params.get("line"), 10) || 1);
    const wanted = {path: params.get("path") ?? "", first: Math.max(1, line - CONTEXT_LINES), last: line + CONTEXT_LINES};
    if (params.get("repository")) wanted.repository = params.get("repository");
    results.hidden = true;
    fileView.hidden = false;
    fileTitle.textContent = [wanted.repository, wanted.path].filter(Boolean).join(" / ");
    fileExtent.textContent = "";
    fileLines.replaceChildren();
    reading?.abort();
    const controller = reading = new AbortController();
    try {
      const read = await api("file", wanted, controller.signal);
      if (controller !== reading) return;
      const pattern = termsPattern(query.value);
      read.lines.forEach((text, i) => {
        const row = codeLine(read.first + i, text, pattern);
        if (read.first + i === line) row.classList.add("current");
        fileLines.append(row);
      });
      fileExtent.textContent = `lines ${read.first}\u2013${read.last} of ${read.total_lines}`;
      fileLines.querySelector(".current")?.scrollIntoView({block: "center"});
    } catch (error) {
      if (controller === reading && error.name !== "AbortError") fileLines.replaceChildren(element("p", "error", error.message));
    }
  }

  function backToResults() {
    if (cameFromResults) history.back();
    else location.hash = searchHash();
  }

  // ------------------------------------------------------------------ routing and keys

  function route() {
    const hash = location.hash.replace(/^#\/?/, "");
    const cut = hash.indexOf("?");
    const params = new URLSearchParams(cut < 0 ? "" : hash.slice(cut + 1));
    if ((cut < 0 ? hash : hash.slice(0, cut)) === "file") {
      cameFromResults = !results.hidden && searched !== null;
      return openFile(params);
    }
    reading?.abort();
    fileView.hidden = true;
    results.hidden = false;
    const wanted = {q: params.get("q") ?? "", path: params.get("path") ?? "", lang: params.get("lang") ?? ""};
    if (JSON.stringify(wanted) !== searched) {
      query.value = wanted.q;
      pathGlob.value = wanted.path;
      language.value = wanted.lang;
      search();
    } else if (selected >= 0) {
      hitItems[selected].scrollIntoView({block: "nearest"});
    }
  }

  function edited() {
    if (fileView.hidden) {
      clearTimeout(debounce);
      searching?.abort();  // its answer is stale already
      summary.textContent = "searching\u2026";
      debounce = setTimeout(search, DEBOUNCE_MS);
    } else {
      location.hash = searchHash();  // typing in the file view goes back to searching
    }
  }

  function onKey(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    const typing = event.target instanceof HTMLInputElement || event.target instanceof HTMLSelectElement;
    const inFile = !fileView.hidden;
    if (event.key === "Escape") {
      event.preventDefault();
      if (inFile) backToResults();
      else if (query.value) {
        query.value = "";
        search();
        query.focus();
      }
    } else if (event.key === "/" && !typing) {
      event.preventDefault();
      query.focus();
      query.select();
    } else if (!inFile && event.target !== language) {
      const step = {ArrowDown: 1, ArrowUp: -1, ...(typing ? {} : {j: 1, k: -1})}[event.key];
      if (step) {
        event.preventDefault();
        select(selected + step);
      } else if (event.key === "Enter" && hitItems.length && !(event.target instanceof HTMLAnchorElement)) {
        event.preventDefault();
        location.hash = hitItems[Math.max(selected, 0)].querySelector(".hit-link").hash;
      }
    }
  }

  $("search-form").addEventListener("submit", (event) => event.preventDefault());
  query.addEventListener("input", edited);
  pathGlob.addEventListener("input", edited);
  language.addEventListener("change", () => (fileView.hidden ? search() : edited()));
  $("back").addEventListener("click", (event) => {
    event.preventDefault();
    backToResults();
  });
  document.addEventListener("keydown", onKey);
  window.addEventListener("hashchange", route);
  route();
})();
