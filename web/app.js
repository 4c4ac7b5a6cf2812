// Kadro in the browser: draws the panels the plug-in describes and reports
// every edit and press back to the host program that serves this page.
'use strict';

// ---- small helpers ----

function h(tag, attributes, ...children) {
  const element = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key.startsWith('on')) element.addEventListener(key.slice(2), value);
    else if (key === 'className') element.className = value;
    else if (value === true) element.setAttribute(key, '');
    else element.setAttribute(key, value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return element;
}

// Requests that call the plug-in wait while a task holds it, rather than be
// turned away.
const hostPaths = /^\/api\/(preferences|export|open-with|photos\/\d+\/inspect)/;

async function whenIdle() {
  for (;;) {
    let task = null;
    try {
      const response = await fetch('/api/task', { credentials: 'same-origin' });
      task = (await response.json()).task;
    } catch (error) {
      return;
    }
    if (!task || task.finished) return;
    await new Promise((resolve) => setTimeout(resolve, 400));
  }
}

async function api(method, path, body) {
  if (hostPaths.test(path) && !path.endsWith('/start')) await whenIdle();
  const request = { method, credentials: 'same-origin', headers: {} };
  if (body instanceof FormData) {
    request.body = body;
  } else if (body !== undefined) {
    request.headers['Content-Type'] = 'application/json';
    request.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, request);
  } catch (error) {
    return { status: 0, ok: false, data: { message: 'Kadro does not answer: is kadro serve still running?' } };
  }
  let data = {};
  try {
    data = await response.json();
  } catch (error) {
    data = { message: response.statusText || 'no answer' };
  }
  return { status: response.status, ok: response.ok, data };
}

// The text a user reads for a failed request.
function problemText(data) {
  if (data.error) {
    return [data.error.description, data.error.reason].filter(Boolean).join(' ');
  }
  return data.message || 'Something went wrong.';
}

function elementId(identifier) {
  return 'el-' + identifier;
}

function thumbnailUrl(path, version) {
  return '/api/thumbnail?path=' + encodeURIComponent(path) + (version ? '&v=' + version : '');
}

function baseName(path) {
  return path.split('/').pop();
}

const app = document.getElementById('app');
let main;
let banner;

function showBanner(text, kind) {
  banner.replaceChildren();
  if (!text) {
    banner.hidden = true;
    return;
  }
  banner.hidden = false;
  banner.className = 'banner ' + (kind || 'error');
  banner.append(h('span', {}, text),
    h('button', { type: 'button', className: 'quiet', onclick: () => showBanner('') }, 'Dismiss'));
}

// ---- drawing settings elements ----

// ctx: { send(identifier, event), problems: {identifier: text}, notes: {identifier: text} }
function drawElements(elements, ctx) {
  const out = [];
  let buttons = null;
  for (const element of elements) {
    if (element.kind === 'button') {
      if (!buttons) {
        buttons = h('div', { className: 'buttons' });
        out.push(buttons);
      }
      buttons.append(drawElement(element, ctx));
      continue;
    }
    buttons = null;
    out.push(drawElement(element, ctx));
  }
  return out;
}

function problemLine(identifier, ctx) {
  const lines = [];
  if (ctx.problems && ctx.problems[identifier]) {
    lines.push(h('p', { className: 'problem', id: elementId(identifier) + '-problem', role: 'alert' },
      ctx.problems[identifier]));
  }
  if (ctx.notes && ctx.notes[identifier]) {
    lines.push(h('p', { className: 'hint', id: elementId(identifier) + '-note' }, ctx.notes[identifier]));
  }
  return lines;
}

function describedBy(identifier, ctx) {
  const ids = [];
  if (ctx.problems && ctx.problems[identifier]) ids.push(elementId(identifier) + '-problem');
  if (ctx.notes && ctx.notes[identifier]) ids.push(elementId(identifier) + '-note');
  return ids.length ? ids.join(' ') : null;
}

