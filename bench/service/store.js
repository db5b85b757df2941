'use strict';
// The service's downstream systems, simulated in memory: a database, a cache
// and a pricing service, each an asynchronous call as a client library would
// offer. The caller's request comes first so that an agent wrapping these
// functions knows which transaction a call belongs to.

const CURRENCIES = { EUR: 1, USD: 1.08, GBP: 0.86 };

const carts = new Map();
const products = new Map();
const users = new Map();
for (let i = 0; i < 1000; i++) {
  const sku = `sku-${i}`;
  products.set(sku, { sku, name: `Product ${i}`, price: 5 + (i % 97) / 4, stock: (i * 37) % 50 });
  users.set(String(i), { id: i, name: `customer-${i}`, tier: ['bronze', 'silver', 'gold'][i % 3] });
  carts.set(String(i), {
    id: i,
    owner: String((i * 7) % 1000),
    items: [0, 1, 2].map((k) => ({ sku: `sku-${(i + k * 13) % 1000}`, quantity: 1 + ((i + k) % 3) })),
  });
}
const tables = { carts, products, users };

module.exports = {
  // Reads one row by key, or undefined.
  async query(req, table, key) {
    return tables[table].get(key);
  },
  async cached(req, key) {
    return products.get(key);
  },
  // The exchange rate of a currency (1 for an unknown one).
  async rate(req, currency) {
    return CURRENCIES[currency] ?? 1;
  },
};
