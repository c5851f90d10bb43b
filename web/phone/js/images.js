// Images for the next prompt: from the camera, the photo library or a
// screenshot, scaled down here (long side at most 2,000 px) so a phone photo
// does not cost megabytes of mobile data, then sent over the link in parts
// and named in the prompt by the ids the desktop gives back.

import { newID } from './link.js';

const MAX_IMAGES = 5;
const LONG_SIDE = 2000;
const MAX_BYTES = 10_000_000;
const PART_BYTES = 384 * 1024;

function base64Url(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000)
    binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// A PNG stays PNG (screenshots: sharp text), anything else becomes JPEG.
async function scaled(file) {
  const bitmap = await createImageBitmap(file);
  const factor = Math.min(1, LONG_SIDE / Math.max(bitmap.width, bitmap.height));
  if (factor === 1 && file.size <= MAX_BYTES && /^image\/(png|jpeg|webp|gif)$/.test(file.type)) {
    bitmap.close();
    return file;
  }
  const canvas = document.createElement('canvas');
  canvas.width = Math.round(bitmap.width * factor);
  canvas.height = Math.round(bitmap.height * factor);
  canvas.getContext('2d').drawImage(bitmap, 0, 0, canvas.width, canvas.height);
  bitmap.close();
  const type = file.type === 'image/png' ? 'image/png' : 'image/jpeg';
  return new Promise((resolve, reject) =>
    canvas.toBlob(
      (blob) => (blob ? resolve(blob) : reject(new Error('the image could not be scaled'))),
      type,
      0.85,
    ),
  );
}

export class Attachments {
  constructor(root, link, status) {
    this.list = root.querySelector('.thumbs');
    this.input = root.querySelector('input[type=file]');
    this.link = link;
    this.status = status;
    this.items = []; // { blob, url, node }
    this.waiting = new Map(); // upload id -> { resolve, reject }
    root.querySelector('.attach').addEventListener('click', () => this.input.click());
    this.input.addEventListener('change', () => this.add([...this.input.files]));
  }

  get count() {
    return this.items.length;
  }

  async add(files) {
    this.input.value = '';
    for (const file of files) {
      if (this.items.length >= MAX_IMAGES) {
        this.status(`At most ${MAX_IMAGES} images go with one prompt.`);
        break;
      }
      try {
        const blob = await scaled(file);
        if (blob.size > MAX_BYTES) throw new Error('it is larger than 10 MB even after scaling');
        this.show(blob);
      } catch (error) {
        this.status(`${file.name || 'That image'} cannot be sent: ${error.message}.`);
      }
    }
  }

  show(blob) {
    const url = URL.createObjectURL(blob);
    const node = document.createElement('li');
    const img = document.createElement('img');
    img.src = url;
    img.alt = 'Attached image';
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'remove';
    remove.textContent = '×';
    remove.setAttribute('aria-label', 'Remove image');
    const item = { blob, url, node };
    remove.addEventListener('click', () => this.remove(item));
    node.append(img, remove);
    this.list.append(node);
    this.items.push(item);
    this.list.hidden = false;
  }

  remove(item) {
    URL.revokeObjectURL(item.url);
    item.node.remove();
    this.items = this.items.filter((x) => x !== item);
    this.list.hidden = this.items.length === 0;
  }

  clear() {
    for (const item of [...this.items]) this.remove(item);
  }

  // Uploads every attached image for the session; resolves to their ids.
  async upload(sessionID) {
    const ids = [];
    for (const [n, item] of this.items.entries()) {
      this.status(`Sending image ${n + 1} of ${this.items.length}…`);
      ids.push(await this.uploadOne(sessionID, new Uint8Array(await item.blob.arrayBuffer())));
    }
    return ids;
  }

  uploadOne(sessionID, bytes) {
    // Parts are never left in the link's outbox for a later connection:
    // the desktop drops a half-sent image when its phone goes.
    if (this.link.state !== 'connected')
      return Promise.reject(new Error('the link to the desktop is down'));
    const uploadID = newID();
    const done = new Promise((resolve, reject) => this.waiting.set(uploadID, { resolve, reject }));
    const parts = Math.max(1, Math.ceil(bytes.length / PART_BYTES));
    for (let part = 0; part < parts; part++) {
      const data = base64Url(bytes.subarray(part * PART_BYTES, (part + 1) * PART_BYTES));
      this.link.send('upload_image', { uploadID, sessionID, part, last: part === parts - 1, data });
    }
    return done;
  }

  stored(p) {
    this.waiting.get(p.uploadID)?.resolve(p.imageID);
    this.waiting.delete(p.uploadID);
  }

  // The desktop refused an upload: every one still waiting fails with it.
  failed(message) {
    for (const [, waiter] of this.waiting) waiter.reject(new Error(message));
    this.waiting.clear();
  }
}