function drawElement(element, ctx) {
  const id = elementId(element.identifier);
  const invalid = ctx.problems && ctx.problems[element.identifier] ? 'true' : null;
  switch (element.kind) {
    case 'group':
      return h('section', { className: 'panel', 'aria-labelledby': id + '-title' },
        h('h2', { id: id + '-title' }, element.title),
        drawElements(element.elements, ctx));
    case 'text': {
      const input = h('input', {
        type: 'text', id, name: element.identifier, value: element.value ?? '',
        'aria-invalid': invalid, 'aria-describedby': describedBy(element.identifier, ctx),
        spellcheck: 'false', autocomplete: 'off',
        onchange: (event) => ctx.send(element.identifier, { value: event.target.value }),
      });
      return h('div', { className: 'field' }, h('label', { for: id }, element.title), input,
        problemLine(element.identifier, ctx));
    }
    case 'checkbox': {
      const input = h('input', {
        type: 'checkbox', id, name: element.identifier, checked: element.value === true,
        'aria-describedby': describedBy(element.identifier, ctx),
        onchange: (event) => ctx.send(element.identifier, { value: event.target.checked }),
      });
      return h('div', { className: 'field check' }, input, h('label', { for: id }, element.title),
        problemLine(element.identifier, ctx));
    }
    case 'label': {
      const text = element.value ?? '';
      const error = /^invalid/i.test(text);
      return h('div', { className: 'label' + (error ? ' problem-label' : ''), id, role: error ? 'alert' : null },
        element.title ? h('h3', {}, element.title) : null,
        text.split('\n\n').map((paragraph) => h('p', {}, paragraph)));
    }
    case 'button':
      return h('button', {
        type: 'button', id, className: /save$/i.test(element.context) || element.context === 'save' ? 'primary' : null,
        onclick: () => ctx.send(element.identifier, { event: 'press' }),
      }, element.title);
    case 'list':
      return element.options.some((option) => option.image) ? drawTiles(element, ctx)
        : drawSelect(element, ctx);
    case 'file':
      return drawFolderChooser(element, ctx);
    default:
      return h('p', {}, element.title);
  }
}

// A list whose options carry pictures: one radio button per option, shown
// as a tile with the picture and the option's title.
function drawTiles(element, ctx) {
  const id = elementId(element.identifier);
  const name = element.identifier;
  const tiles = element.options.map((option, index) => {
    const optionId = id + '-' + index;
    const checked = option.value === element.value;
    return h('div', { className: 'tile' + (checked ? ' chosen' : '') },
      h('input', {
        type: 'radio', id: optionId, name, value: option.value, checked,
        onchange: () => ctx.send(element.identifier, { value: option.value }),
      }),
      h('label', { for: optionId },
        option.image ? h('img', { src: option.image, alt: '', width: 48, height: 48 })
          : h('span', { className: 'no-image' }),
        h('span', { className: 'tile-title' }, option.title)));
  });
  return h('fieldset', {
    className: 'tiles', id, 'aria-invalid': ctx.problems && ctx.problems[element.identifier] ? 'true' : null,
  },
  h('legend', {}, element.title), h('div', { className: 'tile-row' }, tiles),
  problemLine(element.identifier, ctx));
}

function drawSelect(element, ctx) {
  const id = elementId(element.identifier);
  const select = h('select', {
    id, name: element.identifier,
    onchange: (event) => ctx.send(element.identifier, { value: event.target.value }),
  }, element.options.map((option) => h('option', { value: option.value, selected: option.value === element.value }, option.title)));
  return h('div', { className: 'field' }, h('label', { for: id }, element.title), select,
    problemLine(element.identifier, ctx));
}

function urlToPath(url) {
  if (!url || !url.startsWith('file://')) return url || '';
  let path = decodeURIComponent(url.slice(7));
  if (path.length > 1 && path.endsWith('/')) path = path.slice(0, -1);
  return path;
}

function drawFolderChooser(element, ctx) {
  const id = elementId(element.identifier);
  const chosen = (element.value || []).map(urlToPath).filter(Boolean).join(', ');
  const start = urlToPath(element.directory) || null;
  return h('div', { className: 'field' },
    h('label', { for: id }, element.title),
    h('div', { className: 'chooser' },
      h('input', {
        type: 'text', id, readonly: true, value: chosen, placeholder: 'No folder chosen',
        'aria-describedby': describedBy(element.identifier, ctx),
      }),
      h('button', {
        type: 'button', id: id + '-choose',
        onclick: async () => {
          const picked = await browse({ mode: 'folder', start, title: element.title });
          if (!picked) return;
          const answer = await api('POST', '/api/folders/choose', { path: picked });
          if (!answer.ok) return showBanner(problemText(answer.data));
          ctx.send(element.identifier, { value: [answer.data.url] });
        },
      }, 'Choose…')),
    problemLine(element.identifier, ctx));
}

