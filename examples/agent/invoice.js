'use strict';
// The CPU-heavy part of the service's /api/invoice route: price every line,
// write the invoice document as JSON and checksum it. It runs in the worker
// pool; it allocates as a real document builder would, so the workers
// collect garbage of their own.

// FNV-1a over the UTF-16 code units; enough to tell two documents apart.
function checksum(text) {
  let h = 2166136261;
  for (let i = 0; i < text.length; i++) h = Math.imul(h ^ text.charCodeAt(i), 16777619);
  return (h >>> 0).toString(16).padStart(8, '0');
}

// The tax table is rebuilt every few seconds, synchronously, in the middle
// of pricing: the pool threads' occasional slow path, some 150 ms of script
// that their loop watchdogs find.
const REBUILD_EVERY_MS = 7000;
let taxTable = null;
let builtAt = 0;

function rebuildTaxTable() {
  const rates = new Map();
  for (let round = 0; round < 40; round++) {
    for (let sku = 0; sku < 20000; sku++) rates.set(`sku-${sku}`, 19 - ((sku * round) % 3));
  }
  taxTable = rates;
  builtAt = Date.now();
}

function priceInvoice({ invoice, customer, lines }) {
  if (!taxTable || Date.now() - builtAt > REBUILD_EVERY_MS) rebuildTaxTable();
  const items = [];
  let net = 0;
  let tax = 0;
  for (let i = 0; i < lines; i++) {
    const quantity = 1 + ((invoice + i) % 7);
    const unit = 1 + ((i * 37 + invoice) % 400) / 4;
    const discount = quantity >= 5 ? 0.05 : 0;
    const lineNet = Math.round(quantity * unit * (1 - discount) * 100) / 100;
    const lineTax = Math.round(lineNet * 19) / 100;
    net += lineNet;
    tax += lineTax;
    items.push({ line: i + 1, sku: `sku-${(invoice * 31 + i * 7919) % 1000}`, quantity, unit,
      discount, net: lineNet, tax: lineTax });
  }
  const document = JSON.stringify({ invoice, customer, currency: 'EUR', items,
    net: net.toFixed(2), tax: tax.toFixed(2) });
  return { invoice, lines, total: (net + tax).toFixed(2), bytes: Buffer.byteLength(document),
    checksum: checksum(document) };
}

module.exports = { priceInvoice, checksum };