// Keeps the keyboard where it was across a redraw.
function redraw(container, build) {
  const active = document.activeElement && document.activeElement.id;
  container.replaceChildren(...[build()].flat());
  if (active) {
    const again = document.getElementById(active);
    if (again) again.focus();
  }
}

function findElement(panels, identifier) {
  for (const group of panels) {
    for (const element of group.elements || []) {
      if (element.identifier === identifier) return element;
    }
  }
  return null;
}

// ---- the folder and photo browser ----

let browserDialog;

// Resolves to a folder path (mode "folder"), a list of file paths (mode
// "files"), or null when the user closed it.
function browse({ mode, start, title }) {
  return new Promise((resolve) => {
    const dialog = browserDialog;
    let current = null;
    const picked = new Set();
    const heading = h('h2', { id: 'browser-title' }, mode === 'folder' ? 'Choose ' + (title || 'a folder') : 'Add photos from disk');
    const pathInput = h('input', { type: 'text', id: 'browser-path', spellcheck: 'false', autocomplete: 'off' });
    const list = h('ul', { className: 'entries', id: 'browser-entries' });
    const problem = h('p', { className: 'problem', role: 'alert', hidden: true });
    const done = (value) => {
      dialog.close();
      resolve(value);
    };
    const footer = h('div', { className: 'buttons' });

    let asked = 0;
    async function open(path) {
      // Only the latest request counts: typing a path may overtake the first listing.
      const mine = ++asked;
      const answer = await api('GET', '/api/folders?files=' + (mode === 'files' ? 1 : 0) +
        (path ? '&path=' + encodeURIComponent(path) : ''));
      if (mine !== asked) return;
      if (!answer.ok) {
        problem.hidden = false;
        problem.textContent = problemText(answer.data);
        return;
      }
      problem.hidden = true;
      current = answer.data;
      pathInput.value = current.path;
      dialog.dataset.path = current.path;
      picked.clear();
      const items = [];
      if (current.parent) {
        items.push(h('li', {}, h('button', { type: 'button', className: 'entry folder', onclick: () => open(current.parent) }, 'Up to ' + (baseName(current.parent) || '/'))));
      }
      current.entries.forEach((entry, index) => {
        if (entry.folder) {
          items.push(h('li', {}, h('button', { type: 'button', className: 'entry folder', onclick: () => open(entry.path) }, entry.name)));
        } else {
          const boxId = 'browser-file-' + index;
          items.push(h('li', { className: 'entry file' },
            h('input', {
              type: 'checkbox', id: boxId, value: entry.path,
              onchange: (event) => (event.target.checked ? picked.add(entry.path) : picked.delete(entry.path)),
            }),
            h('label', { for: boxId }, entry.name)));
        }
      });
      if (!current.entries.length) items.push(h('li', { className: 'empty' }, mode === 'files' ? 'No folders or photos here.' : 'No folders here.'));
      list.replaceChildren(...items);
    }

    footer.replaceChildren(...[
      h('button', { type: 'button', onclick: () => done(null) }, 'Cancel'),
      mode === 'folder'
        ? h('button', { type: 'button', className: 'primary', id: 'browser-choose', onclick: () => current && done(current.path) }, 'Choose This Folder')
        : [
          h('button', {
            type: 'button', id: 'browser-add-all',
            onclick: () => current && done(current.entries.filter((e) => !e.folder).map((e) => e.path)),
          }, 'Add All Photos Here'),
          h('button', { type: 'button', className: 'primary', id: 'browser-add', onclick: () => done([...picked]) }, 'Add Selected Photos'),
        ]].flat());
    dialog.replaceChildren(
      heading,
      h('div', { className: 'field' }, h('label', { for: 'browser-path' }, 'Folder'),
        h('form', { className: 'chooser', onsubmit: (event) => { event.preventDefault(); open(pathInput.value); } },
          pathInput, h('button', { type: 'submit', id: 'browser-go' }, 'Go'))),
      problem, list, footer);
    dialog.setAttribute('aria-labelledby', 'browser-title');
    delete dialog.dataset.path;
    dialog.onclose = () => resolve(null);
    dialog.showModal();
    open(start);
  });
}

// ---- a yes/no question ----

function ask(title, lines, yes) {
  return new Promise((resolve) => {
    const dialog = h('dialog', { className: 'ask', 'aria-labelledby': 'ask-title' });
    const finish = (answer) => {
      dialog.close();
      dialog.remove();
      resolve(answer);
    };
    dialog.append(...[h('h2', { id: 'ask-title' }, title),
      lines.map((line) => (Array.isArray(line) ? h('ul', { className: 'names' }, line.map((n) => h('li', {}, n))) : h('p', {}, line))),
      h('div', { className: 'buttons' },
        h('button', { type: 'button', id: 'ask-no', onclick: () => finish(false) }, 'Cancel'),
        h('button', { type: 'button', className: 'primary', id: 'ask-yes', onclick: () => finish(true) }, yes))].flat());
    dialog.addEventListener('cancel', () => resolve(false));
    document.body.append(dialog);
    dialog.showModal();
  });
}

// ---- the preferences ----

const prefs = { revision: 0, dirty: false, panels: [], problems: {}, notes: {} };

function presetName(panels) {
  const name = panels[0] && panels[0].elements.find((e) => e.identifier.endsWith('.preset-name'));
  return name ? name.value : '';
}

async function sendPreference(identifier, event) {
  const element = findElement(prefs.panels, identifier);
  if (element && element.kind === 'button' && element.context === 'delete') {
    const name = prefs.panels[0].elements.find((e) => e.identifier.endsWith('.preset-list'));
    const sure = await ask('Delete the preset “' + (name ? name.value : '') + '”?',
      ['The stored preset is removed. This cannot be undone.'], 'Delete');
    if (!sure) return;
  }
  if (prefs.dirty && element && identifier.endsWith('.preset-list') && event.value !== element.value) {
    const keep = !(await ask('Discard unsaved changes?',
      ['The changes to “' + element.value + '” are not saved. Choosing another preset discards them.'],
      'Discard Changes'));
    if (keep) return drawPreferences();
  }
  const answer = await api('POST', '/api/preferences/event', { ...event, identifier, revision: prefs.revision });
  prefs.problems = {};
  prefs.notes = {};
  if (answer.data.panels) {
    prefs.panels = answer.data.panels;
    prefs.revision = answer.data.revision;
    prefs.dirty = answer.data.dirty;
  }
  if (answer.ok) {
    showBanner('');
    // A typed value the plug-in did not take: say so beside the field.
    const after = findElement(prefs.panels, identifier);
    if (after && after.kind === 'text' && 'value' in event && after.value !== event.value) {
      prefs.notes[identifier] = '“' + event.value + '” was not taken; ' + after.title + ' stays ' + after.value + '.';
    }
  } else if (answer.status === 409) {
    showBanner(answer.data.message, 'warning');
  } else if (findElement(prefs.panels, answer.data.identifier || identifier)) {
    prefs.problems[answer.data.identifier || identifier] = problemText(answer.data);
  } else {
    showBanner(problemText(answer.data));
  }
  drawPreferences();
}

function drawPreferences() {
  const ctx = { send: sendPreference, problems: prefs.problems, notes: prefs.notes };
  const view = document.getElementById('view-presets');
  if (!view) return;
  const group = prefs.panels[0];
  if (!group) return;
  redraw(view, () => {
    const list = group.elements.find((e) => e.identifier.endsWith('.preset-list'));
    const rest = group.elements.filter((e) => e !== list);
    const editorTitle = presetName(prefs.panels);
    return [
      h('section', { className: 'panel presets', 'aria-label': group.title },
        list ? drawElement(list, ctx) : null),
      h('section', { className: 'panel editor', 'aria-labelledby': 'editor-title' },
        h('h2', { id: 'editor-title' }, editorTitle ? 'Edit “' + editorTitle + '”' : 'Edit preset',
          prefs.dirty ? h('span', { className: 'badge', id: 'unsaved' }, 'Unsaved changes') : null),
        drawElements(rest, ctx)),
    ];
  });
}

async function showPresets() {
  main.replaceChildren(h('div', { className: 'columns', id: 'view-presets' }, h('p', { className: 'hint' }, 'Loading presets…')));
  const answer = await api('GET', '/api/preferences');
  if (!answer.ok) return showBanner(problemText(answer.data));
  Object.assign(prefs, { revision: answer.data.revision, dirty: answer.data.dirty, panels: answer.data.panels, problems: {}, notes: {} });
  drawPreferences();
}

async function showAbout() {
  const answer = await api('GET', '/api/preferences');
  if (!answer.ok) return showBanner(problemText(answer.data));
  const about = answer.data.panels[1];
  const labels = about ? about.elements : [];
  const version = labels.find((e) => e.title === 'Installed Version');
  main.replaceChildren(h('section', { className: 'panel about', id: 'view-about', 'aria-labelledby': 'about-title' },
    h('div', { className: 'about-head' },
      h('img', { src: '/api/logo', alt: 'Kadro logo', width: 128, height: 128 }),
      h('div', {}, h('h2', { id: 'about-title' }, about ? about.title : 'About Kadro'),
        version ? h('p', { className: 'version', id: 'version' }, 'Version ' + version.value) : null)),
    labels.filter((e) => e !== version).map((e) => drawElement(e, { send: () => {}, problems: {} }))));
}

// ---- photos, shared by Export, Open With and Why ----

const photos = { list: [], version: {} };

async function loadPhotos() {
  const answer = await api('GET', '/api/photos');
  if (answer.ok) photos.list = answer.data.photos;
  return answer;
}

async function uploadFiles(files, after) {
  for (const file of files) {
    const form = new FormData();
    form.append('photo', file, file.name);
    const answer = await api('POST', '/api/photos/upload', form);
    if (!answer.ok) {
      showBanner(file.name + ': ' + problemText(answer.data));
      continue;
    }
    photos.list = answer.data.photos;
  }
  after();
}

function drawPhotoPicker(after) {
  const input = h('input', {
    type: 'file', id: 'upload', multiple: true, accept: '.jpg,.jpeg,.png,image/jpeg,image/png', className: 'visually-hidden',
    onchange: (event) => uploadFiles([...event.target.files], after),
  });
  const cards = photos.list.map((photo) => h('li', { className: 'photo' },
    h('img', { src: thumbnailUrl(photo.path, photos.version[photo.id]), alt: '', loading: 'lazy' }),
    h('span', { className: 'photo-name', title: photo.path }, photo.name),
    h('button', {
      type: 'button', className: 'quiet', 'aria-label': 'Remove ' + photo.name,
      onclick: async () => {
        const answer = await api('DELETE', '/api/photos/' + photo.id);
        if (!answer.ok) return showBanner(problemText(answer.data));
        photos.list = answer.data.photos;
        after();
      },
    }, 'Remove')));
  const zone = h('section', { className: 'panel photos', id: 'photos', 'aria-labelledby': 'photos-title' },
    h('h2', { id: 'photos-title' }, 'Photos', h('span', { className: 'count' }, photos.list.length ? ' · ' + photos.list.length : '')),
    h('div', { className: 'buttons' },
      h('button', {
        type: 'button', id: 'pick-photos',
        onclick: async () => {
          const paths = await browse({ mode: 'files' });
          if (!paths || !paths.length) return;
          const answer = await api('POST', '/api/photos/pick', { paths });
          if (!answer.ok) return showBanner(problemText(answer.data));
          photos.list = answer.data.photos;
          after();
        },
      }, 'Add Photos from Disk…'),
      input, h('label', { for: 'upload', className: 'button' }, 'Upload Photos…')),
    cards.length ? h('ul', { className: 'photo-grid' }, cards)
      : h('p', { className: 'drop-hint' }, 'Drop JPEG or PNG photos here, or add them from the disk.'));
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('dropping');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('dropping'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('dropping');
    uploadFiles([...event.dataTransfer.files], after);
  });
  return zone;
}

// ---- tasks ----

// Pictures of the photos as they were before a task that replaces them.
let beforeTask = {};

function drawTask(task, onCancel) {
  const finished = task.finished;
  return h('section', { className: 'panel task', id: 'task', 'aria-labelledby': 'task-title', 'aria-live': 'polite' },
    h('h2', { id: 'task-title' }, task.kind === 'export' ? 'Export' : 'Open With'),
    h('label', { for: 'task-progress' }, finished ? (task.cancelled ? 'Stopped' : 'Done') + ': ' + task.done + ' of ' + task.count
      : 'Progress: ' + task.done + ' of ' + task.count),
    h('progress', { id: 'task-progress', max: task.count || 1, value: task.done }),
    h('p', { id: 'task-text', className: finished ? (task.failed ? 'problem' : 'outcome') : 'hint' },
      finished ? task.message : (task.cancelled ? 'Cancelling after the photo being worked on…' : task.text || 'Starting…')),
    finished ? null : h('div', { className: 'buttons' },
      h('button', { type: 'button', id: 'task-cancel', disabled: task.cancelled, onclick: onCancel }, 'Cancel')),
    task.results.length ? h('ul', { className: 'results', id: 'results' }, task.results.map((result) => {
      const source = photos.list.find((p) => p.id === result.photo);
      // Open With replaces the source: its picture from before the task stands in.
      const before = task.kind === 'export' ? source && thumbnailUrl(source.path) : beforeTask[result.photo];
      return h('li', { className: 'result' },
        before ? h('figure', {}, h('img', { src: before, alt: 'Source ' + (source ? source.name : '') }),
          h('figcaption', {}, source ? source.name : '')) : null,
        before ? h('span', { className: 'arrow', 'aria-hidden': 'true' }, '→') : null,
        h('figure', {}, h('img', { src: thumbnailUrl(result.path, task.id), alt: 'Result ' + baseName(result.path) }),
          h('figcaption', { className: 'result-name' }, baseName(result.path))));
    })) : null);
}

// Follows the running task with server-sent events until it ends.
function followTask(container, after) {
  const source = new EventSource('/api/task/events');
  const cancel = async () => {
    const answer = await api('POST', '/api/task/cancel');
    if (!answer.ok) showBanner(problemText(answer.data));
  };
  source.onmessage = (message) => {
    const task = JSON.parse(message.data);
    if (task.kind === 'open-with') task.results.forEach((r) => { photos.version[r.photo] = task.id; });
    container.replaceChildren(drawTask(task, cancel));
    if (task.finished) {
      source.close();
      if (after) after(task);
    }
  };
  source.onerror = () => source.close();
}

// ---- export ----

const recipe = { panels: [], problems: {} };

async function sendRecipe(identifier, event) {
  const answer = await api('POST', '/api/export/event', { ...event, identifier });
  recipe.problems = {};
  if (answer.data.panels) recipe.panels = answer.data.panels;
  if (!answer.ok) {
    if (findElement(recipe.panels, identifier)) recipe.problems[identifier] = problemText(answer.data);
    else showBanner(problemText(answer.data));
  } else {
    showBanner('');
  }
  drawRecipe();
}

function drawRecipe() {
  const box = document.getElementById('recipe');
  if (!box) return;
  redraw(box, () => drawElements(recipe.panels, { send: sendRecipe, problems: recipe.problems }));
}

async function showExport() {
  main.replaceChildren(h('div', { className: 'columns', id: 'view-export' },
    h('div', { id: 'photo-box' }), h('div', {}, h('div', { id: 'recipe' }),
      h('div', { className: 'buttons go' }, h('button', { type: 'button', className: 'primary', id: 'export-start', onclick: startExport }, 'Export Photos')),
      h('div', { id: 'task-box' }))));
  const drawPhotos = () => document.getElementById('photo-box').replaceChildren(drawPhotoPicker(drawPhotos));
  await loadPhotos();
  drawPhotos();
  const answer = await api('GET', '/api/export');
  if (!answer.ok) return showBanner(problemText(answer.data));
  recipe.panels = answer.data.panels;
  recipe.problems = {};
  drawRecipe();
  const running = await api('GET', '/api/task');
  if (running.ok && running.data.task && running.data.task.kind === 'export') {
    followTask(document.getElementById('task-box'));
  }
}

async function startExport() {
  if (!photos.list.length) return showBanner('Add the photos to export first.');
  const answer = await api('POST', '/api/export/start', { photos: photos.list.map((p) => p.id) });
  recipe.problems = {};
  if (!answer.ok) {
    if (answer.data.identifier && findElement(recipe.panels, answer.data.identifier)) {
      recipe.problems[answer.data.identifier] = problemText(answer.data);
      drawRecipe();
      const field = document.getElementById(elementId(answer.data.identifier));
      if (field) field.focus();
    } else {
      showBanner(problemText(answer.data));
    }
    return;
  }
  drawRecipe();
  showBanner('');
  followTask(document.getElementById('task-box'));
}

// ---- Open With ----

async function showOpenWith() {
  main.replaceChildren(h('div', { className: 'columns', id: 'view-open-with' },
    h('div', { id: 'photo-box' }), h('div', {},
      h('section', { className: 'panel', 'aria-labelledby': 'open-title' },
        h('h2', { id: 'open-title' }, 'Crop in Place'),
        h('p', { className: 'hint' }, 'Open With replaces each photo with its cropped version, as an export recipe’s “Open With” does.'),
        h('div', { id: 'actions' }),
        h('div', { className: 'buttons' }, h('button', { type: 'button', className: 'primary', id: 'open-start', onclick: startOpenWith }, 'Crop in Place…'))),
      h('div', { id: 'task-box' }))));
  const drawPhotos = () => {
    document.getElementById('photo-box').replaceChildren(drawPhotoPicker(drawPhotos));
    loadActions();
  };
  await loadPhotos();
  drawPhotos();
}

let chosenAction = null;

async function loadActions() {
  const answer = await api('GET', '/api/open-with');
  const box = document.getElementById('actions');
  if (!box) return;
  if (!answer.ok) return showBanner(problemText(answer.data));
  const actions = answer.data.actions;
  if (!actions.some((a) => a.identifier === chosenAction)) chosenAction = actions.length ? actions[0].identifier : null;
  box.replaceChildren(h('fieldset', { className: 'tiles' }, h('legend', {}, 'Preset'),
    h('div', { className: 'tile-row' }, actions.map((action, index) => {
      const id = 'action-' + index;
      const checked = action.identifier === chosenAction;
      return h('div', { className: 'tile' + (checked ? ' chosen' : '') },
        h('input', {
          type: 'radio', name: 'open-with-action', id, value: action.identifier, checked,
          onchange: () => {
            chosenAction = action.identifier;
            box.querySelectorAll('.tile').forEach((t) => t.classList.toggle('chosen', t.contains(document.getElementById(id))));
          },
        }),
        h('label', { for: id }, action.image ? h('img', { src: action.image, alt: '', width: 32, height: 32 }) : h('span', { className: 'no-image' }),
          h('span', { className: 'tile-title' }, action.title.replace(/^Kadro: /, ''))));
    }))));
}

async function startOpenWith() {
  if (!photos.list.length) return showBanner('Add the photos to crop first.');
  if (!chosenAction) return showBanner('Choose a preset first.');
  const label = document.querySelector('input[name="open-with-action"]:checked + label .tile-title');
  const preset = label ? label.textContent : '';
  const yes = await ask('Crop ' + photos.list.length + (photos.list.length === 1 ? ' photo' : ' photos') + ' in place?',
    ['These files are replaced by their crops with the preset “' + preset + '”:', photos.list.map((p) => p.path), 'This cannot be undone.'],
    'Crop in Place');
  if (!yes) return;
  for (const url of Object.values(beforeTask)) URL.revokeObjectURL(url);
  beforeTask = {};
  for (const photo of photos.list) {
    try {
      const response = await fetch(thumbnailUrl(photo.path), { credentials: 'same-origin' });
      if (response.ok) beforeTask[photo.id] = URL.createObjectURL(await response.blob());
    } catch (error) {
      // The result still shows, without its picture from before.
    }
  }
  const answer = await api('POST', '/api/open-with/start', { action: chosenAction, photos: photos.list.map((p) => p.id), confirmed: true });
  if (!answer.ok) return showBanner(problemText(answer.data));
  showBanner('');
  followTask(document.getElementById('task-box'), () => {
    const box = document.getElementById('photo-box');
    if (box) box.replaceChildren(drawPhotoPicker(() => showOpenWith()));
  });
}

// ---- Why ----

function drawInspection(photo, report) {
  const w = report.width;
  const h2 = report.height;
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', '0 0 ' + w + ' ' + h2);
  svg.setAttribute('role', 'img');
  const stroke = Math.max(2, Math.round(Math.max(w, h2) / 250));
  const add = (tag, attributes) => {
    const node = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attributes)) node.setAttribute(k, v);
    svg.append(node);
    return node;
  };
  add('image', { href: thumbnailUrl(photo.path, photos.version[photo.id]), x: 0, y: 0, width: w, height: h2, preserveAspectRatio: 'none' });
  let description = photo.name + ': ';
  if (report.crop) {
    const [x, y, cw, ch] = report.crop;
    add('rect', { x, y, width: cw, height: ch, class: 'crop', 'stroke-width': stroke * 1.5 });
    description += 'cropped to the square drawn. ';
  }
  report.faces.forEach((face) => {
    const [x, y, fw, fh] = face.box;
    add('rect', { x, y, width: fw, height: fh, class: face.sure ? 'face' : 'face unsure', 'stroke-width': stroke });
    if (face.eye) add('circle', { cx: face.eye[0], cy: face.eye[1], r: stroke * 2.5, class: 'eye', 'stroke-width': stroke });
  });
  svg.setAttribute('aria-label', description + report.faces.length + (report.faces.length === 1 ? ' face found.' : ' faces found.'));
  const reason = report.reason
    ? h('p', { className: 'reason' }, h('strong', {}, 'Left uncropped: '), report.reason)
    : h('p', { className: 'outcome' }, 'Cropped: a ' + report.crop[2] + ' px square with the eyes on the line a third from its top.');
  return h('li', { className: 'why' }, h('figure', {}, svg, h('figcaption', {}, photo.name)), reason);
}

async function showWhy() {
  main.replaceChildren(h('div', { id: 'view-why' },
    h('section', { className: 'panel', 'aria-labelledby': 'why-title' },
      h('h2', { id: 'why-title' }, 'Why Each Photo Is Cropped as It Is'),
      h('p', { className: 'legend' },
        h('span', { className: 'key face' }), 'Face  ', h('span', { className: 'key unsure' }), 'Maybe a face  ',
        h('span', { className: 'key eye' }), 'Eye point  ', h('span', { className: 'key crop' }), 'Crop square'),
      h('ul', { className: 'why-grid', id: 'why-list' }))));
  await loadPhotos();
  const list = document.getElementById('why-list');
  if (!photos.list.length) {
    list.append(h('li', { className: 'hint' }, 'Add photos on the Export or Open With page to see what Kadro finds in them.'));
    return;
  }
  for (const photo of photos.list) {
    const slot = h('li', { className: 'why' }, h('p', { className: 'hint' }, 'Looking at ' + photo.name + '…'));
    list.append(slot);
  }
  for (const [index, photo] of photos.list.entries()) {
    const answer = await api('GET', '/api/photos/' + photo.id + '/inspect');
    const slot = list.children[index];
    if (!slot) return;
    slot.replaceWith(answer.ok ? drawInspection(photo, answer.data)
      : h('li', { className: 'why' }, h('p', { className: 'problem' }, photo.name + ': ' + problemText(answer.data))));
  }
}

// ---- the frame and the pages ----

const pages = [
  { path: '#/presets', title: 'Presets', show: showPresets },
  { path: '#/export', title: 'Export', show: showExport },
  { path: '#/open-with', title: 'Open With', show: showOpenWith },
  { path: '#/why', title: 'Why', show: showWhy },
  { path: '#/about', title: 'About', show: showAbout },
];

function route() {
  const page = pages.find((p) => p.path === location.hash) || pages[0];
  document.querySelectorAll('nav a').forEach((a) => {
    if (a.getAttribute('href') === page.path) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  });
  document.title = 'Kadro · ' + page.title;
  showBanner('');
  page.show();
}

function start() {
  banner = h('div', { className: 'banner', hidden: true, role: 'alert', id: 'banner' });
  main = h('main', { id: 'main' });
  browserDialog = h('dialog', { className: 'browser', id: 'browser' });
  app.replaceChildren(
    h('header', {},
      h('a', { href: '#/presets', className: 'brand' }, h('img', { src: '/api/logo', alt: '', width: 32, height: 32 }), 'Kadro'),
      h('nav', { 'aria-label': 'Pages' }, pages.map((p) => h('a', { href: p.path }, p.title)))),
    banner, main, browserDialog);
  window.addEventListener('hashchange', route);
  // Edits live in the plug-in until saved; closing the page would not keep them.
  window.addEventListener('beforeunload', (event) => {
    if (prefs.dirty) {
      event.preventDefault();
      event.returnValue = '';
    }
  });
  // Another window may have changed the presets meanwhile.
  window.addEventListener('focus', () => {
    if (location.hash === '#/presets' && !document.querySelector('dialog[open]')) {
      api('GET', '/api/preferences').then((answer) => {
        if (answer.ok && answer.data.revision !== prefs.revision) {
          Object.assign(prefs, { revision: answer.data.revision, dirty: answer.data.dirty, panels: answer.data.panels });
          drawPreferences();
        }
      });
    }
  });
  route();
}

start();
